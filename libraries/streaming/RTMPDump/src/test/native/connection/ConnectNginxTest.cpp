#include "Nginx.h"
#include "RTMPDumpUtilInternal.h"
#include "CapturedLog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <string>
#include <thread>

using tavrel_testing::Nginx;

namespace {

std::string av_str(const AVal &a) { return a.av_val ? std::string(a.av_val, a.av_len) : std::string(); }

// nginx writes its log lines a moment after the event.
bool log_shows(Nginx &nginx, const std::string &text, int timeout_ms = 5000)
{
    for (int waited = 0; waited < timeout_ms; waited += 50) {
        if (nginx.error_log().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(ConnectNginx, PublishesAsALiveEncoder)
{
    Nginx nginx;
    GlobalLogCapture capture;
    std::string url = nginx.url("live", "first");
    RTMP *r = nullptr;
    ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0) << capture.log.dump();
    ASSERT_NE(r, nullptr);
    // The caller's text may go at once: the record keeps its own.
    url.assign(url.size(), 'x');

    EXPECT_TRUE(r->m_bPlaying);
    EXPECT_TRUE(RTMP_IsConnected(r));
    EXPECT_GT(r->m_stream_id, 0);
    EXPECT_TRUE(r->Link.protocol & RTMP_FEATURE_WRITE);
    EXPECT_EQ(av_str(r->Link.flashVer), "FMLE/3.0 (compatible; FMSc/1.0)");
    EXPECT_EQ(r->Link.flashVer.av_len, 31);
    const std::string tc_url = "rtmp://127.0.0.1:" + std::to_string(nginx.port()) + "/live";
    EXPECT_EQ(av_str(r->Link.tcUrl), tc_url);
    EXPECT_EQ(av_str(r->Link.swfUrl), tc_url);
    EXPECT_EQ(av_str(r->Link.app), "live");
    EXPECT_EQ(av_str(r->Link.playpath), "first");

    timeval tv = {};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, r->Link.timeout);

    EXPECT_TRUE(log_shows(nginx, "flashver='FMLE/3.0 (compatible; FMSc/1.0)'")) << nginx.error_log();
    EXPECT_TRUE(log_shows(nginx, "publish: name='first'")) << nginx.error_log();
    close_rtmp_w(r, 1);
    EXPECT_TRUE(log_shows(nginx, "deleteStream")) << nginx.error_log();
}

TEST(ConnectNginx, APublishTheServerRefusesEndsTheConnectAtOnce)
{
    Nginx nginx;
    const std::string url = nginx.url("live", "taken");
    RTMP *first = nullptr;
    ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &first, &global_log_callback), 0);

    // nginx answers a second publisher of the name with
    // NetStream.Publish.BadName; the connect must take that as the answer
    // rather than wait out the receive timeout.
    GlobalLogCapture capture;
    RTMP *second = nullptr;
    EXPECT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &second, &global_log_callback), -4);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(capture.log.contains("server refused the publish: NetStream.Publish.BadName")) << capture.log.dump();

    // The first stream is untouched by the refusal.
    EXPECT_TRUE(RTMP_IsConnected(first));
    close_rtmp_w(first, 1);
}

TEST(ConnectNginx, TimeoutOptionOfTheUrlBecomesTheSendTimeout)
{
    Nginx nginx;
    const std::string url = nginx.url("live", "timed") + " timeout=3";
    RTMP *r = nullptr;
    ASSERT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0);
    timeval tv = {};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 3);
    close_rtmp_w(r, 0);
}

TEST(ConnectNginx, FailuresLeaveTheOutputAlone)
{
    const int closed_port = tavrel_testing::free_port();
    const std::string nobody = "rtmp://127.0.0.1:" + std::to_string(closed_port) + "/live/s";
    struct Case {
        const char *what;
        const char *url;
        int expected;
        const char *logged;
    };
    const Case cases[] = {
        {"no scheme", "127.0.0.1/live/s", -2, nullptr},
        {"empty", "", -2, nullptr},
        {"nothing listens", nobody.c_str(), -3, "Failed to connect"},
    };
    for (const Case &c : cases) {
        GlobalLogCapture capture;
        RTMP *sentinel = reinterpret_cast<RTMP *>(0x1);
        RTMP *r = sentinel;
        EXPECT_EQ(connect_rtmp_w(c.url, "u", "p", &r, &global_log_callback), c.expected) << c.what;
        EXPECT_EQ(r, sentinel) << c.what;
        if (c.logged) {
            EXPECT_TRUE(capture.log.contains(1000, c.logged)) << c.what << "\n" << capture.log.dump();
        }
    }
}

TEST(ConnectNginx, NullUrlDoesNotTouchTheLogSetUp)
{
    RTMP_LogSetLevel(RTMP_LOGDEBUG);
    RTMP *r = nullptr;
    EXPECT_EQ(connect_rtmp_w(nullptr, nullptr, nullptr, &r, &global_log_callback), -1);
    EXPECT_EQ(RTMP_LogGetLevel(), RTMP_LOGDEBUG);
    EXPECT_EQ(r, nullptr);
    RTMP_LogSetLevel(RTMP_LOGWARNING);
}

}  // namespace
