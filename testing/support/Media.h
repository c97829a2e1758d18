// FFmpeg clips, ffprobe readings and a small independent FLV reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrel_testing {

struct Clip {
    std::string mp4, flv, h264, aac;  // the same streams in four forms
    int width, height, fps;
    int seconds;
};
// 10 s, 1280x720, 30 fps, H.264 (B-frames) + AAC 44.1 kHz stereo.
Clip clip();
// 2 s, 640x360, same codecs.
Clip short_clip();
// 20 s, 1280x720, same codecs at 6 Mbit/s.
Clip heavy_clip();

struct ProbePacket {
    int64_t pts;
    int64_t dts;
    int size;
    bool key;
};
// Packets of the first video ('v') or audio ('a') stream, in file order, in
// the stream's time base (milliseconds for FLV).
std::vector<ProbePacket> probe_packets(const std::string &path, char kind);

struct ProbeStream {
    std::string codec_type, codec_name;
    int width = 0, height = 0, sample_rate = 0, channels = 0;
};
std::vector<ProbeStream> probe_streams(const std::string &path);

// `ffmpeg -v error -i path -f null -`: empty when it decodes cleanly,
// otherwise what FFmpeg said (or why it could not run).
std::string decode_errors(const std::string &path);

struct FlvTag {
    uint8_t type;    // 8 audio, 9 video, 18 script data
    uint32_t ts_ms;  // with the extension byte
    std::vector<uint8_t> data;
};
// All tags of an FLV file; throws std::runtime_error on malformed input.
std::vector<FlvTag> read_flv(const std::string &path);
std::vector<FlvTag> parse_flv(const std::vector<uint8_t> &bytes);

}  // namespace tavrel_testing
