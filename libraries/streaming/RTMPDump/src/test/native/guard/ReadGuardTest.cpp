// The read guard's parsers of what a server sends: every prefix of a valid
// header or command is either still incomplete (the chunk header check
// asks for more) or taken whole at a boundary (the AMF0 check), never read
// past; hostile input gets its verdict.
#include "RTMPDumpUtilInternal.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string &text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

struct HeaderCase {
    const char *what;
    const char *bytes;
    int fmt, csid;
    long body_size;  // -1: the header carries no length
    int has_extended_timestamp;
};

TEST(ChunkHeaderCheck, AsksForMoreUntilTheHeaderIsWholeThenReadsItsFields)
{
    const HeaderCase cases[] = {
        {"type 0, one-byte id", "03 000010 000020 14 01000000", 0, 3, 0x20, 0},
        {"type 1", "44 000028 000101 09", 1, 4, 0x101, 0},
        {"type 2", "85 000028", 2, 5, -1, 0},
        {"type 3", "C6", 3, 6, -1, 0},
        {"two-byte id", "00 3C 000000 000004 08 01000000", 0, 124, 4, 0},
        {"three-byte id", "41 FF FF 000000 000004 08", 1, 65599, 4, 0},
        {"extended timestamp", "03 FFFFFF 000004 14 00000000 01000000", 0, 3, 4, 1},
        {"type 2, extended timestamp", "82 FFFFFF 7FFFFFFF", 2, 2, -1, 1},
    };
    for (const HeaderCase &c : cases) {
        Bytes b = hex(c.bytes);
        const int size = static_cast<int>(b.size());
        for (int n = 0; n < size; n++) {
            ChunkHeader h = {};
            EXPECT_EQ(chunk_header_parse(b.data(), n, &h), 0) << c.what << ", first " << n << " bytes";
        }
        b.insert(b.end(), {0xC3, 0x00, 0x00, 0x00});  // what follows is not looked at
        ChunkHeader h = {};
        ASSERT_EQ(chunk_header_parse(b.data(), static_cast<int>(b.size()), &h), size) << c.what;
        EXPECT_EQ(h.size, size) << c.what;
        EXPECT_EQ(h.fmt, c.fmt) << c.what;
        EXPECT_EQ(h.csid, c.csid) << c.what;
        EXPECT_EQ(h.has_length, c.body_size >= 0) << c.what;
        if (c.body_size >= 0) {
            EXPECT_EQ(h.body_size, static_cast<uint32_t>(c.body_size)) << c.what;
        }
        EXPECT_EQ(h.has_extended_timestamp, c.has_extended_timestamp) << c.what;
    }
}

TEST(ChunkHeaderCheck, RefusesANewLengthForAMessageInProgress)
{
    // librtmp's table: a message of 100 bytes in progress on chunk stream
    // 4, one finished on 6 (its body is gone), nothing on the others.
    auto r = std::make_unique<RTMP>();
    RTMPPacket in_progress = {}, finished = {};
    char body[100];
    in_progress.m_body = body;
    in_progress.m_nBodySize = 100;
    finished.m_nBodySize = 100;
    RTMPPacket *table[8] = {};
    table[4] = &in_progress;
    table[6] = &finished;
    r->m_vecChannelsIn = table;
    r->m_channelsAllocatedIn = 8;

    const struct {
        const char *what;
        const char *bytes;
        int is_safe;
    } cases[] = {
        {"type 1 with a longer length", "44 000000 0000C8 09", 0},
        {"type 1 with a shorter length", "44 000000 000032 09", 0},
        {"type 0 with another length", "04 000000 0000C8 09 01000000", 0},
        {"type 1 with the same length", "44 000000 000064 09", 1},
        {"type 2: no length to change", "84 000000", 1},
        {"type 3: no length to change", "C4", 1},
        {"a finished message", "46 000000 0000C8 09", 1},
        {"a chunk stream without a message", "45 000000 0000C8 09", 1},
        {"a chunk stream past librtmp's table", "00 3C 000000 0000C8 09 01000000", 1},
    };
    for (const auto &c : cases) {
        const Bytes b = hex(c.bytes);
        ChunkHeader h = {};
        ASSERT_GT(chunk_header_parse(b.data(), static_cast<int>(b.size()), &h), 0) << c.what;
        EXPECT_EQ(chunk_header_is_safe(r.get(), &h), c.is_safe) << c.what;
    }
}

TEST(ChunkHeaderCheck, RefusesAMessageLargerThanAServerEverSends)
{
    const struct {
        const char *what;
        const char *bytes;
        int verdict;
    } cases[] = {
        {"1 MiB", "03 000000 100000 14 00000000", 1},
        {"1 MiB and a byte", "03 000000 100001 14 00000000", 0},
        {"type 1 with 16 MiB", "43 000000 FFFFFF 14", 0},
        {"type 2: no length", "83 000000", 1},
    };
    for (const auto &c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        const Bytes b = hex(c.bytes);
        ASSERT_EQ(write(sv[1], b.data(), b.size()), static_cast<ssize_t>(b.size()));
        auto r = std::make_unique<RTMP>();
        RTMP_Init(r.get());
        r->m_sb.sb_socket = sv[0];
        EXPECT_EQ(chunk_read_guard(r.get(), "test"), c.verdict) << c.what;
        close(sv[0]);
        close(sv[1]);
    }
}

// A command as the pieces after which it may end: a prefix that stops at a
// piece's end is a shorter, complete command; any other is malformed.
struct AmfCase {
    const char *what;
    std::vector<const char *> pieces;
};

TEST(AmfCheck, TakesEveryCompletePrefixAndRefusesEveryCutValue)
{
    const AmfCase cases[] = {
        {"an _error answer",
         {"02 0006 5F6572726F72", "00 4000000000000000", "05", "03", "0005 6C6576656C 02 0005 6572726F72",
          "0004 636F6465 02 0003 626164", "000009"}},
        {"an onStatus with an ECMA array",
         {"02 0008 6F6E537461747573", "00 0000000000000000", "05", "08 00000001",
          "0004 636F6465 02 0001 78", "000009"}},
        {"nested objects", {"03", "0001 61 03", "0001 62 01 01", "000009", "000009"}},
        {"other scalars", {"01 00", "0B 0000000000000000 0000", "0C 00000003 616263", "06", "0D", "0F 00000001 3C"}},
        {"a strict array", {"0A 00000002 0101 0100", "0A 00000000"}},
    };
    for (const AmfCase &c : cases) {
        Bytes b;
        std::set<size_t> ends = {0};
        for (const char *piece : c.pieces) {
            const Bytes p = hex(piece);
            b.insert(b.end(), p.begin(), p.end());
            ends.insert(b.size());
        }
        for (size_t n = 1; n <= b.size(); n++) {
            // A buffer of exactly n bytes, so that a read past it is seen.
            const Bytes prefix(b.begin(), b.begin() + static_cast<long>(n));
            const long expected = ends.count(n) ? static_cast<long>(n) : -1;
            EXPECT_EQ(tavrel::amf_check_command(prefix.data(), static_cast<long>(n)), expected)
                << c.what << ", first " << n << " of " << b.size() << " bytes";
        }
    }
}

TEST(AmfCheck, GivesHostileCommandsTheirVerdict)
{
    std::string deep_32 = "03", deep_33 = "03";
    for (int i = 1; i < 32; i++)
        deep_32 += " 0001 61 03";
    deep_33 = deep_32 + " 0001 61 03";
    const struct {
        const char *what;
        std::string bytes;
        long expected;
    } cases[] = {
        {"a string longer than the body", "02 0010 61", -1},
        {"a long string of 4 GB", "0C FFFFFFFF 61", -1},
        {"a property name longer than the body", "03 0010 61", -1},
        {"an ECMA array whose count lies", "08 000003E8 000009", 8},
        {"a strict array of 4 G values and none there", "0A FFFFFFFF", -1},
        {"a reference", "07 0001", -1},
        {"an AMF3 value", "11 02", -1},
        {"a stray object end marker", "09", -1},
        {"an object end at the top", "000009 02 0001 61", 3},
        {"objects nested 32 deep", deep_32, static_cast<long>(hex(deep_32).size())},
        {"objects nested 33 deep", deep_33, -1},
    };
    for (const auto &c : cases) {
        const Bytes b = hex(c.bytes);
        EXPECT_EQ(tavrel::amf_check_command(b.data(), static_cast<long>(b.size())), c.expected) << c.what;
    }
}

}  // namespace
