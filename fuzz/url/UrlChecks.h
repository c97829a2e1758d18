// What the URL fuzz target checks on one input; shared with the corpus
// replay test. Aborts on a broken invariant; the sanitizers catch the rest.
#pragma once

#include <cstddef>
#include <cstdint>

// Input: a URL with options, as a caller passes it (up to a NUL). Takes our
// options out, finds a bracketed host and sets a record up from what is
// left, as a connect does before it opens a socket.
void check_url(const uint8_t *data, size_t size);

// librtmp quiet.
void url_checks_init();
