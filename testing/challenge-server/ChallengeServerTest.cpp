#include "CaseName.h"
#include "ChallengeServer.h"

#include <gtest/gtest.h>

#include <string>

using tavrel_testing::ChallengeServer;
using tavrel_testing::ChallengeServerOptions;

namespace {

// FFmpeg publishes two seconds of a test picture; its exit status.
int ffmpeg_publish(const std::string &url, std::string *output)
{
    return tavrel_testing::run({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi",
                                "-i", "testsrc=size=320x240:rate=25", "-t", "2", "-c:v", "libx264", "-g", "25",
                                "-f", "flv", url},
                               60000, output);
}

struct Case {
    const char *what;
    const char *auth;
    const char *app;
    const char *user;
    const char *password;
    bool no_opaque;
    bool accepted;
    const char *verdict;  // of the last connect
    const char *ffmpeg_says;
};

const Case kCases[] = {
    {"adobe, right password", "adobe", "live", "alice", "secret", false, true, "accepted", ""},
    {"adobe, hashing the challenge", "adobe", "live", "alice", "secret", true, true, "accepted", ""},
    {"adobe, wrong password", "adobe", "live", "alice", "Secret", false, false, "authfail",
     "Incorrect username/password"},
    {"adobe, unknown user", "adobe", "live", "mallory", "secret", false, false, "nosuchuser",
     "Incorrect username"},
    {"llnw, right password", "llnw", "live", "alice", "secret", false, true, "accepted", ""},
    {"llnw, application with instance", "llnw", "live/inst", "alice", "secret", false, true, "accepted", ""},
    {"llnw, wrong password", "llnw", "live", "alice", "secreT", false, false, "authfail",
     "Incorrect username/password"},
};

class FfmpegAgainstChallengeServer : public testing::TestWithParam<Case> {};

TEST_P(FfmpegAgainstChallengeServer, AcceptsOnlyTheRightResponse)
{
    const Case &c = GetParam();
    ChallengeServerOptions options;
    options.auth = c.auth;
    options.users = {{"alice", "secret"}};
    options.no_opaque = c.no_opaque;
    ChallengeServer server(options);

    std::string output;
    const int status = ffmpeg_publish(server.url(c.app, "cam", c.user, c.password), &output);
    const auto connects = server.events("connect");
    ASSERT_FALSE(connects.empty()) << output;
    EXPECT_EQ(tavrel_testing::json_field(connects.front(), "verdict"), "need_auth");
    EXPECT_EQ(tavrel_testing::json_field(connects.back(), "verdict"), c.verdict) << server.record();
    if (c.accepted) {
        EXPECT_EQ(status, 0) << output;
        EXPECT_EQ(connects.size(), 3u);
        EXPECT_TRUE(server.wait_for({"\"publish\"", "\"name\": \"cam\""})) << server.record();
        // Two seconds at 25 pictures a second.
        EXPECT_GE(server.events("media").size(), 40u);
    } else {
        EXPECT_NE(status, 0) << output;
        EXPECT_NE(output.find(c.ffmpeg_says), std::string::npos) << output;
        EXPECT_TRUE(server.events("publish").empty());
        EXPECT_TRUE(server.events("media").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, FfmpegAgainstChallengeServer, testing::ValuesIn(kCases), tavrel_testing::CaseName());

TEST(ChallengeServer, WithoutAuthenticationItIsAPlainServer)
{
    ChallengeServerOptions options;
    options.auth = "none";
    ChallengeServer server(options);
    std::string output;
    EXPECT_EQ(ffmpeg_publish(server.url("live", "open"), &output), 0) << output;
    EXPECT_EQ(server.events("connect").size(), 1u);
    EXPECT_TRUE(server.wait_for({"\"FCUnpublish\""})) << server.record();
}

}  // namespace
