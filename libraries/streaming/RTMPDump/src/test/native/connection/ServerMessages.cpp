#include "ServerMessages.h"

#include <cstring>

namespace amf {

Bytes number(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    Bytes out = {0x00};
    for (int i = 7; i >= 0; i--)
        out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return out;
}

static void put_raw_string(Bytes &out, const std::string &s)
{
    out.push_back(static_cast<uint8_t>(s.size() >> 8));
    out.push_back(static_cast<uint8_t>(s.size()));
    for (char c : s)
        out.push_back(static_cast<uint8_t>(c));
}

Bytes string(const std::string &s)
{
    Bytes out;
    out.push_back(0x02);
    put_raw_string(out, s);
    return out;
}

Bytes null() { return {0x05}; }

Bytes object(const std::vector<std::pair<std::string, std::string>> &props)
{
    Bytes out;
    out.push_back(0x03);
    for (const auto &p : props) {
        put_raw_string(out, p.first);
        out.push_back(0x02);
        put_raw_string(out, p.second);
    }
    out.insert(out.end(), {0x00, 0x00, 0x09});
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes error_command(double txn, const std::string &description)
{
    return cat({string("_error"), number(txn), null(),
                object({{"level", "error"}, {"code", "NetConnection.Connect.Rejected"},
                        {"description", description}})});
}

}  // namespace amf

std::vector<uint8_t> chunked(uint8_t type, uint32_t stream_id, const std::vector<uint8_t> &body)
{
    const size_t n = body.size();
    std::vector<uint8_t> out = {0x03, 0, 0, 0, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                                static_cast<uint8_t>(n), type, static_cast<uint8_t>(stream_id),
                                static_cast<uint8_t>(stream_id >> 8), static_cast<uint8_t>(stream_id >> 16),
                                static_cast<uint8_t>(stream_id >> 24)};
    for (size_t at = 0; at < n; at += 128) {
        if (at > 0)
            out.push_back(0xC3);
        out.insert(out.end(), body.begin() + at, body.begin() + std::min(n, at + 128));
    }
    return out;
}
