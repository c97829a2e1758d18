// JNI entry points of tessora.media.aac.Adts: ADTS frames, bare configs and
// raw frames from a byte[] range or a direct ByteBuffer into AACHeader /
// AACData records held by Java as addresses, the frame splitter and header
// reader, and release through Mirabe. Stateless; no Java exception leaves
// these functions.
#include "Adts.h"
#include "JniInput.h"

#include <cstdint>

using namespace tavrel_media_jni;
using tavrel_jni::record_at;

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

template <typename JavaInput>
jint parse(JNIEnv *env, const Input<JavaInput> &input, jintArray info)
{
    AdtsFrameInfo fi;
    int rc = input([&](const uint8_t *data, int32_t len) { return adts_parse_header(data, len, &fi); });
    if (rc != ADTSERR_OK)
        return rc;
    const jint values[kInfoLen] = {
        fi.frame_len,   fi.header_len, fi.payload_len, fi.sample_rate,
        fi.samples,
        // The MPEG-4 object type, as the config written from it carries it.
        fi.config.audio_object_type + 1, fi.config.sample_frequency_index, fi.config.channel_configuration,
        fi.has_crc,
    };
    tavrel_jni::put_ints(env, info, values, kInfoLen);
    return rc;
}

}  // namespace

// A record maker over a byte[] range (JavaInput jbyteArray) or a direct
// ByteBuffer (jobject).
#define ADTS_MAKER(jname, JavaInput, Record, maker)                                                            \
    JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_##jname(JNIEnv *env, jclass, JavaInput data, jint offset, \
                                                              jint length, jintArray error)                    \
    {                                                                                                          \
        return make_record<Record>(env, input_of(env, data, offset, length), error, maker);                    \
    }

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
    return parse(env, input_of(env, data, offset, length), info);
}

JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_parse_1header_1direct(JNIEnv *env, jclass, jobject data,
                                                                        jint offset, jint length, jintArray info)
{
    return parse(env, input_of(env, data, offset, length), info);
}

ADTS_MAKER(make_1header, jbyteArray, AACHeader, adts_make_header)
ADTS_MAKER(make_1header_1direct, jobject, AACHeader, adts_make_header)
ADTS_MAKER(make_1data, jbyteArray, AACData, adts_make_data)
ADTS_MAKER(make_1data_1direct, jobject, AACData, adts_make_data)
ADTS_MAKER(header_1from_1config, jbyteArray, AACHeader, aac_header_from_config)
ADTS_MAKER(data_1from_1raw, jbyteArray, AACData, aac_data_from_raw)
ADTS_MAKER(data_1from_1raw_1direct, jobject, AACData, aac_data_from_raw)

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
