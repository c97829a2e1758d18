// The clip every contender sends: FFmpeg's FLV tags, each also prepared as
// the records the publisher takes, loaded once before anything is timed.
#pragma once

#include "NALU.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

enum : uint8_t { kTagAudio = 8, kTagVideo = 9 };

struct Message {
    uint8_t type = 0;        // kTagAudio or kTagVideo
    bool seq_header = false; // AAC AudioSpecificConfig / AVC decoder configuration
    bool keyframe = false;
    uint32_t ts_ms = 0;      // decoding time
    int32_t cts_ms = 0;      // composition time offset (video)
    // The whole FLV tag as RTMP_Write takes it: 11-byte header, data,
    // 4-byte previous tag size. The message body is the data.
    std::vector<uint8_t> tag;
    NALUS *nalus = nullptr;  // video only; not stripped (AVCC units as in the tag)

    const uint8_t *body() const { return tag.data() + 11; }
    uint32_t body_len() const { return static_cast<uint32_t>(tag.size() - 15); }
    // Rewrites the tag header's timestamp (and the record's times) for a
    // later lap of the clip.
    void stamp(uint32_t offset_ms);
};

class Clip {
public:
    // Reads an FLV file; throws std::runtime_error when it cannot be used.
    explicit Clip(const std::string &flv_path);
    ~Clip();
    Clip(const Clip &) = delete;
    Clip &operator=(const Clip &) = delete;

    std::vector<Message> &messages() { return messages_; }
    const std::vector<Message> &messages() const { return messages_; }
    uint32_t duration_ms() const { return duration_ms_; }  // one lap
    uint32_t max_audio_len() const { return max_audio_; }
    uint32_t max_video_len() const { return max_video_; }

private:
    std::vector<Message> messages_;
    std::vector<std::unique_ptr<NALU[]>> header_units_;
    std::vector<std::unique_ptr<NALUS>> header_records_;
    uint32_t duration_ms_ = 0;
    uint32_t max_audio_ = 0, max_video_ = 0;
};

// One send of a run: which message, and the lap offset of its timestamp.
struct Step {
    uint32_t index;
    uint32_t offset_ms;
};

// `laps` times through the clip; the sequence headers go out once, first.
std::vector<Step> plan(const Clip &clip, int laps);
uint64_t body_bytes(const Clip &clip, const std::vector<Step> &steps);

// The clip the test fixture makes: $TAVREL_TESTDATA/clip.flv.
std::string default_clip_path();

}  // namespace bench
