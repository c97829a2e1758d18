// The host of a URL as we connect to it. librtmp's parser does not know
// IPv6 literals in brackets (rtmp://[::1]:1935/app/stream): it takes "[" for
// the host. The brackets are found here, librtmp is shown a stand-in of the
// same length, and its record then reads the URL as written.
#ifndef TAVREL_RTMPDUMPUTIL_URL_HOST_H
#define TAVREL_RTMPDUMPUTIL_URL_HOST_H

#include <librtmp/amf.h>

#include <cstddef>

namespace tavrel {

// "[...]" in a URL text, brackets included; len 0 when the host has none.
struct BracketedHost {
    size_t at = 0;
    size_t len = 0;
};

enum class HostForm {
    kPlain,      // no brackets: librtmp's parser takes it as it is
    kBracketed,  // an IPv6 literal in brackets, at *out
    kBroken,     // brackets not closed, or around something else
};

// Where the host of url (the text up to its first space) is bracketed.
HostForm find_bracketed_host(const char *url, BracketedHost *out);

// Writes the host name to look up for Link.hostname (brackets taken off)
// into buf with its NUL; false when it is empty or does not fit.
bool host_for_lookup(const AVal &hostname, char *buf, size_t size);

// Whether host (no brackets) is an IPv4 or IPv6 address rather than a name:
// such a host is never sent as the TLS server name.
bool is_ip_literal(const char *host);

}  // namespace tavrel

#endif
