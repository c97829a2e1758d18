// Counted strings and owned text copies.
#include "RTMPDumpUtil/counted_text.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tavrel {

bool av_equals(const AVal &a, const AVal &b)
{
    return a.av_len == b.av_len && (a.av_len == 0 || std::memcmp(a.av_val, b.av_val, a.av_len) == 0);
}

bool av_starts_with(const AVal &a, const AVal &prefix)
{
    return a.av_len >= prefix.av_len && (prefix.av_len == 0 || std::memcmp(a.av_val, prefix.av_val, prefix.av_len) == 0);
}

char *owned_text(const char *text, size_t len, const char *more, size_t more_len)
{
    if (!text)
        len = 0;
    if (!more)
        more_len = 0;
    if (len > SIZE_MAX - 1 - more_len)
        return nullptr;
    auto *copy = static_cast<char *>(std::malloc(len + more_len + 1));
    if (!copy)
        return nullptr;
    // memcpy from a null pointer is undefined even for no bytes.
    if (len > 0)
        std::memcpy(copy, text, len);
    if (more_len > 0)
        std::memcpy(copy + len, more, more_len);
    copy[len + more_len] = '\0';
    return copy;
}

}  // namespace tavrel

extern "C" {

int string_to_AVal(const char *str, AVal *aval)
{
    if (!aval)
        return -1;
    const size_t len = str ? std::strlen(str) : 0;
    char *copy = str && len <= INT_MAX - 1 ? tavrel::owned_text(str, len) : nullptr;
    aval->av_val = copy;
    aval->av_len = copy ? static_cast<int>(len) : 0;
    return 0;
}

void free_aval(AVal *aval)
{
    if (!aval)
        return;
    aval->av_len = 0;
    std::free(aval->av_val);
    std::free(aval);
}

}  // extern "C"
