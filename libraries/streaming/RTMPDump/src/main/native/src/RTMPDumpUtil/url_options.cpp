// Our URL options, taken out of librtmp's.
#include "RTMPDumpUtil/url_options.h"

#include "RTMPDumpUtil/counted_text.h"

#include <librtmp/log.h>

#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace tavrel {

namespace {

const char kTlsVerify[] = "tlsVerify";
const char kTlsCaFile[] = "tlsCAFile";

struct Span {
    const char *at;
    size_t len;
};

bool span_is(const Span &s, const char *text)
{
    return s.len == std::strlen(text) && std::memcmp(s.at, text, s.len) == 0;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value with its "\XX" escapes resolved, as a heap text; null when an
// escape is broken, or the value holds a NUL, or memory runs out.
char *unescaped(const Span &value, bool *is_bad)
{
    char *out = owned_text(value.at, value.len);
    if (!out)
        return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < value.len; i++) {
        if (value.at[i] != '\\') {
            out[n++] = value.at[i];
            continue;
        }
        const int hi = i + 2 < value.len ? hex_digit(value.at[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_digit(value.at[i + 2]) : -1;
        if (lo < 0 || (hi == 0 && lo == 0)) {
            *is_bad = true;
            std::free(out);
            return nullptr;
        }
        out[n++] = static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    out[n] = '\0';
    return out;
}

// librtmp's spellings of a boolean; anything else is refused rather than
// read as "off", which for this option would drop the verification.
bool parse_switch(const Span &value, bool *on)
{
    static const struct {
        const char *word;
        bool on;
    } kWords[] = {{"1", true},  {"true", true},   {"yes", true}, {"on", true},
                  {"0", false}, {"false", false}, {"no", false}, {"off", false}};
    for (const auto &w : kWords) {
        if (value.len == std::strlen(w.word) && strncasecmp(value.at, w.word, value.len) == 0) {
            *on = w.on;
            return true;
        }
    }
    return false;
}

// Takes one option of ours into *out: false when its value is refused.
bool take_option(const Span &key, const Span &value, UrlOptions *out, bool *no_memory)
{
    if (span_is(key, kTlsVerify)) {
        if (parse_switch(value, &out->tls_verify))
            return true;
        RTMP_Log(RTMP_LOGERROR, "%s, %s must be 0 or 1, not \"%.*s\"", "connect_rtmp_w", kTlsVerify,
                 static_cast<int>(value.len), value.at);
        return false;
    }
    bool is_bad = false;
    char *path = value.len ? unescaped(value, &is_bad) : nullptr;
    if (!path) {
        *no_memory = value.len && !is_bad;
        if (!*no_memory)
            RTMP_Log(RTMP_LOGERROR, "%s, %s needs a file name, not \"%.*s\"", "connect_rtmp_w", kTlsCaFile,
                     static_cast<int>(value.len), value.at);
        return false;
    }
    std::free(out->ca_file);
    out->ca_file = path;
    return true;
}

}  // namespace

UrlOptionsStatus url_options_take(const char *url, UrlOptions *out)
{
    *out = UrlOptions{};
    const size_t len = std::strlen(url);
    // The result is never longer than the URL.
    out->librtmp_url = owned_text(url, len);
    if (!out->librtmp_url)
        return UrlOptionsStatus::kNoMemory;
    const char *space = std::strchr(url, ' ');
    if (!space)
        return UrlOptionsStatus::kOk;
    size_t kept = static_cast<size_t>(space - url);
    // Each option starts after one space; librtmp reads a key up to the
    // next "=" (spaces included) and stops at an option without one.
    for (const char *p = space + 1; p <= url + len;) {
        const char *eq = std::strchr(p, '=');
        const char *end = eq ? std::strchr(eq + 1, ' ') : nullptr;
        if (!end)
            end = url + len;
        const Span key = {p, eq ? static_cast<size_t>(eq - p) : 0};
        if (eq && (span_is(key, kTlsVerify) || span_is(key, kTlsCaFile))) {
            bool no_memory = false;
            if (!take_option(key, Span{eq + 1, static_cast<size_t>(end - eq - 1)}, out, &no_memory))
                return no_memory ? UrlOptionsStatus::kNoMemory : UrlOptionsStatus::kBadValue;
        } else {
            out->librtmp_url[kept++] = ' ';
            std::memcpy(out->librtmp_url + kept, p, static_cast<size_t>(end - p));
            kept += static_cast<size_t>(end - p);
        }
        p = end + 1;
    }
    out->librtmp_url[kept] = '\0';
    return UrlOptionsStatus::kOk;
}

void url_options_free(UrlOptions *options)
{
    std::free(options->librtmp_url);
    std::free(options->ca_file);
    *options = UrlOptions{};
}

}  // namespace tavrel
