/*
 * Ostrel: the logging facility shared by the native libraries.
 *
 * A Logger hands printf-style messages to a sink. The usual sink is a
 * java.util.logging.Logger (jni_logger, in OstrelJni.h: only JNI code needs
 * it); native code and tests may supply their own (logger_new). Levels are
 * the integer values of java.util.logging.Level.
 *
 * Loggers are reference-counted: every holder owns one reference and gives
 * it back with logger_release, never with free. A logger is usable from any
 * thread until its last reference is gone.
 */
#ifndef OSTREL_H
#define OSTREL_H

#include <stdarg.h>

#define OSTREL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

enum {
    OSTREL_FINEST = 300,
    OSTREL_FINER = 400,
    OSTREL_FINE = 500,
    OSTREL_CONFIG = 700,
    OSTREL_INFO = 800,
    OSTREL_WARNING = 900,
    OSTREL_SEVERE = 1000,
};

typedef struct Logger Logger;

/* Receives one message. The sink decides whether the level is wanted before
 * it formats anything. */
typedef void (*LogCallback)(void *context, int level, const char *fmt, va_list args);

/* Called once, when the last reference to the logger is released. */
typedef void (*LogRelease)(void *context);

/* A logger for a native sink. Messages below `level` are dropped before the
 * sink is called. `release` may be null. Returns null when memory runs out. */
OSTREL_API Logger *logger_new(void *context, int level, LogCallback log_function, LogRelease release);

/* Takes one more reference; returns `logger` (null stays null). */
OSTREL_API Logger *logger_retain(Logger *logger);

/* Gives back one reference; the last one releases the sink (for a Java
 * logger, its global reference) and the record. Null is ignored. */
OSTREL_API void logger_release(Logger *logger);

/* One message at `level`; a null logger drops it. */
OSTREL_API void logger_log(Logger *logger, int level, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
OSTREL_API void logger_vlog(Logger *logger, int level, const char *fmt, va_list args);

#ifdef __cplusplus
}
#endif

#endif
