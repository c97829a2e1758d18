// What must hold when FLV bytes go through the FLV stream writer; shared by
// the fuzz targets and the test that replays their corpus. Each aborts on a
// broken invariant; the sanitizers catch the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// Input: one selector byte, then the buffer of one RTMP_Write_v2 call.
//   bit 0: the connection stops taking bytes before the call (send fails)
//   bit 1: log through a logger that formats every line (else none)
//   bit 2: the same buffer a second time on the same record
// The messages on the wire must be exactly the tag the buffer describes,
// none for a tag of a type FLV streams do not hold.
void check_flv_write_v2(const uint8_t *data, size_t size);

// Input: one selector byte, one byte whose low 4 bits count the cuts, two
// bytes (big-endian) per cut giving the length of each piece but the last,
// then the FLV stream. The pieces go to RTMP_Write_fix one call each.
//   bit 0: two records get the same calls interleaved (their state must
//          not mix)
//   bit 1: the connection stops taking bytes before call (selector >> 4)
// The messages on the wire must be those of the whole stream, wherever it
// is cut.
void check_flv_write_fix(const uint8_t *data, size_t size);

// Process set-up both need once: no SIGPIPE, librtmp quiet.
void flv_checks_init();
