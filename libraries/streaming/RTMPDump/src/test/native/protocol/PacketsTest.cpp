#include "CapturedLog.h"
#include "LoopbackLink.h"
#include "RTMPDumpUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct PacketDeleter {
    void operator()(RTMPPacket *p) const
    {
        RTMPPacket_Free(p);
        std::free(p);
    }
};
using PacketPtr = std::unique_ptr<RTMPPacket, PacketDeleter>;

TEST(Packets, NewPacketHasTheFixedHeaderFieldsAndNothingElse)
{
    for (int is_audio : {1, 0}) {
        PacketPtr p(new_rtmp_pkt(is_audio, 7));
        ASSERT_TRUE(p);
        EXPECT_EQ(p->m_packetType, is_audio ? 8 : 9);
        EXPECT_EQ(p->m_headerType, 0);
        EXPECT_EQ(p->m_nChannel, 4);
        EXPECT_EQ(p->m_nInfoField2, 7);
        EXPECT_EQ(p->m_body, nullptr);
        EXPECT_EQ(p->m_nBodySize, 0u);
        EXPECT_EQ(p->m_nTimeStamp, 0u);
        EXPECT_EQ(p->m_hasAbsTimestamp, 0);
        EXPECT_EQ(p->m_chunk, nullptr);
    }
}

TEST(Packets, BodyGrowsOnlyAndKeepsItsBytesAndHeaderRoom)
{
    PacketPtr p(new_rtmp_pkt(0, 1));
    uint32_t cap = 0;
    ASSERT_EQ(resize_pkt_body(p.get(), &cap, 200), 0);  // from no body at all
    EXPECT_EQ(cap, 200u);
    for (int i = 0; i < 200; i++)
        p->m_body[i] = static_cast<char>(i);
    char *before = p->m_body;
    for (uint32_t smaller : {200u, 150u, 0u}) {
        ASSERT_EQ(resize_pkt_body(p.get(), &cap, smaller), 0);
        EXPECT_EQ(cap, 200u);
        EXPECT_EQ(p->m_body, before);
    }
    ASSERT_EQ(resize_pkt_body(p.get(), &cap, 300), 0);
    EXPECT_EQ(cap, 300u);
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(p->m_body[i], static_cast<char>(i));
    // The sender writes up to 18 header bytes in front of the body, and
    // the whole new capacity must be writable (ASan checks both).
    std::memset(p->m_body - RTMP_MAX_HEADER_SIZE, 0xAB, RTMP_MAX_HEADER_SIZE);
    std::memset(p->m_body, 0xCD, 300);
    EXPECT_EQ(resize_pkt_body(nullptr, &cap, 10), -1);
}

TEST(Packets, StampingSetsSizeTimeAndBytesRead)
{
    PacketPtr p(new_rtmp_pkt(1, 1));
    uint32_t cap = 0;
    ASSERT_EQ(resize_pkt_body(p.get(), &cap, 32), 0);
    std::memset(p->m_body, 0, 32);
    uint8_t src[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    p->m_nBytesRead = 3;
    update_rtmp_pkt_body(p.get(), 40, src, 5, 10);
    EXPECT_EQ(std::memcmp(p->m_body + 5, src, 10), 0);
    EXPECT_EQ(p->m_body[4], 0);
    EXPECT_EQ(p->m_nBodySize, 10u);
    EXPECT_EQ(p->m_nTimeStamp, 40u);
    EXPECT_EQ(p->m_nBytesRead, 0u);
}

TEST(Packets, OutputLengthAndPrintout)
{
    EXPECT_EQ(flv_out_len(1, 100), 115u);
    EXPECT_EQ(flv_out_len(0, 100), 100u);
    EXPECT_EQ(min_rtmp_send(), 0);

    CapturedLog log;
    PacketPtr p(new_rtmp_pkt(0, 9));
    p->m_nTimeStamp = 4000000000u;
    p->m_nBodySize = 12;
    pprint_pkt(log.logger, p.get());
    pprint_pkt(log.logger, nullptr);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, 500);
    EXPECT_EQ(lines[0].second.rfind("pprint_pkt:: header_type:0, pkt_type:9, has_abs_ts:0, ch:4, ts:4000000000 "
                                    "[Ms], info_field:9, body_size:12, read:0, body:",
                                    0),
              0u)
        << lines[0].second;
}

}  // namespace
