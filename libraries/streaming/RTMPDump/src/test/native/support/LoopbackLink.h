// A librtmp connection record whose socket is one end of a socket pair;
// whatever the sender writes is decoded back into messages on the other end.
#pragma once

#include "RtmpChunks.h"

#include <librtmp/rtmp.h>

#include <cstddef>
#include <thread>
#include <vector>

class LoopbackLink {
public:
    // max_written: the most the sender may write before finish() (or
    // between two calls of drain()). When the
    // socket pair's buffers surely hold that much, the bytes wait there and
    // are decoded in finish(); otherwise a reader thread decodes them as they
    // come, so that the sender never blocks. A fuzz input is far below the
    // bound, and a thread per input would cost more than the writer under
    // test. Throws std::runtime_error without a socket pair.
    explicit LoopbackLink(size_t max_written = kUnknownSize);
    ~LoopbackLink();
    LoopbackLink(const LoopbackLink &) = delete;
    LoopbackLink &operator=(const LoopbackLink &) = delete;

    RTMP *rtmp() { return &r_; }
    // From now on every send fails, as on a connection the server dropped.
    void stop_taking();
    bool stopped() const { return stopped_; }
    // The server's side: bytes it sends to us, and the close of its side.
    void server_sends(const void *data, size_t len);
    void server_closes();
    // Decodes what the sender has written so far, without waiting.
    void drain();
    // Closes the sending side and waits until every byte has been decoded.
    std::vector<tavrel_testing::RtmpMessage> finish();
    // After finish: whether the bytes were well-formed chunks, with nothing
    // left over.
    bool decoded_cleanly() const { return !decoder_.failed() && decoder_.pending_bytes() == 0; }

    static constexpr size_t kUnknownSize = ~size_t(0);

private:
    void decode(int fd, int flags = 0);

    RTMP r_;
    int peer_ = -1;
    std::thread reader_;
    tavrel_testing::ChunkDecoder decoder_;
    bool stopped_ = false;
    bool finished_ = false;
};
