// The process-wide logger that receives librtmp's own messages.
#include "RTMPDumpUtilInternal.h"
#include "Tavrel.h"

#include <mutex>

namespace {

// librtmp logs from whichever thread is connecting or sending while another
// thread may replace the logger; the lock only guards the pointer swap and
// the retain, so a slow sink never holds up the other threads' messages.
std::mutex global_logger_mutex;
Logger *global_logger = nullptr;

Logger *acquire_global_logger()
{
    std::lock_guard<std::mutex> lock(global_logger_mutex);
    return logger_retain(global_logger);
}

int map_rtmp_level(int level)
{
    switch (level) {
    case RTMP_LOGCRIT:
    case RTMP_LOGERROR:
        return OSTREL_SEVERE;
    case RTMP_LOGWARNING:
        return OSTREL_WARNING;
    case RTMP_LOGINFO:
        return OSTREL_INFO;
    case RTMP_LOGDEBUG:
        return OSTREL_FINE;
    case RTMP_LOGDEBUG2:
        return OSTREL_FINER;
    default:
        return OSTREL_INFO;
    }
}

}  // namespace

extern "C" {

void tavrel_set_global_logger(Logger *logger)
{
    Logger *previous;
    {
        std::lock_guard<std::mutex> lock(global_logger_mutex);
        previous = global_logger;
        global_logger = logger;
    }
    // A message being written right now holds its own reference, so the
    // previous logger lives until that message is done.
    logger_release(previous);
}

void global_log_callback(int level, const char *fmt, va_list args)
{
    if (!fmt)
        return;
    Logger *logger = acquire_global_logger();
    if (!logger)
        return;
    logger_vlog(logger, map_rtmp_level(level), fmt, args);
    logger_release(logger);
}

}  // extern "C"
