// connect_rtmp_w and close_rtmp_w against every hostile-server scenario,
// with librtmp's own sender for the media: each case ends with a result
// code by itself, and leaves no descriptor behind.
#include "Bounded.h"
#include "CaseName.h"
#include "Cases.h"
#include "HostileServer.h"
#include "Nginx.h"
#include "Report.h"
#include "RTMPDumpUtil.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

namespace {

using hostile::Case;
using hostile::Outcome;
using tavrel_testing::HostileServer;

constexpr int kHealthySends = 40;
constexpr uint32_t kBodyLen = 16 * 1024;

struct SendRun {
    int sent = 0;            // sends that succeeded
    bool failed = false;     // a send failed
    long long fail_ms = -1;  // from the first send to the failed one
};

// Video messages through librtmp's sender until one fails or `max` went.
SendRun send_media(RTMP *r, int max)
{
    RTMPPacket pkt;
    RTMPPacket_Reset(&pkt);
    SendRun run;
    if (!RTMPPacket_Alloc(&pkt, kBodyLen))
        return run;
    std::memset(pkt.m_body, 0x41, kBodyLen);
    pkt.m_body[0] = 0x27;  // inter frame, AVC
    pkt.m_body[1] = 0x01;  // NAL units
    pkt.m_packetType = RTMP_PACKET_TYPE_VIDEO;
    pkt.m_nChannel = 4;
    pkt.m_nInfoField2 = r->m_stream_id;
    pkt.m_nBodySize = kBodyLen;
    const long long start = hostile::now_ms();
    for (int i = 0; i < max; i++) {
        pkt.m_headerType = i == 0 ? RTMP_PACKET_SIZE_LARGE : RTMP_PACKET_SIZE_MEDIUM;
        pkt.m_nTimeStamp = static_cast<uint32_t>(i * 33);
        pkt.m_hasAbsTimestamp = 0;
        if (!RTMP_SendPacket(r, &pkt, FALSE)) {
            run.failed = true;
            run.fail_ms = hostile::now_ms() - start;
            break;
        }
        run.sent++;
    }
    RTMPPacket_Free(&pkt);
    return run;
}

// One case: connect to url (the server itself, or a front before it), send,
// close; the results checked and added to `table`.
void run_case(const Case &c, HostileServer &server, const std::string &url, const std::string &table)
{
    const std::string header = "| scenario | result | connections | time to result (ms) | media sends |";
    if (const char *why = hostile::skip_reason(c)) {
        hostile::report_row(table, header, "| " + std::string(c.scenario) + " | not run: " + why + " | | | |");
        GTEST_SKIP() << why;
    }
    const int fds_before = hostile::open_fds();

    RTMP *r = nullptr;
    int rc = 1;
    const long long start = hostile::now_ms();
    hostile::run_bounded(std::string("connect_rtmp_w against ") + c.scenario, hostile::kCallLimitS, [&] {
        rc = connect_rtmp_w(url.c_str(), "user", "pass", &r, hostile::log_capture());
    });
    const long long connect_ms = hostile::now_ms() - start;
    const std::string client_log = hostile::take_captured_log();

    // librtmp's sender never reads: a server that ends the publish by a
    // message and reads on takes its sends as a healthy one does.
    const bool is_healthy = c.outcome == Outcome::kHealthy || c.outcome == Outcome::kEndedByServer;
    SendRun run;
    bool connected_after = false;
    if (rc == 0) {
        ASSERT_NE(r, nullptr);
        hostile::run_bounded(std::string("sends against ") + c.scenario, hostile::kCallLimitS, [&] {
            run = send_media(r, is_healthy ? kHealthySends : hostile::kManySends);
        });
        connected_after = RTMP_IsConnected(r);
        hostile::run_bounded(std::string("close_rtmp_w against ") + c.scenario, hostile::kCallLimitS,
                             [&] { close_rtmp_w(r, connected_after); });
    }

    const std::string context = std::string(c.scenario) + "\nclient log:\n" + client_log + "server log:\n" +
                                server.log();
    EXPECT_NE(std::find(c.connect_results.begin(), c.connect_results.end(), rc), c.connect_results.end())
        << "connect_rtmp_w returned " << rc << ", expected " << hostile::codes_text(c.connect_results) << "\n"
        << context;
    if (is_healthy && rc == 0) {
        EXPECT_FALSE(run.failed) << context;
        EXPECT_EQ(run.sent, kHealthySends) << context;
    }
    if (c.outcome == Outcome::kDies && rc == 0) {
        EXPECT_TRUE(run.failed) << "no send failed after " << run.sent << " sends\n" << context;
        EXPECT_FALSE(connected_after) << "a failed send must leave the connection closed\n" << context;
    }
    EXPECT_EQ(hostile::open_fds(), fds_before) << context;

    std::string sends = "-";
    if (rc == 0)
        sends = run.failed ? std::to_string(run.sent) + " ok, then failed after " + std::to_string(run.fail_ms) + " ms"
                           : std::to_string(run.sent) + " ok";
    hostile::report_row(table, header,
                        "| " + std::string(c.scenario) + " | " + std::to_string(rc) + " | " +
                            std::to_string(server.count(": accepted")) + " | " + std::to_string(connect_ms) + " | " +
                            sends + " |");
}

class HostileConnect : public ::testing::TestWithParam<Case> {};

TEST_P(HostileConnect, EndsWithResultCodeAndReleasesAll)
{
    HostileServer server(GetParam().scenario);
    run_case(GetParam(), server, server.url(), "connect_rtmp_w");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostileConnect, ::testing::ValuesIn(hostile::cases()), tavrel_testing::CaseName());

// The same server behind TLS (nginx's stream module with the test CA's
// certificate): a fault is met through the TLS session, with the same
// result.
class HostileConnectTls : public ::testing::TestWithParam<Case> {};

TEST_P(HostileConnectTls, EndsWithResultCodeAndReleasesAll)
{
    HostileServer server(GetParam().scenario);
    tavrel_testing::NginxOptions options;
    options.tls = true;
    options.tls_upstream_port = server.port();
    tavrel_testing::Nginx front(options);
    run_case(GetParam(), server, front.tls_url("live", "stream") + " timeout=2", "connect_rtmp_w over TLS");
}

// The cases of the scenarios named, in the table's order.
std::vector<Case> picked(const std::vector<std::string> &scenarios)
{
    std::vector<Case> out;
    for (const Case &c : hostile::cases()) {
        if (std::find(scenarios.begin(), scenarios.end(), c.scenario) != scenarios.end())
            out.push_back(c);
    }
    return out;
}

std::vector<Case> over_tls()
{
    return picked({"ok", "close-on-accept", "close-after-s0", "silent-before-s0", "garbage-after-handshake",
                   "truncated-chunk-body", "error-huge-description", "needauth-forever-adobe", "close-mid-stream",
                   "stop-reading"});
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostileConnectTls, ::testing::ValuesIn(over_tls()), tavrel_testing::CaseName());

// The same server through the RTMPT HTTP tunnel, whose open and handshake
// are ours: a server that hangs up before answering the open
// (close-on-accept), answers it and then hangs up (close-before-s0), or
// never answers (silent-before-s0) ends the connect with -3 within the
// link's timeout (librtmp's own open waits forever, spinning on a closed
// socket); the healthy one publishes and takes media.
class HostileConnectTunnel : public ::testing::TestWithParam<Case> {};

TEST_P(HostileConnectTunnel, EndsWithResultCodeAndReleasesAll)
{
    HostileServer server(GetParam().scenario, true);
    run_case(GetParam(), server, server.url(), "connect_rtmp_w through the tunnel");
    // The tunnel was reached: a failure before connect is the handshake's.
    if (GetParam().connect_results == std::vector<int>{-3}) {
        EXPECT_EQ(tavrel_last_connect_result(), TAVREL_CONNECT_HANDSHAKE) << GetParam().scenario;
    }
}

std::vector<Case> through_tunnel()
{
    return picked({"ok", "close-on-accept", "close-before-s0", "silent-before-s0", "close-after-s0s1",
                   "wrong-version", "close-at-connect", "error-huge-description", "needauth-forever-llnw",
                   "close-mid-stream"});
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostileConnectTunnel, ::testing::ValuesIn(through_tunnel()),
                         tavrel_testing::CaseName());

// The tunnel inside TLS (rtmpts): the bounded reads wait on the TLS
// session's records as well.
class HostileConnectTunnelTls : public ::testing::TestWithParam<Case> {};

TEST_P(HostileConnectTunnelTls, EndsWithResultCodeAndReleasesAll)
{
    HostileServer server(GetParam().scenario, true);
    tavrel_testing::NginxOptions options;
    options.tls = true;
    options.tls_upstream_port = server.port();
    tavrel_testing::Nginx front(options);
    std::string url = front.tls_url("live", "stream") + " timeout=2";
    url.replace(0, std::strlen("rtmps"), "rtmpts");
    run_case(GetParam(), server, url, "connect_rtmp_w through the tunnel over TLS");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostileConnectTunnelTls,
                         ::testing::ValuesIn(picked({"ok", "close-on-accept", "close-before-s0", "silent-before-s0"})),
                         tavrel_testing::CaseName());

// The table and the server must not drift apart: a scenario nobody checks
// is as bad as a check of a scenario that no longer exists.
TEST(HostileScenarios, EveryScenarioHasAnExpectation)
{
    std::set<std::string> served, expected;
    for (const auto &s : HostileServer::scenarios())
        served.insert(s.name);
    for (const auto &c : hostile::cases())
        expected.insert(c.scenario);
    EXPECT_EQ(served, expected);
}

}  // namespace
