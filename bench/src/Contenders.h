// The publishers compared side by side. Each connects and publishes on its
// own, then sends the clip's messages one by one.
#pragma once

#include "BenchClip.h"

#include <librtmp/rtmp.h>

#include <memory>
#include <string>
#include <vector>

namespace bench {

// A Set Chunk Size message right after the publish, then chunks of that
// size. 128 sends nothing.
bool set_out_chunk_size(RTMP *r, int chunk_size);

class Contender {
public:
    virtual ~Contender() = default;
    virtual std::string name() const = 0;
    // Connects and publishes; false (with a reason in error()) on failure.
    virtual bool connect(const std::string &url) = 0;
    // One message; false when the publisher reports a failure.
    virtual bool send(Message &m, uint32_t offset_ms) = 0;
    virtual void close() = 0;
    virtual RTMP *rtmp() = 0;  // the published connection, or null
    // Set Chunk Size right after the publish, then chunks of that size (128
    // sends nothing): the bench's own message for librtmp's connections,
    // tavrel_set_chunk_size for the publisher's.
    virtual bool set_chunk_size(int chunk_size) { return set_out_chunk_size(rtmp(), chunk_size); }
    const std::string &error() const { return error_; }
    int fd();

protected:
    std::string error_;
};

// Names: "floor", "rtmp_write", "packet", "flvwrite", "coalesced" (the
// bytes librtmp's sender makes, gathered per message into one write).
// floor needs the whole run up front: it replays the bytes librtmp's sender
// makes for exactly these steps at this chunk size.
std::unique_ptr<Contender> make_contender(const std::string &name, Clip &clip, const std::vector<Step> &steps,
                                          int chunk_size);
std::vector<std::string> contender_names();
// False when the publisher's own code is not in the library yet.
bool tavrel_available();


// The chunk stream librtmp's RTMP_SendPacket writes for the steps (full
// headers, the given chunk size and message stream id), and where each
// message ends in it.
struct Capture {
    std::vector<uint8_t> bytes;
    std::vector<size_t> ends;
};
Capture capture_chunks(Clip &clip, const std::vector<Step> &steps, int chunk_size, int stream_id);

// A buffer that keeps its largest size.
class Scratch {
public:
    uint8_t *room(size_t n);
    const uint8_t *data() const { return buf_.get(); }

private:
    std::unique_ptr<uint8_t[]> buf_;
    size_t cap_ = 0;
};

// One message as chunks, the way librtmp's sender lays it out with a full
// header on chunk stream 4 (timestamps below 2^24), into out; its length.
size_t coalesce_message(const Message &m, uint32_t ts, int chunk_size, int stream_id, Scratch &out);

// Bytes the connection's socket has handed to TCP so far (TCP_INFO), or -1.
int64_t tcp_bytes_sent(int fd);
// TCP segments the socket has sent so far (TCP_INFO), or -1.
int64_t tcp_segments_sent(int fd);
// Waits (up to timeout_ms) until everything queued on the socket has been
// acknowledged by the peer.
void drain(int fd, int timeout_ms);

}  // namespace bench
