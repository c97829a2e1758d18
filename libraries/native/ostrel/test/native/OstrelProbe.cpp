// Test-only JNI entry points for exercising Ostrel from JUnit.
#include "JniSupport.h"
#include "OstrelJni.h"

#include <cstdint>
#include <string>
#include <thread>

namespace {

Logger *from_handle(jlong handle) { return tavrel_jni::record_at<Logger>(handle); }

std::string bytes_of(JNIEnv *env, jbyteArray text)
{
    jsize len = env->GetArrayLength(text);
    std::string s(static_cast<size_t>(len), '\0');
    env->GetByteArrayRegion(text, 0, len, reinterpret_cast<jbyte *>(&s[0]));
    return s;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_tessora_testing_ostrel_OstrelProbe_make(JNIEnv *env, jclass, jobject logger)
{
    return tavrel_jni::address_of(jni_logger(env, logger, 0));
}

JNIEXPORT void JNICALL Java_tessora_testing_ostrel_OstrelProbe_retain(JNIEnv *, jclass, jlong handle)
{
    logger_retain(from_handle(handle));
}

JNIEXPORT void JNICALL Java_tessora_testing_ostrel_OstrelProbe_release(JNIEnv *, jclass, jlong handle)
{
    logger_release(from_handle(handle));
}

// The bytes go through "%s", so the test controls exactly what the
// formatted message holds, malformed UTF-8 included.
JNIEXPORT void JNICALL Java_tessora_testing_ostrel_OstrelProbe_log(JNIEnv *env, jclass, jlong handle, jint level,
                                                                   jbyteArray text)
{
    std::string s = bytes_of(env, text);
    logger_log(from_handle(handle), level, "%s", s.c_str());
}

JNIEXPORT void JNICALL Java_tessora_testing_ostrel_OstrelProbe_logFromNativeThread(JNIEnv *env, jclass,
                                                                                   jlong handle, jint level,
                                                                                   jbyteArray text)
{
    std::string s = bytes_of(env, text);
    Logger *logger = from_handle(handle);
    std::thread([logger, level, s] { logger_log(logger, level, "%s", s.c_str()); }).join();
}

}  // extern "C"
