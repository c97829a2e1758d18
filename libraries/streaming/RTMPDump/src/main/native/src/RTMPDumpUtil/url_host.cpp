// IPv6 literals in URLs, and the host name to look up.
#include "RTMPDumpUtil/url_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace tavrel {

namespace {

const char kSchemeEnd[] = "://";

// The longest IPv6 text inet_pton reads (with an IPv4 tail), without NUL.
constexpr size_t kMaxIpv6Text = INET6_ADDRSTRLEN - 1;

bool is_ipv6_text(const char *text, size_t len)
{
    char buf[INET6_ADDRSTRLEN];
    in6_addr addr;
    if (len == 0 || len > kMaxIpv6Text)
        return false;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    return inet_pton(AF_INET6, buf, &addr) == 1;
}

}  // namespace

HostForm find_bracketed_host(const char *url, BracketedHost *out)
{
    *out = BracketedHost{};
    const char *url_end = std::strchr(url, ' ');
    const size_t url_len = url_end ? static_cast<size_t>(url_end - url) : std::strlen(url);
    const char *scheme_end = static_cast<const char *>(memmem(url, url_len, kSchemeEnd, sizeof kSchemeEnd - 1));
    if (!scheme_end)
        return HostForm::kPlain;
    const size_t at = static_cast<size_t>(scheme_end - url) + sizeof kSchemeEnd - 1;
    if (at >= url_len || url[at] != '[')
        return HostForm::kPlain;
    const char *close = static_cast<const char *>(std::memchr(url + at, ']', url_len - at));
    if (!close)
        return HostForm::kBroken;
    const size_t len = static_cast<size_t>(close - (url + at)) + 1;
    // Behind the literal comes the port, the path or the end of the URL.
    const size_t after = at + len;
    if (after < url_len && url[after] != ':' && url[after] != '/')
        return HostForm::kBroken;
    if (!is_ipv6_text(url + at + 1, len - 2))
        return HostForm::kBroken;
    *out = BracketedHost{at, len};
    return HostForm::kBracketed;
}

bool host_for_lookup(const AVal &hostname, char *buf, size_t size)
{
    if (!hostname.av_val || hostname.av_len <= 0)
        return false;
    const char *text = hostname.av_val;
    size_t len = static_cast<size_t>(hostname.av_len);
    if (len >= 2 && text[0] == '[' && text[len - 1] == ']') {
        text++;
        len -= 2;
    }
    if (len == 0 || len >= size || std::memchr(text, '\0', len))
        return false;
    std::memcpy(buf, text, len);
    buf[len] = '\0';
    return true;
}

bool is_ip_literal(const char *host)
{
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, host, &v4) == 1 || inet_pton(AF_INET6, host, &v6) == 1;
}

}  // namespace tavrel
