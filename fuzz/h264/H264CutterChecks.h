// What must hold for any input of the H.264 cutters; shared by the fuzz
// target and the test that replays its corpus.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Runs every cutter, the splitter and the display order over the bytes, as
// Annex B and as AVCC, and aborts with a message on stderr when a record
// disagrees with another form of the same input or breaks its format.
void check_h264_cutters(const uint8_t *data, size_t size);
