// Taking the tunnel's framing out of the receive buffer ahead of librtmp.
#include "RTMPDumpUtil/tunnel_framing.h"

#include "RTMPDumpUtil/socket_writer.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

namespace tavrel {

namespace {

constexpr char kStatusOk[] = "HTTP/1.1 200 ";
constexpr char kHeaderEnd[] = "\r\n\r\n";
constexpr char kContentLength[] = "content-length:";
constexpr char kIdleBody[1] = {0};
// librtmp never fills the buffer's last byte.
constexpr int kBufferCap = static_cast<int>(sizeof(RTMPSockBuf::sb_buf)) - 1;

}  // namespace

int tunnel_answer_header(const char *p, int n, int *header_len, int *body_len)
{
    if (n <= 0)
        return 0;
    const int ok_len = static_cast<int>(sizeof kStatusOk) - 1;
    if (std::memcmp(p, kStatusOk, static_cast<size_t>(n < ok_len ? n : ok_len)) != 0)
        return -1;
    const char *end = static_cast<const char *>(memmem(p, static_cast<size_t>(n), kHeaderEnd, sizeof kHeaderEnd - 1));
    if (!end)
        return 0;
    const size_t key_len = sizeof kContentLength - 1;
    const char *value = nullptr;
    for (const char *at = p; at + key_len <= end && !value; ++at) {
        if (strncasecmp(at, kContentLength, key_len) == 0)
            value = at + key_len;
    }
    if (!value)
        return -1;
    char *after = nullptr;
    const long len = std::strtol(value, &after, 10);
    if (after == value || after > end || len < 0 || len > kBufferCap)
        return -1;
    *header_len = static_cast<int>(end - p) + static_cast<int>(sizeof kHeaderEnd - 1);
    *body_len = static_cast<int>(len);
    return 1;
}

bool receive_more(RTMP *r)
{
    RTMPSockBuf &sb = r->m_sb;
    if (sb.sb_size <= 0) {
        sb.sb_size = 0;
        sb.sb_start = sb.sb_buf;
    } else if (sb.sb_start + sb.sb_size >= sb.sb_buf + kBufferCap) {
        std::memmove(sb.sb_buf, sb.sb_start, static_cast<size_t>(sb.sb_size));
        sb.sb_start = sb.sb_buf;
    }
    return sb.sb_size < kBufferCap && RTMPSockBuf_Fill(&sb) > 0;
}

bool is_plain_tunnel(const RTMP *r) { return (r->Link.protocol & RTMP_FEATURE_HTTP) && !r->Link.rc4keyIn; }

int tunnel_data_buffered(const RTMP *r)
{
    const int buffered = r->m_sb.sb_size > 0 ? r->m_sb.sb_size : 0;
    return r->m_resplen < buffered ? (r->m_resplen > 0 ? r->m_resplen : 0) : buffered;
}

int tunnel_unwrap(RTMP *r, int need)
{
    if (need > kBufferCap)
        return -1;
    RTMPSockBuf &sb = r->m_sb;
    while (tunnel_data_buffered(r) < need) {
        const int data = tunnel_data_buffered(r);
        if (r->m_resplen > data) {
            // The current answer's body is still arriving.
            if (!receive_more(r))
                return -1;
            continue;
        }
        // The next answer's header follows the data; its body is joined to
        // the data before it, the polling byte kept as librtmp keeps it.
        int header_len = 0, body_len = 0;
        const int state = tunnel_answer_header(sb.sb_start + data, sb.sb_size - data, &header_len, &body_len);
        if (state < 0 || (state > 0 && body_len < 1))
            return 0;
        if (state == 0 || sb.sb_size - data < header_len + 1) {
            if (sb.sb_size == data && r->m_unackd <= 0 && HTTP_Post_v2(r, RTMPT_IDLE, kIdleBody, sizeof kIdleBody) <= 0)
                return -1;
            if (!receive_more(r))
                return state == 0 && sb.sb_size >= kBufferCap ? 0 : -1;
            continue;
        }
        char *at = sb.sb_start + data;
        r->m_polling = static_cast<unsigned char>(at[header_len]);
        const int framing = header_len + 1;
        std::memmove(at, at + framing, static_cast<size_t>(sb.sb_size - data - framing));
        sb.sb_size -= framing;
        r->m_resplen = data + body_len - 1;
        r->m_unackd--;
    }
    return 1;
}

}  // namespace tavrel
