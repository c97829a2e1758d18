#include "Ostrel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Sink {
    std::vector<std::pair<int, std::string>> lines;
    int releases = 0;
};

void record(void *context, int level, const char *fmt, va_list args)
{
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, args);
    static_cast<Sink *>(context)->lines.emplace_back(level, text);
}

void count_release(void *context) { static_cast<Sink *>(context)->releases++; }

TEST(Logger, FormatsAndDropsBelowItsLevel)
{
    Sink sink;
    Logger *logger = logger_new(&sink, 500, record, count_release);
    ASSERT_NE(logger, nullptr);
    logger_log(logger, 300, "trace %d", 1);
    logger_log(logger, 500, "detail %s=%d", "x", 7);
    logger_log(logger, 900, "error");
    logger_log(logger, 900, nullptr);
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0], std::make_pair(500, std::string("detail x=7")));
    EXPECT_EQ(sink.lines[1], std::make_pair(900, std::string("error")));
    logger_release(logger);
    EXPECT_EQ(sink.releases, 1);
}

TEST(Logger, NullLoggerIsIgnoredEverywhere)
{
    logger_log(nullptr, 900, "dropped %d", 1);
    EXPECT_EQ(logger_retain(nullptr), nullptr);
    logger_release(nullptr);
    EXPECT_EQ(logger_new(nullptr, 0, nullptr, nullptr), nullptr);
}

TEST(Logger, LastOfManyHoldersReleasesOnce)
{
    std::atomic<int> releases{0};
    auto release = [](void *ctx) { static_cast<std::atomic<int> *>(ctx)->fetch_add(1); };
    auto drop = [](void *, int, const char *, va_list) {};
    Logger *logger = logger_new(&releases, 0, drop, release);
    ASSERT_NE(logger, nullptr);

    constexpr int kThreads = 4, kRounds = 10000;
    for (int i = 0; i < kThreads; i++)
        logger_retain(logger);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([logger] {
            for (int i = 0; i < kRounds; i++) {
                logger_retain(logger);
                logger_log(logger, 900, "x");
                logger_release(logger);
            }
            logger_release(logger);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(releases.load(), 0);
    logger_release(logger);
    EXPECT_EQ(releases.load(), 1);
}

}  // namespace
