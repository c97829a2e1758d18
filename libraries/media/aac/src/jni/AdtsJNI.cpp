// JNI entry points of tessora.media.aac.Adts: ADTS frames, bare configs and
// raw frames from a byte[] range or a direct ByteBuffer into AACHeader /
// AACData records held by Java as addresses, the frame splitter and header
// reader, and release through Mirabe. Stateless; no Java exception leaves
// these functions.
#include "Adts.h"
#include "JniInput.h"

#include <jni.h>

#include <cstdint>

using namespace tavrel_media_jni;

namespace {

// Adts.INFO_* indices.
enum InfoIndex {
    kInfoFrameLen,
    kInfoHeaderLen,
    kInfoPayloadLen,
    kInfoSampleRate,
    kInfoSamples,
    kInfoObjectType,
    kInfoFrequencyIndex,
    kInfoChannels,
    kInfoHasCrc,
    kInfoLen,
};

template <typename Record>
using Maker = int (*)(const uint8_t *, int32_t, Record **);

template <typename Record, typename Input>
jlong make(JNIEnv *env, Maker<Record> maker, Input input, jintArray error)
{
    Record *record = nullptr;
    int rc = input([&](const uint8_t *data, int32_t len) { return maker(data, len, &record); });
    report(env, error, rc);
    return rc == ADTSERR_OK ? address_of(record) : 0;
}

template <typename Input>
jint parse(JNIEnv *env, Input input, jintArray info)
{
    AdtsFrameInfo fi;
    int rc = input([&](const uint8_t *data, int32_t len) { return adts_parse_header(data, len, &fi); });
    if (rc != ADTSERR_OK || !info)
        return rc;
    jint values[kInfoLen] = {
        fi.frame_len,   fi.header_len, fi.payload_len, fi.sample_rate,
        fi.samples,
        // The MPEG-4 object type, as the config written from it carries it.
        fi.config.audio_object_type + 1, fi.config.sample_frequency_index, fi.config.channel_configuration,
        fi.has_crc,
    };
    jsize n = env->GetArrayLength(info);
    env->SetIntArrayRegion(info, 0, n < kInfoLen ? n : kInfoLen, values);
    if (env->ExceptionCheck())
        env->ExceptionClear();
    return rc;
}

}  // namespace

#define ADTS_ARRAY(env, data, offset, length) \
    [&](auto fn) { return with_array(env, data, offset, length, fn); }
#define ADTS_DIRECT(env, data, offset, length) \
    [&](auto fn) { return with_direct(env, data, offset, length, fn); }

extern "C" {

JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_frame_1len(JNIEnv *env, jclass, jbyteArray data, jint offset,
                                                             jint length)
{
    return with_array(env, data, offset, length, adts_frame_len);
}

JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_frame_1len_1direct(JNIEnv *env, jclass, jobject data,
                                                                     jint offset, jint length)
{
    return with_direct(env, data, offset, length, adts_frame_len);
}

JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_parse_1header(JNIEnv *env, jclass, jbyteArray data,
                                                                jint offset, jint length, jintArray info)
{
    return parse(env, ADTS_ARRAY(env, data, offset, length), info);
}

JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_parse_1header_1direct(JNIEnv *env, jclass, jobject data,
                                                                        jint offset, jint length, jintArray info)
{
    return parse(env, ADTS_DIRECT(env, data, offset, length), info);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1header(JNIEnv *env, jclass, jbyteArray data, jint offset,
                                                                jint length, jintArray error)
{
    return make<AACHeader>(env, adts_make_header, ADTS_ARRAY(env, data, offset, length), error);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1header_1direct(JNIEnv *env, jclass, jobject data,
                                                                        jint offset, jint length, jintArray error)
{
    return make<AACHeader>(env, adts_make_header, ADTS_DIRECT(env, data, offset, length), error);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1data(JNIEnv *env, jclass, jbyteArray data, jint offset,
                                                              jint length, jintArray error)
{
    return make<AACData>(env, adts_make_data, ADTS_ARRAY(env, data, offset, length), error);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1data_1direct(JNIEnv *env, jclass, jobject data,
                                                                      jint offset, jint length, jintArray error)
{
    return make<AACData>(env, adts_make_data, ADTS_DIRECT(env, data, offset, length), error);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_header_1from_1config(JNIEnv *env, jclass, jbyteArray config,
                                                                        jint offset, jint length, jintArray error)
{
    return make<AACHeader>(env, aac_header_from_config, ADTS_ARRAY(env, config, offset, length), error);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_data_1from_1raw(JNIEnv *env, jclass, jbyteArray raw,
                                                                   jint offset, jint length, jintArray error)
{
    return make<AACData>(env, aac_data_from_raw, ADTS_ARRAY(env, raw, offset, length), error);
}

JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_data_1from_1raw_1direct(JNIEnv *env, jclass, jobject raw,
                                                                           jint offset, jint length,
                                                                           jintArray error)
{
    return make<AACData>(env, aac_data_from_raw, ADTS_DIRECT(env, raw, offset, length), error);
}

JNIEXPORT void JNICALL Java_tessora_media_aac_Adts_free_1header(JNIEnv *, jclass, jlong header_addr)
{
    free_aac_header(record_at<AACHeader>(header_addr));
}

JNIEXPORT void JNICALL Java_tessora_media_aac_Adts_free_1data(JNIEnv *, jclass, jlong data_addr)
{
    free_aac_data(record_at<AACData>(data_addr));
}

// Bytes held by a record; -1 for address 0.
JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_header_1len(JNIEnv *, jclass, jlong header_addr)
{
    const AACHeader *h = record_at<AACHeader>(header_addr);
    return h ? static_cast<jint>(h->len) : -1;
}

JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_data_1len(JNIEnv *, jclass, jlong data_addr)
{
    const AACData *d = record_at<AACData>(data_addr);
    return d ? d->len : -1;
}

}  // extern "C"
