// Counted strings (librtmp's AVal: a pointer and a length, not necessarily
// NUL-terminated) and the heap texts the publisher hands on. Every copy of
// text is made by owned_text, so that each one ends in a NUL and is given
// back with free(), as librtmp and our callers release it.
#ifndef TAVREL_RTMPDUMPUTIL_COUNTED_TEXT_H
#define TAVREL_RTMPDUMPUTIL_COUNTED_TEXT_H

#include <librtmp/amf.h>

#include <cstddef>

// An AVal over a string literal, without its terminator.
#define AV_LITERAL(s) {const_cast<char *>(s), static_cast<int>(sizeof(s) - 1)}

extern "C" {

/* -1 for a null aval. A null str gives a null text of length 0; otherwise
 * *aval receives a NUL-terminated heap copy of str and its length (a null
 * text of length 0 when memory runs out). 0 in both cases. */
int string_to_AVal(const char *str, AVal *aval);

/* For a heap-allocated AVal record: frees its text and the record. */
void free_aval(AVal *aval);

}  // extern "C"

namespace tavrel {

// The text and length of a counted string for "%.*s": never a null pointer,
// never a negative length.
inline const char *av_text(const AVal &a) { return a.av_val && a.av_len > 0 ? a.av_val : ""; }
inline int av_text_len(const AVal &a) { return a.av_val && a.av_len > 0 ? a.av_len : 0; }

bool av_equals(const AVal &a, const AVal &b);
bool av_starts_with(const AVal &a, const AVal &prefix);

// A heap copy (malloc) of len bytes at text followed by more_len bytes at
// more, ended by a NUL; null when memory runs out or the sizes overflow. A
// null text or more counts as empty.
char *owned_text(const char *text, size_t len, const char *more = nullptr, size_t more_len = 0);

}  // namespace tavrel

#endif
