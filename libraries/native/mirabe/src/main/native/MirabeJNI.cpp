// JNI entry points of tessora.utils.aac.Mirabe: read, print and release the
// AAC records that Java holds as native addresses. No Java exception ever
// leaves these functions; bad input is answered with -1.
#include "Mirabe.h"

#include <jni.h>

#include <cstdint>
#include <cstring>

namespace {

template <typename Record>
Record *record_at(jlong addr)
{
    return reinterpret_cast<Record *>(static_cast<intptr_t>(addr));
}

// A Logger for the Java logger object, or null; always given back with
// logger_release, which also drops the global reference it holds.
Logger *logger_for(JNIEnv *env, jobject logger) { return logger ? jni_logger(env, logger, 0) : nullptr; }

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_tessora_utils_aac_Mirabe_get_1len(JNIEnv *, jclass, jlong data_addr, jobject)
{
    const AACData *data = record_at<AACData>(data_addr);
    if (!data)
        return -1;
    return static_cast<jlong>(data->len);
}

// Copies min(array length, frame length) bytes and returns that count, so a
// longer array never makes us read past the frame. -1 (nothing copied) for a
// null record or array, a record whose length is negative or whose bytes are
// missing, and an array whose elements the JVM cannot hand out.
JNIEXPORT jint JNICALL Java_tessora_utils_aac_Mirabe_get_1data(JNIEnv *env, jclass, jlong data_addr,
                                                              jbyteArray buffer, jobject)
{
    const AACData *data = record_at<AACData>(data_addr);
    if (!data || !buffer || data->len < 0 || (!data->buf && data->len > 0))
        return -1;
    jsize array_len = env->GetArrayLength(buffer);
    jsize count = array_len < data->len ? array_len : data->len;
    jbyte *elements = env->GetByteArrayElements(buffer, nullptr);
    if (!elements) {
        if (env->ExceptionCheck())
            env->ExceptionClear();  // the -1 is the report
        return -1;
    }
    if (count > 0)
        std::memcpy(elements, data->buf, static_cast<size_t>(count));
    // Copy back only when something changed; otherwise drop the copy.
    env->ReleaseByteArrayElements(buffer, elements, count > 0 ? 0 : JNI_ABORT);
    return count;
}

JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1header(JNIEnv *env, jclass, jlong header_addr,
                                                                        jobject logger)
{
    Logger *log = logger_for(env, logger);
    pprint_aac_header(record_at<AACHeader>(header_addr), log);
    logger_release(log);
}

JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1data(JNIEnv *env, jclass, jlong data_addr,
                                                                      jobject logger)
{
    Logger *log = logger_for(env, logger);
    pprint_aac_data(record_at<AACData>(data_addr), log);
    logger_release(log);
}

JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_free_1aac_1header(JNIEnv *, jclass, jlong header_addr)
{
    free_aac_header(record_at<AACHeader>(header_addr));
}

JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_free_1aac_1data(JNIEnv *, jclass, jlong data_addr)
{
    free_aac_data(record_at<AACData>(data_addr));
}

}  // extern "C"
