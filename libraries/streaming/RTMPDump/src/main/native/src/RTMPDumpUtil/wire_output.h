// All the bytes of one message onto the connection librtmp opened, with as
// few system calls as the link allows: the pieces straight from where they
// lie on a plain socket (one sendmsg), one buffer through TLS, RTMPE or the
// RTMPT tunnel. Short writes, EINTR and EAGAIN continue where they stopped
// until the message's time is up; any other failure is logged and closes
// the connection, as librtmp's own sender does, but without the goodbye
// messages RTMP_Close would send on it.
#ifndef TAVREL_RTMPDUMPUTIL_WIRE_OUTPUT_H
#define TAVREL_RTMPDUMPUTIL_WIRE_OUTPUT_H

#include <librtmp/rtmp.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace tavrel {

// Where a message goes, how long it may take and what counts its bytes.
struct WireOutput {
    RTMP *r;
    int timeout_ms;            // for the whole message; 0: no bound
    uint64_t *bytes_written;   // advanced by every byte the link took
};

// The most pieces one sendmsg takes (IOV_MAX on Linux).
constexpr int kMaxWirePieces = 1024;

// False on a plain socket, where the pieces go out as they lie; true when
// the link needs the message in one buffer (TLS, RTMPE, tunnel).
bool needs_one_buffer(const RTMP *r);

// The socket's send timeout in milliseconds (0: none).
int socket_send_timeout_ms(int fd);

// The pieces (iov, num of them, total bytes) with sendmsg on the plain
// socket; iov is consumed as they go. True when all of it went out.
bool put_pieces(const WireOutput &out, struct iovec *iov, int num, size_t total);

// One buffer on any link; RTMPE's key stream is applied to it in place.
bool put_buffer(const WireOutput &out, char *buf, size_t len);

}  // namespace tavrel

#endif
