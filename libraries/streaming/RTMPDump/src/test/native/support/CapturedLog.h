// A Logger that keeps every line, and one scope in which it is also the
// global logger that receives librtmp's messages.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Ostrel.h"

class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;

    std::vector<std::pair<int, std::string>> lines() const;
    bool contains(int level, const std::string &text) const;
    bool contains(const std::string &text) const;  // at any level
    std::string dump() const;                      // "LEVEL text" lines, for failure messages

    Logger *const logger;

private:
    static void sink(void *context, int level, const char *fmt, va_list args);
    mutable std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

// Installs librtmp's callback (at the level a connect sets) and a
// CapturedLog as the global logger for one scope (the previous one is
// released and none is left behind).
class GlobalLogCapture {
public:
    GlobalLogCapture();
    ~GlobalLogCapture();
    CapturedLog log;
};
