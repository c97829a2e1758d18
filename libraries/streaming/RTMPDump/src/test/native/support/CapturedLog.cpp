#include "CapturedLog.h"

#include "RTMPDumpUtilInternal.h"
#include "Tavrel.h"

#include <cstdio>

CapturedLog::CapturedLog() : logger(logger_new(this, 0, &CapturedLog::sink, nullptr)) {}

CapturedLog::~CapturedLog() { logger_release(logger); }

void CapturedLog::sink(void *context, int level, const char *fmt, va_list args)
{
    char text[4096];
    std::vsnprintf(text, sizeof text, fmt, args);
    auto *self = static_cast<CapturedLog *>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.emplace_back(level, text);
}

std::vector<std::pair<int, std::string>> CapturedLog::lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool CapturedLog::contains(int level, const std::string &text) const
{
    for (const auto &l : lines())
        if (l.first == level && l.second.find(text) != std::string::npos)
            return true;
    return false;
}

bool CapturedLog::contains(const std::string &text) const
{
    for (const auto &l : lines())
        if (l.second.find(text) != std::string::npos)
            return true;
    return false;
}

std::string CapturedLog::dump() const
{
    std::string out;
    for (const auto &l : lines())
        out += std::to_string(l.first) + " " + l.second + "\n";
    return out;
}

GlobalLogCapture::GlobalLogCapture()
{
    // What every connect sets up, so that routines tested on their own log
    // the same way.
    RTMP_LogSetLevel(RTMP_LOGWARNING);
    RTMP_LogSetCallback(&global_log_callback);
    tavrel_set_global_logger(logger_retain(log.logger));
}

GlobalLogCapture::~GlobalLogCapture() { tavrel_set_global_logger(nullptr); }
