// A server that talks while the client publishes: its pings are answered by
// the next send or tavrel_poll, its small acknowledgement window gets our
// Acknowledgements, and a status or close that ends the publish reaches
// tavrel_poll and the next send as "reconnect".
#include "Bounded.h"
#include "CaseName.h"
#include "Feed.h"
#include "HostileServer.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using tavrel_testing::HostileServer;

constexpr int kMaxFrames = 400;

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits (3 s at most) until the server's log satisfies done.
bool wait_for(const std::function<bool()> &done)
{
    for (int i = 0; i < 60; i++) {
        if (done())
            return true;
        pause_ms(50);
    }
    return done();
}

// The one call that must answer what the server sent: a media send or a
// look without one.
int answer_call(RTMPDumpCtx *ctx, bool by_poll) { return by_poll ? tavrel_poll(ctx) : hostile::send_video_frame(ctx, 1000); }

struct PingCase {
    const char *what;
    bool by_poll;
};

class PingAnswered : public ::testing::TestWithParam<PingCase> {};

// Each 16 KiB frame makes the server send a Ping Request; once it has
// arrived and nothing was sent since, the one call answers it.
TEST_P(PingAnswered, WithinOneCall)
{
    HostileServer server("ping-mid-stream");
    RTMPDumpCtx *ctx = hostile::connect(server.url());
    ASSERT_NE(ctx, nullptr) << server.log();
    ASSERT_EQ(hostile::send_headers(ctx), RTMPERR_OK);
    ASSERT_EQ(hostile::send_video_frame(ctx, 0), RTMPERR_OK);
    auto pending = [&] { return server.count("ping request") - server.count("ping response"); };
    ASSERT_TRUE(wait_for([&] { return pending() >= 1; })) << server.log();
    pause_ms(200);  // the request is in our socket now
    ASSERT_GE(pending(), 1) << "nothing was sent: no look has read it";

    int result = RTMPERR_UNKNOWN;
    hostile::run_bounded("the answering call", hostile::kCallLimitS, [&] { result = answer_call(ctx, GetParam().by_poll); });
    EXPECT_EQ(result, RTMPERR_OK);
    // A send sets off a request of its own: only the ones before it count.
    const int requests_before = server.count("ping request");
    EXPECT_TRUE(wait_for([&] { return server.count("ping response") >= requests_before - (GetParam().by_poll ? 0 : 1); }))
        << server.log();
    hostile::run_bounded("tavrel_close", hostile::kCallLimitS, [&] { tavrel_close(ctx); });
}

INSTANTIATE_TEST_SUITE_P(Calls, PingAnswered,
                         ::testing::Values(PingCase{"by a send", false}, PingCase{"by tavrel_poll", true}),
                         tavrel_testing::CaseName());

// The server's log lines "acknowledgement SEQ of SENT sent": our sequence
// numbers, each with what the server had sent by then.
std::vector<std::pair<long long, long long>> acknowledgements(const std::string &log)
{
    std::vector<std::pair<long long, long long>> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        long long seq = 0, sent = 0;
        const size_t at = line.find("acknowledgement ");
        if (at != std::string::npos && std::sscanf(line.c_str() + at, "acknowledgement %lld of %lld", &seq, &sent) == 2)
            out.emplace_back(seq, sent);
    }
    return out;
}

TEST(ServerWindow, SmallWindowGetsAcknowledgements)
{
    constexpr long long kWindow = 4096;      // as the scenario announces
    constexpr long long kHandshake = 3073;  // S0, S1, S2: librtmp counts them as received
    HostileServer server("small-ack-window");
    RTMPDumpCtx *ctx = hostile::connect(server.url());
    ASSERT_NE(ctx, nullptr) << server.log();
    ASSERT_EQ(hostile::send_headers(ctx), RTMPERR_OK);
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(hostile::send_video_frame(ctx, i), RTMPERR_OK);
        pause_ms(10);
    }
    ASSERT_TRUE(wait_for([&] { return acknowledgements(server.log()).size() >= 4; })) << server.log();
    long long last = 0;
    for (const auto &[seq, sent] : acknowledgements(server.log())) {
        EXPECT_LE(seq, sent + kHandshake) << "never more than the server sent";
        EXPECT_GE(seq - last, kWindow) << "one per window";
        last = seq;
    }
    hostile::run_bounded("tavrel_close", hostile::kCallLimitS, [&] { tavrel_close(ctx); });
}

// A server that has stopped reading neither takes our goodbye nor closes:
// the graceful end gives up at its bound, and says so.
TEST(ServerStopsReading, GracefulEndKeepsItsBound)
{
    constexpr int kCloseTimeoutMs = 500;
    constexpr long long kSlackMs = 1500;  // a loaded machine's scheduling, not a wait of ours
    HostileServer server("stop-reading");
    RTMPDumpCtx *ctx = hostile::connect(server.url());
    ASSERT_NE(ctx, nullptr) << server.log();
    ASSERT_EQ(hostile::send_headers(ctx), RTMPERR_OK);
    ASSERT_TRUE(wait_for([&] { return server.count("stop reading") > 0; })) << server.log();
    ASSERT_EQ(tavrel_set_close_timeout(ctx, kCloseTimeoutMs), RTMPERR_OK);

    int finished = RTMPERR_OK;
    const long long start = hostile::now_ms();
    hostile::run_bounded("tavrel_finish", hostile::kCallLimitS, [&] { finished = tavrel_finish(ctx); });
    const long long took_ms = hostile::now_ms() - start;
    EXPECT_EQ(finished, RTMPERR_TIMEDOUT);
    EXPECT_GE(took_ms, kCloseTimeoutMs - 50);
    EXPECT_LT(took_ms, kCloseTimeoutMs + kSlackMs);
    hostile::run_bounded("tavrel_close", hostile::kCallLimitS, [&] { tavrel_close(ctx); });
}

struct EndCase {
    const char *what;  // the scenario
    const char *server_line;  // the server has ended the publish once its log has it
};

class ServerEnds : public ::testing::TestWithParam<EndCase> {};

// Sends until the server has ended the publish, then no send: the look
// alone finds out, and the next send says so too.
TEST_P(ServerEnds, PollThenSendSayReconnect)
{
    HostileServer server(GetParam().what);
    RTMPDumpCtx *ctx = hostile::connect(server.url());
    ASSERT_NE(ctx, nullptr) << server.log();
    ASSERT_EQ(hostile::send_headers(ctx), RTMPERR_OK);
    int sent = 0;
    while (sent < kMaxFrames && server.count(GetParam().server_line) == 0) {
        if (hostile::send_video_frame(ctx, sent) != RTMPERR_OK)
            break;
        sent++;
        pause_ms(5);
    }
    ASSERT_TRUE(wait_for([&] { return server.count(GetParam().server_line) > 0; })) << server.log();
    pause_ms(200);

    int polled = RTMPERR_OK;
    hostile::run_bounded("tavrel_poll", hostile::kCallLimitS, [&] { polled = tavrel_poll(ctx); });
    EXPECT_EQ(polled, RTMPERR_NEEDS_TO_RECONNECT) << server.log();
    EXPECT_EQ(hostile::send_video_frame(ctx, sent), RTMPERR_NEEDS_TO_RECONNECT);
    EXPECT_EQ(tavrel_send_metadata(ctx, 1280, 720, 3000, 30, 128, 44100, 16, 2), 0) << "not sent";
    EXPECT_EQ(tavrel_poll(ctx), RTMPERR_NEEDS_TO_RECONNECT) << "it stays so until a reconnection";
    hostile::run_bounded("tavrel_close", hostile::kCallLimitS, [&] { tavrel_close(ctx); });
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ServerEnds,
                         ::testing::Values(EndCase{"publish-failed-mid-stream", "silent after NetStream.Publish.Failed"},
                                           EndCase{"connect-closed-mid-stream",
                                                   "silent after NetConnection.Connect.Closed"},
                                           EndCase{"close-mid-stream", "close after"}),
                         tavrel_testing::CaseName());

}  // namespace
