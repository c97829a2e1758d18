// Our client through the whole authentication exchange with the challenge
// server (whose checks FFmpeg's client proves in its own test).
#include "CaseName.h"
#include "ChallengeServer.h"
#include "RTMPDumpUtilInternal.h"
#include "CapturedLog.h"

#include <gtest/gtest.h>

#include <string>

using tavrel_testing::ChallengeServer;
using tavrel_testing::ChallengeServerOptions;
using tavrel_testing::json_field;

namespace {

std::string av_str(const AVal &a) { return a.av_val ? std::string(a.av_val, a.av_len) : std::string(); }

struct Case {
    const char *what;
    const char *auth;
    const char *app;
    const char *user;      // null: no credentials
    const char *password;  // null: none
    bool no_opaque;
    bool salt_padding;
    bool endless;
    int expected;
    size_t connects;
    const char *last_verdict;
    const char *logged;  // at 1000 through the global logger
};

const Case kCases[] = {
    {"adobe", "adobe", "live", "alice", "secret", false, false, false, 0, 3, "accepted",
     "Failed to connect stream; retrying"},
    {"adobe without opaque", "adobe", "live", "alice", "secret", true, false, false, 0, 3, "accepted", nullptr},
    {"adobe, salt ending in ==", "adobe", "live", "alice", "secret", false, true, false, 0, 3, "accepted", nullptr},
    {"llnw", "llnw", "live", "alice", "secret", false, false, false, 0, 3, "accepted", nullptr},
    {"llnw, application with instance", "llnw", "live/inst", "alice", "secret", false, false, false, 0, 3,
     "accepted", nullptr},
    {"adobe, wrong password", "adobe", "live", "alice", "wrong", false, false, false, -4, 3, "authfail",
     "PublisherAuth_v2, Authentication failed: wrong password"},
    {"llnw, wrong password", "llnw", "live", "alice", "wrong", false, false, false, -4, 3, "authfail",
     "PublisherAuth_v2, Authentication failed: wrong password"},
    {"adobe, unknown user", "adobe", "live", "mallory", "secret", false, false, false, -4, 2, "nosuchuser",
     "PublisherAuth_v2, Authentication failed: no such user"},
    {"llnw, unknown user", "llnw", "live", "mallory", "secret", false, false, false, -4, 2, "nosuchuser",
     "PublisherAuth_v2, Authentication failed: no such user"},
    {"no credentials", "adobe", "live", nullptr, nullptr, false, false, false, -4, 1, "need_auth",
     "PublisherAuth_v2, need to set pubUser & pubPasswd for publisher auth"},
    {"user without password", "llnw", "live", "alice", nullptr, false, false, false, -4, 1, "need_auth",
     "PublisherAuth_v2, need to set pubUser & pubPasswd for publisher auth"},
    {"adobe, never satisfied", "adobe", "live", "alice", "secret", false, false, true, -4, 4, "needauth",
     "server still demands authentication after 3 rounds"},
    {"llnw, never satisfied", "llnw", "live", "alice", "secret", false, false, true, -4, 4, "needauth",
     "server still demands authentication after 3 rounds"},
};

class ConnectAuth : public testing::TestWithParam<Case> {};

TEST_P(ConnectAuth, EndsAsTheServerDecides)
{
    const Case &c = GetParam();
    ChallengeServerOptions options;
    options.auth = c.auth;
    options.users = {{"alice", "secret"}};
    options.no_opaque = c.no_opaque;
    options.salt_padding = c.salt_padding;
    options.endless_needauth = c.endless;
    ChallengeServer server(options);
    GlobalLogCapture capture;

    const std::string url = server.url(c.app, "cam");
    RTMP *r = nullptr;
    const int result = connect_rtmp_w(url.c_str(), c.user, c.password, &r, &global_log_callback);
    EXPECT_EQ(result, c.expected) << capture.log.dump();
    const auto connects = server.events("connect");
    EXPECT_EQ(connects.size(), c.connects) << server.record();
    ASSERT_FALSE(connects.empty());
    EXPECT_EQ(json_field(connects.front(), "app"), c.app);
    EXPECT_EQ(json_field(connects.back(), "verdict"), c.last_verdict) << server.record();
    if (c.logged) {
        EXPECT_TRUE(capture.log.contains(1000, c.logged)) << capture.log.dump();
    }
    // The password never reaches a log line, at any level.
    RTMP_LogSetLevel(RTMP_LOGWARNING);
    EXPECT_FALSE(capture.log.contains("secret")) << capture.log.dump();

    if (c.expected == 0) {
        ASSERT_NE(r, nullptr);
        EXPECT_TRUE(r->m_bPlaying);
        // Both tokens stay on the application name and tcUrl, after the
        // name the URL gave.
        const std::string app = av_str(r->Link.app);
        const std::string first = std::string(c.app) + "?authmod=" + c.auth + "&user=alice";
        EXPECT_EQ(app.rfind(first, 0), 0u) << app;
        EXPECT_NE(app.find("&response="), std::string::npos) << app;
        EXPECT_EQ(av_str(r->Link.tcUrl), "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/" + app);
        EXPECT_EQ(json_field(connects.back(), "app"), app);
        // swfUrl stays the tcUrl the URL gave.
        EXPECT_EQ(av_str(r->Link.swfUrl), "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/" + c.app);
        EXPECT_EQ(json_field(connects.back(), "flashVer"), "FMLE/3.0 (compatible; FMSc/1.0)");
        EXPECT_TRUE(server.wait_for({"\"publish\"", "\"name\": \"cam\""})) << server.record();
        if (c.no_opaque) {
            EXPECT_EQ(app.substr(app.size() - 8), "&opaque=") << app;
        }
        close_rtmp_w(r, 1);
        EXPECT_TRUE(server.wait_for({"\"deleteStream\""})) << server.record();
    } else {
        EXPECT_EQ(r, nullptr);
        EXPECT_TRUE(server.events("publish").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Schemes, ConnectAuth, testing::ValuesIn(kCases), tavrel_testing::CaseName());

// The debug lines of both computations, which librtmp drops at the level a
// connect sets, still never show the password.
TEST(ConnectAuthDebug, DebugLinesMaskThePassword)
{
    for (const char *auth : {"adobe", "llnw"}) {
        ChallengeServerOptions options;
        options.auth = auth;
        options.users = {{"alice", "hunter2hunter2"}};
        ChallengeServer server(options);
        GlobalLogCapture capture;
        const std::string url = server.url("live", "cam");
        RTMP *r = nullptr;
        // Connect sets the level, so a callback that raises it again sees
        // the debug lines.
        static auto raise_level = [](int level, const char *fmt, va_list args) {
            RTMP_LogSetLevel(RTMP_LOGDEBUG);
            global_log_callback(level, fmt, args);
        };
        RTMP_LogSetLevel(RTMP_LOGDEBUG);
        RTMP_LogSetCallback(raise_level);
        RTMP_Log(RTMP_LOGERROR, "raising");
        ASSERT_EQ(connect_rtmp_w(url.c_str(), "alice", "hunter2hunter2", &r, raise_level), 0) << auth;
        RTMP_LogSetLevel(RTMP_LOGWARNING);
        EXPECT_TRUE(capture.log.contains(500, "pubToken2")) << auth << capture.log.dump();
        EXPECT_FALSE(capture.log.contains("hunter2")) << auth << capture.log.dump();
        close_rtmp_w(r, 0);
    }
}

}  // namespace
