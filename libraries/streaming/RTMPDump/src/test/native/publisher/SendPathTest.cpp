// The bytes the send path hands to the connection, decoded back from the
// wire by an independent chunk decoder.
#include "PublisherTesting.h"
#include "RTMPDumpUtil.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

using tavrel_testing::RtmpMessage;

namespace {

Bytes cts24(int32_t cts) { return {uint8_t(cts >> 16), uint8_t(cts >> 8), uint8_t(cts)}; }

// A video frame body: tag header, then each unit behind its length.
Bytes frame_body(bool key, int32_t cts, const std::vector<Bytes> &units)
{
    Bytes b = join({{uint8_t(key ? 0x17 : 0x27), 0x01}, cts24(cts)});
    for (const auto &u : units)
        b = join({b, be32(static_cast<uint32_t>(u.size())), u});
    return b;
}

Bytes header_body(bool key, const Bytes &sps, const Bytes &pps)
{
    return join({{uint8_t(key ? 0x17 : 0x27), 0, 0, 0, 0},
                 {1, sps[1], sps[2], sps[3], 0xFF, 0xE1},
                 {uint8_t(sps.size() >> 8), uint8_t(sps.size())},
                 sps,
                 {1, uint8_t(pps.size() >> 8), uint8_t(pps.size())},
                 pps});
}

using Send = std::function<int(RTMPDumpCtx *)>;

TEST(SendPath, AudioGoesOutAsOneAacMessage)
{
    Bytes asc = {0x12, 0x10};
    Bytes frame = pattern(100, 9);
    struct Case {
        const char *what;
        Send send;
        uint32_t ts;
        Bytes body;
    };
    const Case cases[] = {
        {"sequence header at 0", [&](RTMPDumpCtx *c) { return tavrel_send_aac_header(c, asc.data(), 2); }, 0,
         {0xAF, 0x00, 0x12, 0x10}},
        {"frame at 1000 ms",
         [&](RTMPDumpCtx *c) { return tavrel_send_aac_data(c, frame.data(), 100, 1000); }, 1000,
         join({{0xAF, 0x01}, frame})},
        {"2^32 + 5 ms wraps to 5",
         [&](RTMPDumpCtx *c) { return tavrel_send_aac_data(c, frame.data(), 3, 4294967301LL); }, 5,
         {0xAF, 0x01, frame[0], frame[1], frame[2]}},
    };
    for (int mode : {0, 1}) {
        LinkContext lc(mode);
        for (const Case &c : cases)
            EXPECT_EQ(c.send(lc.ctx), RTMPERR_OK) << c.what;
        auto msgs = lc.finish();
        ASSERT_EQ(msgs.size(), std::size(cases)) << "mode " << mode;
        for (size_t i = 0; i < msgs.size(); i++) {
            SCOPED_TRACE(std::string(cases[i].what) + (mode ? " (FLV-write)" : " (packet)"));
            EXPECT_EQ(msgs[i].type, 8);
            EXPECT_EQ(msgs[i].csid, 4u);
            EXPECT_EQ(msgs[i].stream_id, 1u);
            EXPECT_EQ(msgs[i].timestamp, cases[i].ts);
            EXPECT_EQ(msgs[i].body, cases[i].body);
        }
    }
}

TEST(SendPath, FlvWriteModeHandsTheWriterOneWholeTag)
{
    LinkContext lc(1);
    Bytes frame = pattern(100, 3);
    ASSERT_EQ(tavrel_send_aac_data(lc.ctx, frame.data(), 100, 1000), RTMPERR_OK);
    Bytes want = join({{0x08, 0x00, 0x00, 0x66, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x00, 0xAF, 0x01},
                       frame,
                       {0x00, 0x00, 0x00, 0x71}});
    auto *body = reinterpret_cast<uint8_t *>(lc.ctx->a_pkt->m_body);
    EXPECT_EQ(Bytes(body, body + 117), want);
    EXPECT_TRUE(lc.log.contains(900, "----------------- RTMP sent: 117"));
}

TEST(SendPath, FramesCarryTheirUnitsTimestampAndCompositionTime)
{
    Bytes a = pattern(100, 1), b = pattern(50, 2);
    Bytes big = pattern(500, 3);
    struct Case {
        const char *what;
        std::vector<Bytes> units;
        int stripped;
        int key;
        uint32_t tb_num, tb_den;
        int64_t pts, dts, fst_dts;
        bool as_payload;  // one NALUPayload instead of a NALUS
        uint32_t ts;
        Bytes body;
    };
    const Case cases[] = {
        {"two stripped units", {a, b}, 1, 1, 1, 1000, 40, 40, 0, false, 40, frame_body(true, 0, {a, b})},
        {"the same units with prefixes", {a, b}, 0, 1, 1, 1000, 40, 40, 0, false, 40, frame_body(true, 0, {a, b})},
        {"1/90000: one second, +3003 ticks", {a}, 1, 0, 1, 90000, 93003, 90000, 0, false, 1000,
         frame_body(false, 33, {a})},
        {"1/90000: -3003 ticks truncate toward zero", {a}, 1, 0, 1, 90000, 180000 - 3003, 180000, 90000, false,
         1000, frame_body(false, -33, {a})},
        {"1/3: 195 ticks is 64999 ms", {a}, 1, 0, 1, 3, 195, 195, 0, false, 64999, frame_body(false, 0, {a})},
        {"dts before the first wraps", {a}, 1, 0, 1, 1000, 10, 10, 20, false, 0xFFFFFFF6u,
         frame_body(false, 0, {a})},
        {"stripped payload: one prefix", {big}, 1, 1, 1, 1000, 0, 0, 0, true, 0, frame_body(true, 0, {big})},
        {"payload with prefixes: copied", {big}, 0, 1, 1, 1000, 0, 0, 0, true, 0,
         join({{0x17, 0x01, 0, 0, 0}, be32(500), big})},
    };
    for (int mode : {0, 1}) {
        LinkContext lc(mode);
        for (const Case &c : cases) {
            Units u;
            for (const auto &unit : c.units)
                u.add(NAL_TYPE_SLICE, as_stored(unit, c.stripped));
            int rc;
            if (c.as_payload) {
                // The unit, its time base, pts, dts, first pts and dts, key, stripped, not Annex B.
                NALUPayload p = {u.nalus[0].data, u.nalus[0].len, c.tb_num, c.tb_den, c.pts, c.dts, 0, c.fst_dts,
                                 c.key, c.stripped, 0};
                rc = tavrel_send_h264_nalu_payload(lc.ctx, &p);
            } else {
                NALUS r = u.record(c.stripped, c.key, c.tb_num, c.tb_den);
                r.pts = c.pts;
                r.dts = c.dts;
                r.fst_dts = c.fst_dts;
                rc = tavrel_send_h264_nals(lc.ctx, &r);
            }
            EXPECT_EQ(rc, RTMPERR_OK) << c.what;
        }
        auto msgs = lc.finish();
        ASSERT_EQ(msgs.size(), std::size(cases));
        for (size_t i = 0; i < msgs.size(); i++) {
            SCOPED_TRACE(std::string(cases[i].what) + (mode ? " (FLV-write)" : " (packet)"));
            EXPECT_EQ(msgs[i].type, 9);
            EXPECT_EQ(msgs[i].csid, 4u);
            // The FLV tag header's extension byte keeps 7 bits.
            EXPECT_EQ(msgs[i].timestamp, mode ? cases[i].ts & 0x7FFFFFFF : cases[i].ts);
            EXPECT_EQ(msgs[i].body, cases[i].body);
        }
    }
}

TEST(SendPath, SequenceHeaderIsBuiltFromTheFirstSpsAndPps)
{
    Bytes sps = sps_unit(25), pps = pps_unit(4);
    Bytes other_sps = sps_unit(30), other_pps = pps_unit(6);
    Bytes aud = {0x09, 0xF0}, idr = pattern(300, 4);
    struct Case {
        const char *what;
        std::vector<std::pair<int, Bytes>> units;
        int key;
        Bytes body;
    };
    const Case cases[] = {
        {"SPS and PPS", {{NAL_TYPE_SPS, sps}, {NAL_TYPE_PPS, pps}}, 1, header_body(true, sps, pps)},
        {"not a key frame", {{NAL_TYPE_SPS, sps}, {NAL_TYPE_PPS, pps}}, 0, header_body(false, sps, pps)},
        {"delimiter, SPS, PPS, IDR",
         {{NAL_TYPE_AUD, aud}, {NAL_TYPE_SPS, sps}, {NAL_TYPE_PPS, pps}, {NAL_TYPE_SLICE_IDR, idr}}, 1,
         header_body(true, sps, pps)},
        {"PPS ahead of SPS", {{NAL_TYPE_PPS, pps}, {NAL_TYPE_SEI, aud}, {NAL_TYPE_SPS, sps}}, 1,
         header_body(true, sps, pps)},
        {"extra parameter sets are left out",
         {{NAL_TYPE_SPS, sps}, {NAL_TYPE_SPS, other_sps}, {NAL_TYPE_PPS, pps}, {NAL_TYPE_PPS, other_pps}}, 1,
         header_body(true, sps, pps)},
    };
    ASSERT_EQ(header_body(true, sps, pps).size(), 45u);
    for (int mode : {0, 1}) {
        LinkContext lc(mode);
        size_t sent = 0;
        for (const Case &c : cases) {
            for (int stripped : {1, 0}) {
                Units u;
                for (const auto &t : c.units)
                    u.add(t.first, as_stored(t.second, stripped));
                NALUS r = u.record(stripped, c.key);
                r.pts = r.dts = 9000;  // a header carries no time
                r.timebase_den = 0;    // nor needs a time base
                EXPECT_EQ(tavrel_send_h264_header(lc.ctx, &r), RTMPERR_OK) << c.what;
                sent++;
            }
        }
        auto msgs = lc.finish();
        ASSERT_EQ(msgs.size(), sent);
        for (size_t i = 0; i < msgs.size(); i++) {
            SCOPED_TRACE(std::string(cases[i / 2].what) + (i % 2 ? ", with prefixes" : ", stripped"));
            EXPECT_EQ(msgs[i].type, 9);
            EXPECT_EQ(msgs[i].timestamp, 0u);
            EXPECT_EQ(msgs[i].body, cases[i / 2].body);
        }
    }
}

TEST(SendPath, InputThatCannotBeSentGetsACodeAndSendsNothing)
{
    LinkContext lc(0);
    Bytes buf = pattern(64, 1);
    Bytes sps = sps_unit(20), pps = pps_unit(4);
    auto frame = [&](std::function<void(NALUS &, std::vector<NALU> &)> edit) {
        return [&buf, edit](RTMPDumpCtx *c) {
            std::vector<NALU> units = {{buf.data(), 32, NAL_TYPE_SLICE}, {buf.data() + 32, 32, NAL_TYPE_SLICE}};
            NALUS r{};
            r.timebase_num = 1;
            r.timebase_den = 1000;
            r.is_stripped = 1;
            edit(r, units);
            r.nalus = units.data();
            r.num_nalu = r.num_nalu == -100 ? 0 : static_cast<int32_t>(units.size());
            return tavrel_send_h264_nals(c, &r);
        };
    };
    auto header_of = [](std::vector<NALU> units, int stripped) {
        return [=](RTMPDumpCtx *c) mutable {
            NALUS r{};
            r.nalus = units.data();
            r.num_nalu = static_cast<int32_t>(units.size());
            r.is_stripped = stripped;
            return tavrel_send_h264_header(c, &r);
        };
    };
    Bytes big(70000, 0x67);
    auto header = [&](int32_t sps_len, int32_t pps_len, int stripped) {
        return header_of({{sps_len > 1000 ? big.data() : sps.data(), sps_len, NAL_TYPE_SPS},
                          {pps_len > 1000 ? big.data() : pps.data(), pps_len, NAL_TYPE_PPS}},
                         stripped);
    };
    struct Case {
        const char *what;
        Send send;
        int result;
    };
    const Case cases[] = {
        {"null AAC buffer", [](RTMPDumpCtx *c) { return tavrel_send_aac_data(c, nullptr, 10, 0); },
         RTMPERR_INVALID_BUFF},
        {"AAC length 0", [&](RTMPDumpCtx *c) { return tavrel_send_aac_data(c, buf.data(), 0, 0); },
         RTMPERR_INVALID_BUFF},
        {"AAC header longer than INT32_MAX",
         [&](RTMPDumpCtx *c) { return tavrel_send_aac_header(c, buf.data(), 0x80000000u); }, RTMPERR_INVALID_BUFF},
        {"AAC at -1 ms", [&](RTMPDumpCtx *c) { return tavrel_send_aac_data(c, buf.data(), 10, -1); },
         RTMPERR_NEGATIVE_TIMESTAMP},
        {"AAC frame beyond one message",
         [&](RTMPDumpCtx *c) { return tavrel_send_aac_data(c, buf.data(), 0xFFFFFE, 0); }, RTMPERR_BUFF_TOO_LARGE},
        {"null NALUS", [](RTMPDumpCtx *c) { return tavrel_send_h264_nals(c, nullptr); }, RTMPERR_INVALID_NAL},
        {"null unit array",
         [](RTMPDumpCtx *c) {
             NALUS r{};
             r.num_nalu = 1;
             return tavrel_send_h264_nals(c, &r);
         },
         RTMPERR_INVALID_NAL},
        {"no units", frame([](NALUS &r, std::vector<NALU> &) { r.num_nalu = -100; }), RTMPERR_INVALID_NUM_NAL},
        {"Annex B", frame([](NALUS &r, std::vector<NALU> &) { r.is_annexb = 1; }), RTMPERR_INVALID_NAL},
        {"negative unit length", frame([](NALUS &, std::vector<NALU> &u) { u[1].len = -1; }), RTMPERR_INVALID_NAL},
        {"unit without data", frame([](NALUS &, std::vector<NALU> &u) { u[1].data = nullptr; }),
         RTMPERR_INVALID_NAL},
        {"prefixed unit shorter than its prefix",
         frame([](NALUS &r, std::vector<NALU> &u) { r.is_stripped = 0; u[1].len = 3; }), RTMPERR_INVALID_NAL},
        {"lengths whose sum overflows",
         frame([](NALUS &, std::vector<NALU> &u) { u[0].len = INT32_MAX; u[1].len = INT32_MAX; }),
         RTMPERR_INVALID_NAL},
        {"frame beyond one message", frame([](NALUS &, std::vector<NALU> &u) { u[0].len = 0xFFFFFF; }),
         RTMPERR_BUFF_TOO_LARGE},
        {"time base 1/0", frame([](NALUS &r, std::vector<NALU> &) { r.timebase_den = 0; }), RTMPERR_INVALID_NAL},
        {"time base 0/1000", frame([](NALUS &r, std::vector<NALU> &) { r.timebase_num = 0; }), RTMPERR_INVALID_NAL},
        {"numerator x 1000 past 32 bits",
         frame([](NALUS &r, std::vector<NALU> &) { r.timebase_num = 4294968; }), RTMPERR_INVALID_NAL},
        {"dts - first dts overflows",
         frame([](NALUS &r, std::vector<NALU> &) { r.dts = INT64_MAX; r.fst_dts = -10; }), RTMPERR_INVALID_NAL},
        {"pts - dts overflows",
         frame([](NALUS &r, std::vector<NALU> &) { r.pts = INT64_MIN; r.dts = 10; r.fst_dts = 10; }),
         RTMPERR_INVALID_NAL},
        {"milliseconds past 64 bits",
         frame([](NALUS &r, std::vector<NALU> &) { r.timebase_num = 4000000; r.dts = INT64_MAX / 2; }),
         RTMPERR_INVALID_NAL},
        {"header without parameter sets", header_of({{buf.data(), 10, NAL_TYPE_SLICE_IDR}}, 1),
         RTMPERR_INVALID_NUM_NAL},
        {"header with an SPS only", header_of({{sps.data(), 20, NAL_TYPE_SPS}}, 1), RTMPERR_INVALID_NUM_NAL},
        {"SPS of 3 bytes", header(3, 4, 1), RTMPERR_INVALID_NAL},
        {"prefixed SPS of 3 bytes", header(7, 8, 0), RTMPERR_INVALID_NAL},
        {"SPS longer than 0xFFFF", header(0x10000, 4, 1), RTMPERR_INVALID_NAL},
        {"PPS longer than 0xFFFF", header(20, 0x10000, 1), RTMPERR_INVALID_NAL},
        {"empty PPS", header(20, 0, 1), RTMPERR_INVALID_NAL},
        {"null payload", [](RTMPDumpCtx *c) { return tavrel_send_h264_nalu_payload(c, nullptr); },
         RTMPERR_INVALID_NAL},
        {"payload with prefix, 2 bytes",
         [&](RTMPDumpCtx *c) {
             NALUPayload p{};
             p.data = buf.data();
             p.len = 2;
             p.timebase_num = 1;
             p.timebase_den = 1000;
             return tavrel_send_h264_nalu_payload(c, &p);
         },
         RTMPERR_INVALID_NAL},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.send(lc.ctx), c.result) << c.what;
    EXPECT_TRUE(lc.log.contains(900, "Non-stripped AnnexB NAL bitstream format isn't currently supported"));
    EXPECT_EQ(lc.ctx->v_body_max_len, 2009u) << "no body grew for a refused frame";
    EXPECT_TRUE(lc.finish().empty());
}

TEST(SendPath, WhileReconnectingNothingIsSentButOtherStatesStillSend)
{
    Bytes frame = pattern(20, 1);
    Units u;
    u.add(NAL_TYPE_SPS, sps_unit(12));
    u.add(NAL_TYPE_PPS, pps_unit(4));
    for (int mode : {0, 1}) {
        LinkContext lc(mode);
        NALUS r = u.record(1);
        lc.set_state(RTMP_CONN_RECONNECTING);
        EXPECT_EQ(tavrel_send_aac_header(lc.ctx, frame.data(), 2), RTMPERR_RECONNECTING);
        EXPECT_EQ(tavrel_send_aac_data(lc.ctx, frame.data(), 20, 5), RTMPERR_RECONNECTING);
        EXPECT_EQ(tavrel_send_h264_header(lc.ctx, &r), RTMPERR_RECONNECTING);
        EXPECT_EQ(tavrel_send_h264_nals(lc.ctx, &r), RTMPERR_RECONNECTING);
        r.is_annexb = 1;  // the state check comes first
        EXPECT_EQ(tavrel_send_h264_nals(lc.ctx, &r), RTMPERR_RECONNECTING);
        r.is_annexb = 0;
        // Input checks come before the state.
        EXPECT_EQ(tavrel_send_aac_data(lc.ctx, nullptr, 20, 5), RTMPERR_INVALID_BUFF);
        lc.set_state(RTMP_CONN_DISCONNECTED);
        EXPECT_EQ(tavrel_send_aac_data(lc.ctx, frame.data(), 20, 5), RTMPERR_OK);
        EXPECT_EQ(tavrel_send_h264_nals(lc.ctx, &r), RTMPERR_OK);
        auto msgs = lc.finish();
        ASSERT_EQ(msgs.size(), 2u);
        EXPECT_EQ(msgs[0].type, 8);
        EXPECT_EQ(msgs[1].type, 9);
    }
}

TEST(SendPath, FailedSendIsClassifiedByWhatTheConnectionSays)
{
    Bytes frame = pattern(20, 1);
    for (int mode : {0, 1}) {
        LinkContext lc(mode);
        // librtmp refuses a packet with an impossible header type without
        // touching the connection: the link is still up.
        if (mode == 0) {
            lc.ctx->a_pkt->m_headerType = 4;
            EXPECT_EQ(tavrel_send_aac_data(lc.ctx, frame.data(), 20, 5), RTMPERR_UNKNOWN);
            lc.ctx->a_pkt->m_headerType = 0;
        }
        lc.finish();  // closes the socket
        EXPECT_EQ(tavrel_send_aac_data(lc.ctx, frame.data(), 20, 5), RTMPERR_NEEDS_TO_RECONNECT);
        EXPECT_EQ(tavrel_get_connection_state(lc.ctx), RTMP_CONN_CONNECTED) << "a send never changes the state";
        if (mode == 1) {
            EXPECT_TRUE(lc.log.contains(900, "----------------- Failed to send: -3"));
        }
        RTMP_Close(lc.link.rtmp());  // the failed sends made librtmp's tables anew
    }
}

TEST(SendPath, BodiesGrowToTheLargestMessageOnly)
{
    LinkContext lc(1, 0, 0, 100, 100);
    EXPECT_EQ(lc.ctx->a_body_max_len, 117u);
    EXPECT_EQ(lc.ctx->v_body_max_len, 124u);
    Bytes big = pattern(3000, 1);
    ASSERT_EQ(tavrel_send_aac_data(lc.ctx, big.data(), 3000, 0), RTMPERR_OK);
    EXPECT_EQ(lc.ctx->a_body_max_len, 3017u);
    ASSERT_EQ(tavrel_send_aac_data(lc.ctx, big.data(), 10, 0), RTMPERR_OK);
    EXPECT_EQ(lc.ctx->a_body_max_len, 3017u);
    NALUPayload p{};
    p.data = big.data();
    p.len = 3000;
    p.timebase_num = 1;
    p.timebase_den = 1000;
    p.is_stripped = 1;
    ASSERT_EQ(tavrel_send_h264_nalu_payload(lc.ctx, &p), RTMPERR_OK);
    EXPECT_EQ(lc.ctx->v_body_max_len, 3000u + 9 + 15);
    auto msgs = lc.finish();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].body, join({{0xAF, 0x01}, big}));
}

TEST(SendPath, TraceLinesFollowTheStreamsLogFlags)
{
    LinkContext lc(0, 1, 0);
    Bytes frame = pattern(100, 1);
    ASSERT_EQ(tavrel_send_aac_data(lc.ctx, frame.data(), 100, 1000), RTMPERR_OK);
    Units u;
    u.add(NAL_TYPE_SLICE, pattern(10, 1));
    NALUS r = u.record(1);
    ASSERT_EQ(tavrel_send_h264_nals(lc.ctx, &r), RTMPERR_OK);
    for (const char *line : {"------- AAC Data --------", "\tbody_len:102, out_len:102", "\tdata_len:100",
                             "\taac elapsed:1000 [ms]", "is connected:1, is timedout:0", "------------- Packet",
                             "timestamp:1000 [Ms], stream_id:1 (stored) 1 (derived)", "\tWas sent: 1"})
        EXPECT_TRUE(lc.log.contains(300, line)) << line;
    EXPECT_TRUE(lc.log.contains(500, "pprint_pkt:: header_type:0, pkt_type:8"));
    EXPECT_FALSE(lc.log.contains(300, "H.264")) << "video tracing is off";
    EXPECT_FALSE(lc.log.contains(500, "pkt_type:9"));

    LinkContext lv(1, 0, 1);
    Units h;
    h.add(NAL_TYPE_SPS, sps_unit(25));
    h.add(NAL_TYPE_PPS, pps_unit(4));
    NALUS hr = h.record(1);
    ASSERT_EQ(tavrel_send_h264_header(lv.ctx, &hr), RTMPERR_OK);
    NALUS fr = u.record(1, 0, 1, 90000);
    fr.pts = 93003;
    fr.dts = 90000;
    ASSERT_EQ(tavrel_send_h264_nals(lv.ctx, &fr), RTMPERR_OK);
    for (const char *line : {"------- H.264 Header --------", "\tsps_len:25, pps_len:4", "------- H.264 Data --------",
                             "\tbody_len:19, out_len:34", "\tdata_len:14",
                             "\tpts:1033 [ms], dts:1000 [ms], composition_time:33 [ms]"})
        EXPECT_TRUE(lv.log.contains(300, line)) << line;
}

TEST(Metadata, GoesOutAsOneDataMessageInEitherMode)
{
    // "@setDataFrame", then the onMetaData body.
    uint8_t want[4096] = {0x02, 0x00, 0x0D, '@', 's', 'e', 't', 'D', 'a', 't', 'a', 'F', 'r', 'a', 'm', 'e'};
    int want_len = 16 + write_metadata(want + 16, sizeof want - 16, 0, 1280, 720, 2500, 30, 128, 44100, 16, 2,
                                       nullptr);
    ASSERT_EQ(want_len, 294);
    for (int mode : {0, 1}) {
        LinkContext lc(mode);
        EXPECT_EQ(tavrel_send_metadata(lc.ctx, 1280, 720, 2500, 30, 128, 44100, 16, 2), 1);
        EXPECT_TRUE(lc.log.contains(900, "----------------- RTMP sent: 1"));
        auto msgs = lc.finish();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].type, 0x12);
        EXPECT_EQ(msgs[0].csid, 4u);
        EXPECT_EQ(msgs[0].timestamp, 0u);
        EXPECT_EQ(msgs[0].stream_id, 1u);
        EXPECT_EQ(msgs[0].body, Bytes(want, want + want_len));
        EXPECT_EQ(tavrel_send_metadata(lc.ctx, 1, 1, 1, 1, 1, 1, 1, 1), 0);
        EXPECT_TRUE(lc.log.contains(900, "----------------- Failed to send: 0"));
        RTMP_Close(lc.link.rtmp());
    }
}

}  // namespace
