// What must hold when the publisher connects to a server that sends the
// input; shared by the fuzz target and the test that replays its corpus.
// Aborts on a broken invariant; the sanitizers catch the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// Input: what the server sends on each connection of one connect, as units
// behind separators, so that the fuzzer can recombine whole messages:
//
//   connection := handshake (kMessageMark unit)*
//   input      := connection (kConnectionMark connection)*
//
// A handshake unit of one byte is S0, and the harness writes S1 and S2
// after it (zeros: librtmp only warns when S2 does not echo C1); any other
// is written as it is, from S0 on (empty: the server sends nothing). The
// other units are chunks, written as they are. The server then stops
// sending: a read that wants more ends at once.
void check_server_stream(const uint8_t *data, size_t size);

// The same through the HTTP tunnel (rtmpt): every unit is one whole answer
// of the server's, headers and body, written as it is.
void check_tunnel_stream(const uint8_t *data, size_t size);

// The separators (not sent on the wire).
inline constexpr uint8_t kMessageMark[] = {0xfe, 'm', 's', 'g'};
inline constexpr uint8_t kConnectionMark[] = {0xfe, 'c', 'o', 'n'};

// libFuzzer's cross-over, unit-wise: a run of units of one input put in
// place of a run of the other's.
size_t server_stream_crossover(const uint8_t *a, size_t a_size, const uint8_t *b, size_t b_size, uint8_t *out,
                               size_t max_out, unsigned int seed);

// Process set-up once: no SIGPIPE.
void server_stream_checks_init();
