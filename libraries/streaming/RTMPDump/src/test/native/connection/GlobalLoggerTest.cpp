#include "RTMPDumpUtilInternal.h"
#include "Tavrel.h"
#include "CapturedLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

void call_callback(int level, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    global_log_callback(level, fmt, args);
    va_end(args);
}

TEST(GlobalLogger, LibrtmpLevelsMapOntoLoggerLevels)
{
    struct Case {
        int rtmp_level;
        int expected;
    };
    const Case cases[] = {
        {RTMP_LOGCRIT, 1000}, {RTMP_LOGERROR, 1000}, {RTMP_LOGWARNING, 900}, {RTMP_LOGINFO, 800},
        {RTMP_LOGDEBUG, 500}, {RTMP_LOGDEBUG2, 400}, {RTMP_LOGALL, 800},     {-1, 800},
        {42, 800},
    };
    GlobalLogCapture capture;
    for (const Case &c : cases)
        call_callback(c.rtmp_level, "level %d says %s", c.rtmp_level, "hi");
    auto lines = capture.log.lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i].first, cases[i].expected) << "librtmp level " << cases[i].rtmp_level;
        EXPECT_EQ(lines[i].second, "level " + std::to_string(cases[i].rtmp_level) + " says hi");
    }
}

TEST(GlobalLogger, NullFormatAndNoLoggerAreDropped)
{
    tavrel_set_global_logger(nullptr);
    call_callback(RTMP_LOGERROR, "nobody listens");
    GlobalLogCapture capture;
    call_callback(RTMP_LOGERROR, nullptr);
    EXPECT_TRUE(capture.log.lines().empty());
}

struct Counted {
    std::atomic<int> released{0};
    std::atomic<int> messages{0};
    static void sink(void *ctx, int, const char *, va_list) { static_cast<Counted *>(ctx)->messages++; }
    static void release(void *ctx) { static_cast<Counted *>(ctx)->released++; }
    Logger *make() { return logger_new(this, 0, &Counted::sink, &Counted::release); }
};

TEST(GlobalLogger, ReplacingReleasesThePreviousOneOnce)
{
    Counted a, b;
    tavrel_set_global_logger(a.make());
    call_callback(RTMP_LOGERROR, "to a");
    tavrel_set_global_logger(b.make());
    EXPECT_EQ(a.released, 1);
    EXPECT_EQ(b.released, 0);
    call_callback(RTMP_LOGERROR, "to b");
    tavrel_set_global_logger(nullptr);
    EXPECT_EQ(a.released, 1);
    EXPECT_EQ(b.released, 1);
    EXPECT_EQ(a.messages, 1);
    EXPECT_EQ(b.messages, 1);
}

// Loggers replaced while other threads log through them: each is released
// exactly once and no message reaches a released one (the sanitizer builds
// see the rest).
TEST(GlobalLogger, ReplacingWhileOtherThreadsLog)
{
    constexpr int kLoggers = 200;
    std::vector<Counted> counted(kLoggers);
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; t++)
        writers.emplace_back([&] {
            while (!stop)
                call_callback(RTMP_LOGWARNING, "message %d", 1);
        });
    for (auto &c : counted)
        tavrel_set_global_logger(c.make());
    tavrel_set_global_logger(nullptr);
    stop = true;
    for (auto &w : writers)
        w.join();
    for (auto &c : counted)
        EXPECT_EQ(c.released, 1);
}

TEST(GlobalLogger, ReceivesLibrtmpMessagesAtTheLevelConnectSets)
{
    GlobalLogCapture capture;
    // A URL librtmp refuses still sets the level and the callback.
    RTMP *r = nullptr;
    ASSERT_EQ(connect_rtmp_w("no url at all", nullptr, nullptr, &r, &global_log_callback), -2);
    EXPECT_EQ(RTMP_LogGetLevel(), RTMP_LOGWARNING);
    RTMP_Log(RTMP_LOGERROR, "an error %d", 7);
    RTMP_Log(RTMP_LOGWARNING, "a warning");
    RTMP_Log(RTMP_LOGINFO, "filtered by librtmp");
    EXPECT_TRUE(capture.log.contains(1000, "an error 7")) << capture.log.dump();
    EXPECT_TRUE(capture.log.contains(900, "a warning"));
    EXPECT_FALSE(capture.log.contains("filtered by librtmp"));
}

}  // namespace
