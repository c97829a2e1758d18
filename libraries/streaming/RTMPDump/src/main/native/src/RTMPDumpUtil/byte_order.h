// Multi-byte fields of RTMP chunk headers, AMF0 and FLV tags, for the
// protocol layer's readers and writers. RTMP is big-endian throughout; the
// one exception is the message stream id of a type-0 chunk header. Writers
// return the count written, so the caller advances its own position;
// readers need the whole field in front of them.
#ifndef TAVREL_RTMPDUMPUTIL_BYTE_ORDER_H
#define TAVREL_RTMPDUMPUTIL_BYTE_ORDER_H

#include <cstdint>

namespace tavrel {

inline int put_be16(void *out, uint32_t v)
{
    auto *p = static_cast<unsigned char *>(out);
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
    return 2;
}

inline int put_be24(void *out, uint32_t v)
{
    auto *p = static_cast<unsigned char *>(out);
    p[0] = static_cast<unsigned char>(v >> 16);
    return 1 + put_be16(p + 1, v);
}

inline int put_be32(void *out, uint32_t v)
{
    auto *p = static_cast<unsigned char *>(out);
    p[0] = static_cast<unsigned char>(v >> 24);
    return 1 + put_be24(p + 1, v);
}

inline int put_le32(void *out, uint32_t v)
{
    auto *p = static_cast<unsigned char *>(out);
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
    return 4;
}

inline uint32_t get_be16(const void *in)
{
    const auto *p = static_cast<const unsigned char *>(in);
    return uint32_t(p[0]) << 8 | p[1];
}

inline uint32_t get_be24(const void *in)
{
    const auto *p = static_cast<const unsigned char *>(in);
    return uint32_t(p[0]) << 16 | get_be16(p + 1);
}

inline uint32_t get_be32(const void *in)
{
    const auto *p = static_cast<const unsigned char *>(in);
    return uint32_t(p[0]) << 24 | get_be24(p + 1);
}

}  // namespace tavrel

#endif
