#include "Bounded.h"

#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

// As in the JVM: a write to a reset connection must fail, not end the test
// program. Every hostile test links this file.
const bool sigpipe_ignored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}();

}  // namespace

namespace hostile {

void run_bounded(const std::string &what, int limit_s, const std::function<void()> &fn)
{
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(limit_s), [&] { return done; })) {
            std::fprintf(stderr, "HUNG: %s did not end within %d s\n", what.c_str(), limit_s);
            std::abort();
        }
    });
    fn();
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
}

int open_fds()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        n += e->d_name[0] != '.';
    closedir(dir);
    return n - 1;  // the directory stream's own descriptor
}

long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

std::mutex log_mutex;
std::string captured;

void capture(int level, const char *fmt, va_list args)
{
    if (level > RTMP_LOGWARNING)
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, fmt, args);
    std::lock_guard<std::mutex> lock(log_mutex);
    if (captured.size() < 64 * 1024)
        captured += std::string(line) + "\n";
}

}  // namespace

RTMP_LogCallback *log_capture() { return capture; }

std::string take_captured_log()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    std::string out;
    out.swap(captured);
    return out;
}

}  // namespace hostile
