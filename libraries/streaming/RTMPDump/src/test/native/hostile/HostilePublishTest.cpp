// The publisher (tavrel_connect, the sends, tavrel_close) against every
// hostile-server scenario: a context only when the stream is published, a
// failed send classified as "reconnect" when the server has gone, never a
// send that blocks for good, and nothing left behind by tavrel_close.
#include "Bounded.h"
#include "CaseName.h"
#include "Cases.h"
#include "Feed.h"
#include "HostileServer.h"
#include "Report.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using hostile::Case;
using hostile::Outcome;
using tavrel_testing::HostileServer;

constexpr int kHealthyFrames = 60;

// Packet mode for every scenario; FLV-write mode (RTMP_Write_v2) where media
// flows, since that path has its own writer.
std::vector<std::tuple<Case, int>> params()
{
    std::vector<std::tuple<Case, int>> out;
    for (const auto &c : hostile::cases()) {
        out.emplace_back(c, 0);
        if (c.outcome != Outcome::kRefused)
            out.emplace_back(c, 1);
    }
    return out;
}

}  // namespace

namespace hostile {

std::string case_words(const std::tuple<Case, int> &run)
{
    return std::string(std::get<0>(run).scenario) + (std::get<1>(run) ? " flv-write" : " packet");
}

}  // namespace hostile

namespace {

class HostilePublish : public ::testing::TestWithParam<std::tuple<Case, int>> {};

TEST_P(HostilePublish, ContextOnlyWhenPublishedAndSendsEnd)
{
    const Case &c = std::get<0>(GetParam());
    const int use_rtmp_write = std::get<1>(GetParam());
    if (const char *why = hostile::skip_reason(c)) {
        hostile::report_row("tavrel_connect, sends, tavrel_close",
                            "| scenario | mode | context | sends | tavrel_can_send after |",
                            "| " + std::string(c.scenario) + " | | not run: librtmp heap overflow | | |");
        GTEST_SKIP() << why;
    }
    HostileServer server(c.scenario);
    const int fds_before = hostile::open_fds();
    const std::string what = std::string(c.scenario) + (use_rtmp_write ? " (FLV-write mode)" : " (packet mode)");

    RTMPDumpCtx *ctx = nullptr;
    hostile::run_bounded("tavrel_connect against " + what, hostile::kCallLimitS, [&] {
        ctx = hostile::connect(server.url(), use_rtmp_write, "user", "pass");
    });

    hostile::FeedResult fed;
    int can_send_after = -1;
    if (ctx) {
        hostile::run_bounded("sends against " + what, hostile::kCallLimitS, [&] {
            fed = hostile::feed(ctx, c.outcome == Outcome::kHealthy ? kHealthyFrames : hostile::kManySends);
        });
        can_send_after = tavrel_can_send(ctx);
        hostile::run_bounded("tavrel_close against " + what, hostile::kCallLimitS, [&] { tavrel_close(ctx); });
    }

    const std::string context = what + "\nserver log:\n" + server.log();
    if (c.outcome == Outcome::kRefused) {
        EXPECT_EQ(ctx, nullptr) << context;
    } else {
        ASSERT_NE(ctx, nullptr) << context;
    }
    if (c.outcome == Outcome::kHealthy) {
        EXPECT_EQ(fed.metadata_result, 1) << context;
        EXPECT_EQ(fed.setup_result, RTMPERR_OK) << context;
        EXPECT_EQ(fed.frames_ok, kHealthyFrames) << context;
    }
    if (c.outcome == Outcome::kDies || c.outcome == Outcome::kEndedByServer) {
        // The server can go before or after the headers: whichever send
        // meets it fails and says "reconnect".
        const bool metadata_failed = fed.metadata_result == 0;
        const int failed = fed.setup_result != RTMPERR_OK ? fed.setup_result : fed.failed_with;
        EXPECT_TRUE(metadata_failed || failed == RTMPERR_NEEDS_TO_RECONNECT)
            << "metadata " << fed.metadata_result << ", headers " << hostile::result_name(fed.setup_result)
            << ", frames " << fed.frames_ok << " then " << hostile::result_name(fed.failed_with) << "\n"
            << context;
    }
    EXPECT_EQ(hostile::open_fds(), fds_before) << context;

    std::string sends = "-";
    if (ctx) {
        if (fed.metadata_result != 1)
            sends = "metadata " + std::to_string(fed.metadata_result);
        else if (fed.setup_result != RTMPERR_OK)
            sends = "headers " + hostile::result_name(fed.setup_result);
        else if (fed.failed_with != RTMPERR_OK)
            sends = std::to_string(fed.frames_ok) + " frames OK, then " + hostile::result_name(fed.failed_with) +
                    " after " + std::to_string(fed.fail_ms) + " ms";
        else
            sends = std::to_string(fed.frames_ok) + " frames OK";
    }
    hostile::report_row("tavrel_connect, sends, tavrel_close",
                        "| scenario | mode | context | sends | tavrel_can_send after |",
                        "| " + std::string(c.scenario) + " | " + (use_rtmp_write ? "FLV-write" : "packet") + " | " +
                            (ctx ? "made" : "null") + " | " + sends + " | " +
                            (ctx ? std::to_string(can_send_after) : "-") + " |");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostilePublish, ::testing::ValuesIn(params()),
                         tavrel_testing::CaseName());

}  // namespace
