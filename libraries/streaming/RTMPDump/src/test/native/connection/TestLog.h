// Captures what reaches a Logger, and what librtmp hands the global logger.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Ostrel.h"

class TestLog {
public:
    TestLog();
    ~TestLog();
    TestLog(const TestLog &) = delete;
    TestLog &operator=(const TestLog &) = delete;

    Logger *logger() const { return logger_; }
    std::vector<std::pair<int, std::string>> lines() const;
    bool contains(int level, const std::string &text) const;
    bool contains(const std::string &text) const;
    std::string dump() const;

private:
    static void sink(void *context, int level, const char *fmt, va_list args);
    Logger *logger_;
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

// Installs librtmp's callback (at the level a connect sets) and a TestLog
// as the global logger for one scope (the previous one is
// released and none is left behind).
class GlobalLogCapture {
public:
    GlobalLogCapture();
    ~GlobalLogCapture();
    TestLog log;
};
