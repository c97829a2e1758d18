// What the fuzz target of the server's talk while we publish checks on one
// input; shared with the corpus replay test. Aborts on a broken invariant;
// the sanitizers catch the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// Input: one selector byte, then the bytes a server sends after the publish
// has started, which a publisher's reader takes in over a socket pair.
//   bits 0-1: the acknowledgement window announced beforehand (0: none,
//             then 1, 64 or 4096 bytes)
//   bit 2:    the server closes its side after the bytes
//   bit 3:    after two looks, the publish ends gracefully (unpublish, our
//             side shut, the rest read until the server closes)
//   bits 4-7: how many bytes the first look finds (the rest comes later)
// The reader ends, answers only through the writer (well-formed chunks),
// its acknowledged figure never falls, and a server that closed its side is
// seen to have gone.
void check_server_talk(const uint8_t *data, size_t size);

// Process set-up once: no SIGPIPE, librtmp quiet.
void server_talk_checks_init();
