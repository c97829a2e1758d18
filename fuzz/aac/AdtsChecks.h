// What must hold for any input of the ADTS reader, splitter and record
// makers; shared by the fuzz target and the test that replays its corpus.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Walks the bytes as an ADTS stream, makes every record it can, and aborts
// with a message on stderr when a result disagrees with the header's own
// fields, reaches outside its frame, or a failure leaves a record behind.
void check_adts(const uint8_t *data, size_t size);
