// JNI entry points of tessora.utils.flv.Quorlen. Each one converts its Java
// arguments and calls the writer of the same name; none touches the JVM.
// Native buffers travel as Java longs holding their addresses.
#include "JniSupport.h"
#include "Quorlen.h"

using tavrel_jni::low32;

namespace {

// Addresses are not checked: the writers write wherever Java points them.
inline uint8_t *out_at(jlong addr) { return tavrel_jni::pointer_at<uint8_t>(addr); }
inline const uint8_t *in_at(jlong addr) { return tavrel_jni::pointer_at<const uint8_t>(addr); }

// Java has no unsigned int: a 32-bit unsigned result comes back
// zero-extended in a long.
inline jlong unsigned32(uint32_t v) { return static_cast<jlong>(v); }

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_tessora_utils_flv_Quorlen_composition_1time_1ms(JNIEnv *, jclass, jlong pts, jlong dts,
                                                                             jlong timebase_den)
{
    return unsigned32(composition_time_ms(pts, dts, static_cast<int32_t>(low32(timebase_den))));
}

JNIEXPORT jlong JNICALL Java_tessora_utils_flv_Quorlen_dts_1to_1elapsed_1ms(JNIEnv *, jclass, jlong dts,
                                                                            jlong dts_offset, jlong timebase_den)
{
    return unsigned32(dts_to_elapsed_ms(dts, dts_offset, static_cast<int32_t>(low32(timebase_den))));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_compute_1flv_1header_1len(JNIEnv *, jclass, jboolean is_audio,
                                                                               jboolean write_tag_header,
                                                                               jboolean is_seq_header,
                                                                               jboolean is_stripped,
                                                                               jboolean is_adts_or_annexb)
{
    return compute_flv_header_len(is_audio, write_tag_header, is_seq_header, is_stripped, is_adts_or_annexb);
}

JNIEXPORT jlong JNICALL Java_tessora_utils_flv_Quorlen_flv_1tag_1body_1len(JNIEnv *, jclass, jboolean is_audio,
                                                                           jboolean is_seq_header, jint payload_len)
{
    return unsigned32(flv_tag_body_len(is_audio, is_seq_header, payload_len));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1flv_1file_1header(JNIEnv *, jclass, jlong out_ptr,
                                                                              jboolean has_audio, jboolean has_video)
{
    return write_flv_header(out_at(out_ptr), has_audio, has_video);
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1flv_1tag_1header(JNIEnv *, jclass, jlong out_ptr,
                                                                             jboolean is_audio, jlong body_len,
                                                                             jlong elapsed_ts_ms)
{
    return write_flv_tag_header(out_at(out_ptr), is_audio, low32(body_len), low32(elapsed_ts_ms));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1flv_1prev_1tag_1size(JNIEnv *, jclass, jlong out_ptr,
                                                                                 jlong body_len)
{
    return write_flv_prev_tag_size(out_at(out_ptr), low32(body_len));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1flv_1audio_1tag_1header(
    JNIEnv *, jclass, jlong out_ptr, jboolean is_seq_header, jint sample_rate_i, jboolean is_sample_size_16_bit,
    jboolean is_stereo)
{
    return write_flv_audio_tag_header(out_at(out_ptr), is_seq_header, sample_rate_i, is_sample_size_16_bit,
                                      is_stereo);
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1flv_1video_1tag_1header(JNIEnv *, jclass, jlong out_ptr,
                                                                                    jboolean is_keyframe,
                                                                                    jboolean is_seq_header,
                                                                                    jlong composition_time_ms)
{
    return write_flv_video_tag_header(out_at(out_ptr), is_keyframe, is_seq_header,
                                      static_cast<int32_t>(low32(composition_time_ms)));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1audio_1config(JNIEnv *, jclass, jlong out_ptr,
                                                                          jboolean obj_type, jboolean sample_freq)
{
    return write_audio_config(out_at(out_ptr), obj_type, sample_freq);
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1adts(JNIEnv *, jclass, jlong out_ptr, jlong adts_ptr,
                                                                 jlong adts_len)
{
    return write_adts(out_at(out_ptr), in_at(adts_ptr), static_cast<int32_t>(low32(adts_len)));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1sps_1pps(JNIEnv *, jclass, jlong out_ptr, jlong sps_ptr,
                                                                     jlong sps_len, jlong pps_ptr, jlong pps_len)
{
    return write_sps_pps(out_at(out_ptr), in_at(sps_ptr), static_cast<size_t>(sps_len), in_at(pps_ptr),
                         static_cast<size_t>(pps_len));
}

JNIEXPORT jint JNICALL Java_tessora_utils_flv_Quorlen_write_1nalu(JNIEnv *, jclass, jlong out_ptr, jlong nal,
                                                                 jlong nal_len)
{
    return write_nalu(out_at(out_ptr), in_at(nal), static_cast<size_t>(nal_len));
}

}  // extern "C"
