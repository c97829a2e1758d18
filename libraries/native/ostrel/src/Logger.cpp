// The Logger record: a sink, a level floor and a reference count.
#include "Ostrel.h"

#include <atomic>
#include <cstdlib>
#include <new>

struct Logger {
    void *context;
    int level;
    LogCallback log_function;
    LogRelease release;
    std::atomic<int> refs;
};

extern "C" {

Logger *logger_new(void *context, int level, LogCallback log_function, LogRelease release)
{
    if (!log_function)
        return nullptr;
    void *mem = std::malloc(sizeof(Logger));
    if (!mem)
        return nullptr;
    Logger *logger = new (mem) Logger;
    logger->context = context;
    logger->level = level;
    logger->log_function = log_function;
    logger->release = release;
    logger->refs.store(1, std::memory_order_relaxed);
    return logger;
}

Logger *logger_retain(Logger *logger)
{
    if (logger)
        logger->refs.fetch_add(1, std::memory_order_relaxed);
    return logger;
}

void logger_release(Logger *logger)
{
    if (!logger)
        return;
    // acq_rel: the last holder must see every write the others made
    // through the sink before it tears the sink down.
    if (logger->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (logger->release)
        logger->release(logger->context);
    logger->~Logger();
    std::free(logger);
}

void logger_vlog(Logger *logger, int level, const char *fmt, va_list args)
{
    if (!logger || !fmt || level < logger->level)
        return;
    logger->log_function(logger->context, level, fmt, args);
}

void logger_log(Logger *logger, int level, const char *fmt, ...)
{
    if (!logger || !fmt || level < logger->level)
        return;
    va_list args;
    va_start(args, fmt);
    logger->log_function(logger->context, level, fmt, args);
    va_end(args);
}

}  // extern "C"
