// An independent RTMP chunk-stream decoder for tests: turns the bytes a
// sender wrote (after the handshake) back into messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrel_testing {

struct RtmpMessage {
    uint32_t csid;
    uint8_t fmt;         // header type of the message's first chunk
    uint8_t type;        // message type
    uint32_t stream_id;  // message stream id
    uint32_t timestamp;  // absolute, after applying deltas
    std::vector<uint8_t> body;
};

class ChunkDecoder {
public:
    // Receivers such as nginx and FFmpeg expect the extended timestamp on
    // continuation chunks whenever the message's first chunk carried one.
    explicit ChunkDecoder(bool ext_ts_on_continuation = true) : ext_ts_on_continuation_(ext_ts_on_continuation) {}

    // Feeds bytes; complete messages are appended to messages(). Returns
    // false (and stays failed) on input no conforming sender produces.
    bool feed(const uint8_t *data, size_t len);
    const std::vector<RtmpMessage> &messages() const { return messages_; }
    size_t pending_bytes() const { return buf_.size() - pos_; }
    uint32_t chunk_size() const { return chunk_size_; }
    bool failed() const { return failed_; }

private:
    struct Stream {
        bool seen = false;
        uint32_t timestamp = 0, delta = 0, length = 0, stream_id = 0;
        uint8_t type = 0, fmt = 0;
        bool extended = false;
        std::vector<uint8_t> partial;
    };
    bool parse_one();  // one chunk; false when more bytes are needed
    Stream &stream(uint32_t csid);

    bool ext_ts_on_continuation_;
    bool failed_ = false;
    uint32_t chunk_size_ = 128;
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    std::vector<std::pair<uint32_t, Stream>> streams_;
    std::vector<RtmpMessage> messages_;
};

}  // namespace tavrel_testing
