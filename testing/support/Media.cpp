#include "Media.h"

#include "Process.h"

#include <sstream>
#include <stdexcept>

namespace tavrel_testing {

namespace {

std::string testdata() { return env_or("TAVREL_TESTDATA", TAVREL_TESTDATA_DEFAULT); }

Clip clip_set(const std::string &name, int w, int h, int seconds)
{
    std::string base = testdata() + "/" + name;
    Clip c{base + ".mp4", base + ".flv", base + ".h264", base + ".aac", w, h, 30, seconds};
    if (!file_exists(c.flv))
        throw std::runtime_error(c.flv + " is missing: the clips fixture (testing/make-clips) has not run");
    return c;
}

std::vector<std::string> split(const std::string &line, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(line);
    while (std::getline(in, cur, sep))
        out.push_back(cur);
    return out;
}

// The lines ffprobe prints with these arguments for `path`; throws when it
// fails.
std::vector<std::string> ffprobe_lines(std::vector<std::string> args, const std::string &path, int timeout_ms)
{
    args.insert(args.begin(), {"ffprobe", "-v", "error"});
    args.push_back(path);
    std::string out;
    if (run(args, timeout_ms, &out) != 0)
        throw std::runtime_error("ffprobe failed on " + path + ": " + out);
    return split(out, '\n');
}

}  // namespace

Clip clip() { return clip_set("clip", 1280, 720, 10); }
Clip short_clip() { return clip_set("short", 640, 360, 2); }
Clip heavy_clip() { return clip_set("heavy", 1280, 720, 20); }

std::vector<ProbePacket> probe_packets(const std::string &path, char kind)
{
    std::vector<ProbePacket> packets;
    for (const auto &line : ffprobe_lines({"-select_streams", std::string(1, kind) + ":0", "-show_entries",
                                           "packet=pts,dts,size,flags", "-of", "csv=p=0"},
                                          path, 120000)) {
        auto f = split(line, ',');
        if (f.size() < 4)
            continue;
        ProbePacket p;
        p.pts = f[0] == "N/A" ? INT64_MIN : std::stoll(f[0]);
        p.dts = f[1] == "N/A" ? INT64_MIN : std::stoll(f[1]);
        p.size = std::stoi(f[2]);
        p.key = !f[3].empty() && f[3][0] == 'K';
        packets.push_back(p);
    }
    return packets;
}

std::vector<ProbeStream> probe_streams(const std::string &path)
{
    std::vector<ProbeStream> streams;
    const std::string entries = "stream=codec_type,codec_name,width,height,sample_rate,channels";
    for (const auto &line : ffprobe_lines({"-show_entries", entries, "-of", "compact=p=0:nk=0"}, path, 60000)) {
        ProbeStream s;
        bool any = false;
        for (const auto &kv : split(line, '|')) {
            auto eq = kv.find('=');
            if (eq == std::string::npos)
                continue;
            std::string k = kv.substr(0, eq), v = kv.substr(eq + 1);
            any = true;
            auto num = [&v] { return v.empty() || v == "N/A" ? 0 : std::stoi(v); };
            if (k == "codec_type")
                s.codec_type = v;
            else if (k == "codec_name")
                s.codec_name = v;
            else if (k == "width")
                s.width = num();
            else if (k == "height")
                s.height = num();
            else if (k == "sample_rate")
                s.sample_rate = num();
            else if (k == "channels")
                s.channels = num();
        }
        if (any)
            streams.push_back(s);
    }
    return streams;
}

std::string decode_errors(const std::string &path)
{
    std::string out;
    int rc = run({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}, 300000, &out);
    if (rc != 0)
        return "ffmpeg exit " + std::to_string(rc) + ": " + out;
    return out;
}

std::vector<FlvTag> parse_flv(const std::vector<uint8_t> &b)
{
    if (b.size() < 13 || b[0] != 'F' || b[1] != 'L' || b[2] != 'V')
        throw std::runtime_error("not an FLV file");
    size_t pos = (size_t(b[5]) << 24 | size_t(b[6]) << 16 | size_t(b[7]) << 8 | b[8]) + 4;
    std::vector<FlvTag> tags;
    while (pos < b.size()) {
        if (b.size() - pos < 11)
            throw std::runtime_error("truncated tag header at " + std::to_string(pos));
        FlvTag t;
        t.type = b[pos] & 0x1F;
        size_t size = size_t(b[pos + 1]) << 16 | size_t(b[pos + 2]) << 8 | b[pos + 3];
        t.ts_ms = uint32_t(b[pos + 7]) << 24 | uint32_t(b[pos + 4]) << 16 | uint32_t(b[pos + 5]) << 8 | b[pos + 6];
        pos += 11;
        if (b.size() - pos < size + 4)
            throw std::runtime_error("truncated tag data at " + std::to_string(pos));
        t.data.assign(b.begin() + long(pos), b.begin() + long(pos + size));
        size_t prev = size_t(b[pos + size]) << 24 | size_t(b[pos + size + 1]) << 16 |
                      size_t(b[pos + size + 2]) << 8 | b[pos + size + 3];
        if (prev != size + 11)
            throw std::runtime_error("previous tag size mismatch at " + std::to_string(pos + size));
        pos += size + 4;
        tags.push_back(std::move(t));
    }
    return tags;
}

std::vector<FlvTag> read_flv(const std::string &path)
{
    std::string s = read_file(path);
    return parse_flv(std::vector<uint8_t>(s.begin(), s.end()));
}

}  // namespace tavrel_testing
