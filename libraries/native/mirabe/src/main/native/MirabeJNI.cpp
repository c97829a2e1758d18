// JNI entry points of tessora.utils.aac.Mirabe: read, print and release the
// AAC records that Java holds as native addresses. No Java exception ever
// leaves these functions; bad input is answered with -1.
#include "JniSupport.h"
#include "Mirabe.h"
#include "OstrelJni.h"

#include <cstring>

using tavrel_jni::record_at;

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
    tavrel_jni::ScopedByteArrayWrite elements(env, buffer);
    if (!elements.get())
        return -1;
    if (count > 0) {
        std::memcpy(elements.get(), data->buf, static_cast<size_t>(count));
        elements.written();
    }
    return count;
}

JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1header(JNIEnv *env, jclass, jlong header_addr,
                                                                        jobject logger)
{
    ostrel::ScopedJniLogger log(env, logger);
    pprint_aac_header(record_at<AACHeader>(header_addr), log.get());
}

JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1data(JNIEnv *env, jclass, jlong data_addr,
                                                                      jobject logger)
{
    ostrel::ScopedJniLogger log(env, logger);
    pprint_aac_data(record_at<AACData>(data_addr), log.get());
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
