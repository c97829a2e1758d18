// The publisher's ear on the connection once the publish has begun. A
// server talks while it takes our media: acknowledgements, pings, chunk
// size and bandwidth messages, a status that ends the publish. Left unread
// they pile up, pings go unanswered and nothing tells the caller that the
// server has gone; read, they are answered and counted. Every look is
// non-blocking: only what has already arrived in whole chunks is read, so
// a send never waits on the server. What is read passes the same guard as
// the connect loop (read_guard.h).
//
// One reader per connection, used under the connection's send lock.
#ifndef TAVREL_RTMPDUMPUTIL_SERVER_READER_H
#define TAVREL_RTMPDUMPUTIL_SERVER_READER_H

#include <librtmp/rtmp.h>

#include <cstdint>

namespace tavrel {

struct MessageWriter;
struct ServerReader;

// A reader for the connection r, which takes over acknowledging what the
// server sends from librtmp; null when out of memory.
ServerReader *server_reader_new(RTMP *r);
void server_reader_free(ServerReader *sr);

// Tells the server how often to acknowledge what we send (Window
// Acknowledgement Size): the window it announced to us, echoed, as librtmp
// does for a player. Without it a server acknowledges nothing of a
// publisher's. False when the message did not go out.
bool server_reader_announce_window(ServerReader *sr, MessageWriter *w, RTMP *r);

// Handles every whole message the server has sent so far; when nothing has
// arrived, waits for it at most wait_ms (0: never). Answers go out through
// w. False once the publish or the connection has ended (the server said so,
// closed its side, or what it sent could not be read safely).
bool server_reader_pump(ServerReader *sr, MessageWriter *w, RTMP *r, int wait_ms);

// Whether the server has ended the publish or the connection (sticky until
// server_reader_resume).
bool server_reader_is_lost(const ServerReader *sr);

// Whether nothing more can be read: the server has closed its side, or
// what it sent could not be read safely.
bool server_reader_is_link_done(const ServerReader *sr);

// A stream published again on the same connection starts afresh.
void server_reader_resume(ServerReader *sr);

// From now on nothing is answered: our side of the connection is shut.
void server_reader_stop_answering(ServerReader *sr);

// The bytes the server has acknowledged, its 32-bit sequence number
// unwrapped.
uint64_t server_reader_bytes_acked(const ServerReader *sr);

}  // namespace tavrel

#endif
