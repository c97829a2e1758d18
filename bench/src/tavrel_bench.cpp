// tavrel_bench: the measuring half of the benchmark suite (bench/run drives
// it and prints the table). Every result is one line "R key=value ...".
//
//   tavrel_bench nginx
//       starts nginx (sink, live, ... applications) on a free loopback port,
//       prints "port=N record_dir=D", runs until stdin closes
//   tavrel_bench run --url-base rtmp://127.0.0.1:P/sink [--contenders a,b]
//       [--rounds R] [--first-round F] [--laps K] [--warm-laps W] [--chunk C]
//       the contenders side by side: every round runs each once, in an
//       order that rotates, on the same messages
//   tavrel_bench once --url U --contender X [--laps K] [--chunk C]
//       [--warm-laps W] [--callgrind] [--alloc]
//       one contender, for strace, callgrind and the allocation counter
//   tavrel_bench scale --url-base B --n N [--seconds S] [--contender packet]
//       [--chunk C]
//       N publishers paced at the clip's own rate (30 fps + audio)
//   tavrel_bench verify [--url-base rtmp://127.0.0.1:P/live --record-dir D]
//       each contender's stream, as nginx recorded it, against the clip
//       (starts its own nginx without --url-base)
#include "BenchClip.h"
#include "Contenders.h"

#include "Media.h"
#include "Nginx.h"

#include <dlfcn.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace bench;

namespace {

using Args = std::map<std::string, std::string>;

Args parse_args(int argc, char **argv)
{
    Args a;
    for (int i = 2; i < argc; ++i) {
        std::string k = argv[i];
        if (k.rfind("--", 0) != 0)
            continue;
        k = k.substr(2);
        if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0)
            a[k] = argv[++i];
        else
            a[k] = "1";
    }
    return a;
}

std::string arg(const Args &a, const std::string &k, const std::string &def)
{
    auto it = a.find(k);
    return it == a.end() ? def : it->second;
}
int iarg(const Args &a, const std::string &k, int def) { return std::stoi(arg(a, k, std::to_string(def))); }

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep))
        if (!cur.empty())
            out.push_back(cur);
    return out;
}

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Cpu {
    int64_t user_ns, sys_ns;
};
Cpu cpu(int who)
{
    struct rusage ru;
    getrusage(who, &ru);
    return {int64_t(ru.ru_utime.tv_sec) * 1000000000 + ru.ru_utime.tv_usec * 1000,
            int64_t(ru.ru_stime.tv_sec) * 1000000000 + ru.ru_stime.tv_usec * 1000};
}
int64_t thread_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long rss_kb()
{
    FILE *f = std::fopen("/proc/self/statm", "r");
    long pages = 0, res = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &res) != 2)
            res = 0;
        std::fclose(f);
    }
    return res * (sysconf(_SC_PAGESIZE) / 1024);
}

// Jiffies of the whole machine from /proc/stat: busy (not idle or waiting),
// softirq, all.
struct MachineCpu {
    uint64_t busy = 0, softirq = 0, total = 0;
};
MachineCpu machine_cpu()
{
    MachineCpu m;
    FILE *f = std::fopen("/proc/stat", "r");
    if (!f)
        return m;
    unsigned long long v[8] = {0};
    if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &v[6], &v[7]) == 8) {
        for (auto x : v)  // guest time is already counted in user
            m.total += x;
        m.busy = m.total - v[3] - v[4];
        m.softirq = v[6];
    }
    std::fclose(f);
    return m;
}

// Heap in use (small blocks and mmap'ed ones), whatever is resident.
size_t heap_bytes()
{
    struct mallinfo2 mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// The LD_PRELOAD counter (libbench_alloc_count.so), when it is loaded.
struct AllocCounts {
    uint64_t mallocs, frees, reallocs;
};
using CountsFn = void (*)(AllocCounts *);
CountsFn alloc_counter() { return reinterpret_cast<CountsFn>(dlsym(RTLD_DEFAULT, "bench_alloc_counts")); }

struct RunResult {
    bool ok = false;
    std::string error;
    uint64_t msgs = 0, body_bytes = 0;
    int64_t wire_bytes = -1, segments = -1;
    int64_t cpu_ns = 0, user_ns = 0, sys_ns = 0, wall_ns = 0, connect_ns = 0;
    AllocCounts allocs{0, 0, 0};
};

// Connect, publish, send every step, drain, close. Only the sending is timed
// (CPU of this thread) and, with --callgrind, collected.
RunResult run_one(Contender &c, Clip &clip, const std::vector<Step> &steps, const std::string &url, int chunk,
                  bool callgrind, size_t warm_steps)
{
    RunResult res;
    int64_t t0 = now_ns();
    if (!c.connect(url)) {
        res.error = c.error();
        return res;
    }
    res.connect_ns = now_ns() - t0;
    if (!c.set_chunk_size(chunk)) {
        res.error = "Set Chunk Size failed";
        c.close();
        return res;
    }
    auto &msgs = clip.messages();
    size_t i = 0;
    for (; i < warm_steps && i < steps.size(); ++i)
        if (!c.send(msgs[steps[i].index], steps[i].offset_ms)) {
            res.error = "send failed while warming up";
            c.close();
            return res;
        }
    CountsFn counts = alloc_counter();
    AllocCounts a0{0, 0, 0}, a1{0, 0, 0};
    drain(c.fd(), 2000);
    int64_t wire0 = tcp_bytes_sent(c.fd()), segs0 = tcp_segments_sent(c.fd());
    Cpu u0 = cpu(RUSAGE_THREAD);
    int64_t c0 = thread_cpu_ns();
    int64_t w0 = now_ns();
    if (counts)
        counts(&a0);
    if (callgrind)
        CALLGRIND_TOGGLE_COLLECT;
    bool ok = true;
    size_t first = i;
    for (; i < steps.size(); ++i)
        if (!c.send(msgs[steps[i].index], steps[i].offset_ms)) {
            ok = false;
            break;
        }
    if (callgrind)
        CALLGRIND_TOGGLE_COLLECT;
    if (counts)
        counts(&a1);
    int64_t c1 = thread_cpu_ns();
    Cpu u1 = cpu(RUSAGE_THREAD);
    drain(c.fd(), 10000);
    res.wall_ns = now_ns() - w0;
    int64_t wire1 = tcp_bytes_sent(c.fd()), segs1 = tcp_segments_sent(c.fd());
    res.cpu_ns = c1 - c0;
    res.user_ns = u1.user_ns - u0.user_ns;
    res.sys_ns = u1.sys_ns - u0.sys_ns;
    res.msgs = i - first;
    res.body_bytes = body_bytes(clip, std::vector<Step>(steps.begin() + long(first), steps.begin() + long(i)));
    if (wire0 >= 0 && wire1 >= 0)
        res.wire_bytes = wire1 - wire0;
    if (segs0 >= 0 && segs1 >= 0)
        res.segments = segs1 - segs0;
    res.allocs = {a1.mallocs - a0.mallocs, a1.frees - a0.frees, a1.reallocs - a0.reallocs};
    res.ok = ok;
    if (!ok)
        res.error = "send failed at step " + std::to_string(i);
    c.close();
    for (auto &m : msgs)
        m.stamp(0);
    return res;
}

void print(const std::string &mode, const std::string &contender, int chunk, int round, const RunResult &r,
           bool with_allocs)
{
    std::printf("R mode=%s contender=%s chunk=%d round=%d ok=%d msgs=%" PRIu64 " body_bytes=%" PRIu64
                " wire_bytes=%" PRId64 " cpu_ns=%" PRId64 " user_ns=%" PRId64 " sys_ns=%" PRId64
                " wall_ns=%" PRId64 " connect_ns=%" PRId64 " segments=%" PRId64,
                mode.c_str(), contender.c_str(), chunk, round, r.ok ? 1 : 0, r.msgs, r.body_bytes, r.wire_bytes,
                r.cpu_ns, r.user_ns, r.sys_ns, r.wall_ns, r.connect_ns, r.segments);
    if (with_allocs)
        std::printf(" mallocs=%" PRIu64 " frees=%" PRIu64 " reallocs=%" PRIu64, r.allocs.mallocs, r.allocs.frees,
                    r.allocs.reallocs);
    if (!r.ok)
        std::printf(" error=\"%s\"", r.error.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

std::string clip_path(const Args &a) { return arg(a, "clip", default_clip_path()); }

// The steps of `warm` untimed laps at the start of a plan, the sequence
// headers with them.
size_t warm_steps_for(Clip &clip, int warm)
{
    size_t headers = plan(clip, 0).size(), per_lap = plan(clip, 1).size() - headers;
    return warm > 0 ? headers + size_t(warm) * per_lap : 0;
}

void on_stop_signal(int) {}

int cmd_nginx()
{
    // SIGTERM and SIGINT end the wait below (no SA_RESTART), so that nginx
    // is stopped with us rather than left behind.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    tavrel_testing::Nginx nginx;
    std::printf("port=%d record_dir=%s\n", nginx.port(), nginx.record_dir().c_str());
    std::fflush(stdout);
    char buf[256];
    while (read(0, buf, sizeof buf) > 0) {
    }
    return 0;
}

int cmd_run(const Args &a)
{
    Clip clip(clip_path(a));
    int rounds = iarg(a, "rounds", 3), laps = iarg(a, "laps", 10), chunk = iarg(a, "chunk", 128);
    int first = iarg(a, "first-round", 0);  // names the streams and rotates the order
    auto names = split(arg(a, "contenders", "floor,rtmp_write,packet,flvwrite,coalesced"), ',');
    // A contender's first lap in a process costs several times the later
    // ones (the kernel's first copies from its buffers): one untimed lap,
    // sequence headers included, on each connection first.
    int warm = iarg(a, "warm-laps", 1);
    auto steps = plan(clip, laps + warm);
    size_t warm_steps = warm_steps_for(clip, warm);
    std::vector<std::unique_ptr<Contender>> cs;
    for (const auto &n : names)
        cs.push_back(make_contender(n, clip, steps, chunk));
    std::string base = arg(a, "url-base", "");
    for (int round = first; round < first + rounds; ++round)
        for (size_t k = 0; k < cs.size(); ++k) {
            auto &c = *cs[(k + size_t(round)) % cs.size()];
            std::string url = base + "/" + c.name() + "_c" + std::to_string(chunk) + "_r" + std::to_string(round);
            print("run", c.name(), chunk, round, run_one(c, clip, steps, url, chunk, false, warm_steps), false);
        }
    return 0;
}

int cmd_once(const Args &a)
{
    Clip clip(clip_path(a));
    int laps = iarg(a, "laps", 1), warm = iarg(a, "warm-laps", 0), chunk = iarg(a, "chunk", 128);
    std::string name = arg(a, "contender", "rtmp_write");
    auto steps = plan(clip, laps + warm);
    // The warm-up laps (sequence headers included) grow the bodies to their
    // largest before anything is counted.
    size_t warm_steps = warm_steps_for(clip, warm);
    auto c = make_contender(name, clip, steps, chunk);
    bool alloc = a.count("alloc") > 0;
    if (alloc && !alloc_counter()) {
        std::fprintf(stderr, "--alloc needs LD_PRELOAD=libbench_alloc_count.so\n");
        return 2;
    }
    RunResult r = run_one(*c, clip, steps, arg(a, "url", ""), chunk, a.count("callgrind") > 0, warm_steps);
    print("once", name, chunk, 0, r, alloc);
    return r.ok ? 0 : 1;
}

int cmd_scale(const Args &a)
{
    Clip clip(clip_path(a));
    int n = iarg(a, "n", 10), seconds = iarg(a, "seconds", 5), chunk = iarg(a, "chunk", 128);
    std::string name = arg(a, "contender", "packet"), base = arg(a, "url-base", "");
    int laps = int((uint64_t(seconds) * 1000) / clip.duration_ms()) + 1;
    auto steps = plan(clip, laps);
    auto &msgs = clip.messages();
    auto due_ms = [&](const Step &s) -> int64_t {
        const Message &m = msgs[s.index];
        return m.seq_header ? 0 : int64_t(m.ts_ms) + s.offset_ms;
    };

    long rss0 = rss_kb();
    size_t heap0 = heap_bytes();
    std::vector<std::unique_ptr<Contender>> cs;
    std::vector<int64_t> connect_ns;
    std::string error;
    for (int i = 0; i < n; ++i) {
        auto c = make_contender(name, clip, steps, 128);
        int64_t t0 = now_ns();
        if (!c->connect(base + "/scale" + std::to_string(n) + "_" + std::to_string(chunk) + "_" +
                        std::to_string(i))) {
            error = c->error() + " at publisher " + std::to_string(i);
            break;
        }
        if (!c->set_chunk_size(chunk)) {
            error = "Set Chunk Size failed at publisher " + std::to_string(i);
            break;
        }
        connect_ns.push_back(now_ns() - t0);
        cs.push_back(std::move(c));
    }
    long rss1 = rss_kb();
    int connected = int(cs.size());

    // Every publisher follows the clip's own clock. Independent encoders do
    // not cut their key frames at the same instant: the starts are spread
    // over one GOP (2 s), so that the publishers' key frames are too.
    std::vector<size_t> pos(cs.size(), 0);
    std::vector<int64_t> phase(cs.size());
    for (size_t i = 0; i < cs.size(); ++i)
        phase[i] = int64_t(i) * 2000 / std::max<int64_t>(1, int64_t(cs.size()));
    int64_t end_ms = int64_t(seconds) * 1000;
    int64_t max_late_ms = 0, sends = 0, failures = 0;
    std::vector<int64_t> lateness;  // per frame sent, ms behind its due time
    int64_t segs0 = 0;
    for (auto &c : cs)
        segs0 += std::max<int64_t>(0, tcp_segments_sent(c->fd()));
    Cpu u0 = cpu(RUSAGE_SELF);
    MachineCpu m0 = machine_cpu();
    int64_t start = now_ns();
    int64_t t_ms = 0;
    while (connected > 0) {
        t_ms = (now_ns() - start) / 1000000;
        if (t_ms >= end_ms)
            break;
        for (size_t i = 0; i < cs.size(); ++i) {
            while (pos[i] < steps.size() && due_ms(steps[pos[i]]) + phase[i] <= t_ms) {
                const Step &s = steps[pos[i]];
                int64_t late = (now_ns() - start) / 1000000 - (due_ms(s) + phase[i]);
                // A stream's sequence headers are all due at once at its start.
                if (!msgs[s.index].seq_header) {
                    max_late_ms = std::max(max_late_ms, late);
                    lateness.push_back(late);
                }
                if (!cs[i]->send(msgs[s.index], s.offset_ms))
                    ++failures;
                ++sends;
                ++pos[i];
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int64_t wall_ns = now_ns() - start;
    Cpu u1 = cpu(RUSAGE_SELF);
    MachineCpu m1 = machine_cpu();
    int64_t segs1 = 0;
    for (auto &c : cs)
        segs1 += std::max<int64_t>(0, tcp_segments_sent(c->fd()));
    // In cores, as the other CPU figures: 1.0 is one core fully busy.
    double span = double(std::max<uint64_t>(1, m1.total - m0.total)) /
                  double(std::max(1u, std::thread::hardware_concurrency()));
    double machine_busy = double(m1.busy - m0.busy) / span, machine_softirq = double(m1.softirq - m0.softirq) / span;
    // Behind at the end: the oldest message that was due and is still unsent.
    int64_t backlog_ms = 0;
    for (size_t i = 0; i < cs.size(); ++i)
        if (pos[i] < steps.size())
            backlog_ms = std::max(backlog_ms, t_ms - (due_ms(steps[pos[i]]) + phase[i]));
    std::sort(lateness.begin(), lateness.end());
    int64_t p99_late_ms = lateness.empty() ? 0 : lateness[std::min(lateness.size() - 1, lateness.size() * 99 / 100)];
    long rss2 = rss_kb();
    size_t heap2 = heap_bytes();
    for (auto &c : cs)
        c->close();
    std::sort(connect_ns.begin(), connect_ns.end());
    auto pct = [&](double p) -> int64_t {
        return connect_ns.empty() ? 0 : connect_ns[std::min(connect_ns.size() - 1, size_t(p * connect_ns.size()))];
    };
    int64_t cpu_ns = (u1.user_ns - u0.user_ns) + (u1.sys_ns - u0.sys_ns);
    std::printf("R mode=scale contender=%s chunk=%d n=%d connected=%d seconds=%.2f sends=%" PRId64 " failures=%" PRId64
                " cpu_ns=%" PRId64 " user_ns=%" PRId64 " sys_ns=%" PRId64 " max_late_ms=%" PRId64
                " rss0_kb=%ld rss_connected_kb=%ld rss_streamed_kb=%ld connect_median_ns=%" PRId64
                " connect_p95_ns=%" PRId64 " connect_max_ns=%" PRId64 " heap0_b=%zu heap_streamed_b=%zu p99_late_ms=%" PRId64 " backlog_ms=%" PRId64 " machine_busy=%.3f machine_softirq=%.3f segments=%" PRId64,
                name.c_str(), chunk, n, connected, double(wall_ns) / 1e9, sends, failures, cpu_ns,
                u1.user_ns - u0.user_ns, u1.sys_ns - u0.sys_ns, max_late_ms, rss0, rss1, rss2, pct(0.5), pct(0.95),
                connect_ns.empty() ? 0 : connect_ns.back(), heap0, heap2, p99_late_ms, backlog_ms, machine_busy, machine_softirq, segs1 - segs0);
    if (!error.empty())
        std::printf(" error=\"%s\"", error.c_str());
    std::printf("\n");
    return 0;
}

// nginx's recording of each contender's stream holds exactly the clip's
// audio and video, byte for byte, with the clip's timestamps.
int cmd_verify(const Args &a)
{
    Clip clip(clip_path(a));
    std::string base = arg(a, "url-base", ""), dir = arg(a, "record-dir", "");
    std::unique_ptr<tavrel_testing::Nginx> own;
    if (base.empty()) {
        own = std::make_unique<tavrel_testing::Nginx>();
        base = "rtmp://127.0.0.1:" + std::to_string(own->port()) + "/live";
        dir = own->record_dir();
    }
    auto names = split(arg(a, "contenders", "floor,rtmp_write,packet,flvwrite,coalesced"), ',');
    auto chunks = split(arg(a, "chunks", "128,4096"), ',');
    auto steps = plan(clip, 1);
    int failures = 0;
    for (const auto &cs : chunks) {
        int chunk = std::stoi(cs);
        for (const auto &n : names) {
            auto c = make_contender(n, clip, steps, chunk);
            std::string stream = "verify_" + n + "_" + cs;
            RunResult r = run_one(*c, clip, steps, base + "/" + stream, chunk, false, 0);
            std::string verdict = "ok";
            if (!r.ok && (n == "packet" || n == "flvwrite") && !tavrel_available()) {
                std::printf("R mode=verify contender=%s chunk=%d ok=1 verdict=\"pending: %s\"\n", n.c_str(), chunk,
                            r.error.c_str());
                continue;
            }
            if (!r.ok) {
                verdict = r.error;
            } else {
                std::string path = dir + "/" + stream + ".flv";
                std::vector<tavrel_testing::FlvTag> tags;
                for (int tries = 0; tries < 50; ++tries) {  // nginx closes the file when the publish ends
                    try {
                        tags = tavrel_testing::read_flv(path);
                        size_t av = 0;
                        for (const auto &t : tags)
                            av += t.type == kTagAudio || t.type == kTagVideo;
                        if (av >= steps.size())
                            break;
                    } catch (const std::exception &) {
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                // Compare the frames (nginx writes the sequence headers of its own accord).
                std::vector<const tavrel_testing::FlvTag *> got;
                for (const auto &t : tags)
                    if ((t.type == kTagAudio || t.type == kTagVideo) && t.data.size() > 1 && t.data[1] != 0)
                        got.push_back(&t);
                std::vector<const Message *> want;
                for (const auto &s : steps)
                    if (!clip.messages()[s.index].seq_header)
                        want.push_back(&clip.messages()[s.index]);
                if (got.size() != want.size()) {
                    verdict = "recorded " + std::to_string(got.size()) + " frames of " + std::to_string(want.size());
                } else {
                    for (size_t i = 0; i < want.size(); ++i) {
                        const Message &m = *want[i];
                        if (got[i]->type != m.type || got[i]->ts_ms != m.ts_ms ||
                            got[i]->data != std::vector<uint8_t>(m.body(), m.body() + m.body_len())) {
                            verdict = "frame " + std::to_string(i) + " differs";
                            break;
                        }
                    }
                }
            }
            if (verdict != "ok")
                ++failures;
            std::printf("R mode=verify contender=%s chunk=%d ok=%d verdict=\"%s\"\n", n.c_str(), chunk,
                        verdict == "ok" ? 1 : 0, verdict.c_str());
            std::fflush(stdout);
        }
    }
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // as in the JVM: a reset connection is a failed send
    if (argc < 2) {
        std::fprintf(stderr, "usage: tavrel_bench nginx|run|once|scale|verify [--options]\n");
        return 2;
    }
    std::string cmd = argv[1];
    Args a = parse_args(argc, argv);
    try {
        if (cmd == "nginx")
            return cmd_nginx();
        if (cmd == "run")
            return cmd_run(a);
        if (cmd == "once")
            return cmd_once(a);
        if (cmd == "scale")
            return cmd_scale(a);
        if (cmd == "verify")
            return cmd_verify(a);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavrel_bench %s: %s\n", cmd.c_str(), e.what());
        return 1;
    }
    std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
    return 2;
}
