/*
 * Ostrel's Java side: a Logger whose sink is a java.util.logging.Logger.
 * Only JNI code includes this header; everything else takes a Logger from
 * Ostrel.h and never sees <jni.h>.
 */
#ifndef OSTREL_JNI_H
#define OSTREL_JNI_H

#include "Ostrel.h"

#include <jni.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A logger for a java.util.logging.Logger object. Returns null when `logger`
 * is null or not such an object, or when memory runs out. `flags` is
 * reserved and must be 0. The logger keeps a global reference to the Java
 * object and may be used on any Java thread after this call has returned;
 * on a native thread it attaches for the duration of one message. */
OSTREL_API Logger *jni_logger(JNIEnv *env, jobject logger, int flags);

#ifdef __cplusplus
}

namespace ostrel {

/* The Logger of a JNI call's logger argument (none for null), holding one
 * reference for the call; release() hands it to a new owner instead. */
class ScopedJniLogger {
public:
    ScopedJniLogger(JNIEnv *env, jobject logger) : logger_(logger ? jni_logger(env, logger, 0) : nullptr) {}
    ~ScopedJniLogger() { logger_release(logger_); }
    ScopedJniLogger(const ScopedJniLogger &) = delete;
    ScopedJniLogger &operator=(const ScopedJniLogger &) = delete;

    Logger *get() const { return logger_; }
    Logger *release()
    {
        Logger *l = logger_;
        logger_ = nullptr;
        return l;
    }

private:
    Logger *logger_;
};

}  // namespace ostrel
#endif

#endif
