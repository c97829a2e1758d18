// Every binding that takes a record address answers one that cannot be a
// live record (0, or a negative value such as a code that travelled in the
// same long) with its "no record" result instead of following it.
#include "FakeJni.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

extern "C" {
JNIEXPORT jlong JNICALL Java_tessora_utils_aac_Mirabe_get_1len(JNIEnv *, jclass, jlong, jobject);
JNIEXPORT jint JNICALL Java_tessora_utils_aac_Mirabe_get_1data(JNIEnv *, jclass, jlong, jbyteArray, jobject);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1header(JNIEnv *, jclass, jlong, jobject);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1data(JNIEnv *, jclass, jlong, jobject);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_free_1aac_1header(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_free_1aac_1data(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_media_aac_Adts_free_1header(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_media_aac_Adts_free_1data(JNIEnv *, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_header_1len(JNIEnv *, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_data_1len(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_media_h264_H264_free_1nalus(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_media_h264_H264_free_1payload(JNIEnv *, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1num_1nalu(JNIEnv *, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1total_1len(JNIEnv *, jclass, jlong);
JNIEXPORT jboolean JNICALL Java_tessora_media_h264_H264_nalus_1is_1keyframe(JNIEnv *, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1type(JNIEnv *, jclass, jlong, jint);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1len(JNIEnv *, jclass, jlong, jint);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_payload_1len(JNIEnv *, jclass, jlong);
JNIEXPORT jboolean JNICALL Java_tessora_media_h264_H264_payload_1is_1keyframe(JNIEnv *, jclass, jlong);
}

using namespace fake_jni;

namespace {

// 0; -1 and -4, the failure and busy results reconnect_full hands out in
// the same long as a handle; the most negative long.
const jlong kNoRecord[] = {0, -1, -4, INT64_MIN};

template <typename Call>
struct Entry {
    const char *name;
    Call call;
};

// Runs check(address) for every address that cannot be a record, each in a
// stand-in JNIEnv that checks nothing was read or left pending.
template <typename Check>
void for_each_address(const char *name, Check check)
{
    for (jlong a : kNoRecord) {
        SCOPED_TRACE(std::string(name) + " at " + std::to_string(a));
        Env env;
        check(env.get(), a);
        EXPECT_EQ(0, env.state.taken + env.state.refused) << "nothing to read into";
    }
}

TEST(AbsentRecord, ReleasesDoNothing)
{
    const Entry<void (*)(JNIEnv *, jclass, jlong)> entries[] = {
        {"Mirabe.free_aac_header", Java_tessora_utils_aac_Mirabe_free_1aac_1header},
        {"Mirabe.free_aac_data", Java_tessora_utils_aac_Mirabe_free_1aac_1data},
        {"Adts.free_header", Java_tessora_media_aac_Adts_free_1header},
        {"Adts.free_data", Java_tessora_media_aac_Adts_free_1data},
        {"H264.free_nalus", Java_tessora_media_h264_H264_free_1nalus},
        {"H264.free_payload", Java_tessora_media_h264_H264_free_1payload},
    };
    for (const auto &e : entries)
        for_each_address(e.name, [&](JNIEnv *env, jlong a) { e.call(env, nullptr, a); });
}

TEST(AbsentRecord, ReadsAnswerMinusOneOrFalse)
{
    const Entry<jint (*)(JNIEnv *, jclass, jlong)> lengths[] = {
        {"Adts.header_len", Java_tessora_media_aac_Adts_header_1len},
        {"Adts.data_len", Java_tessora_media_aac_Adts_data_1len},
        {"H264.nalus_num_nalu", Java_tessora_media_h264_H264_nalus_1num_1nalu},
        {"H264.nalus_total_len", Java_tessora_media_h264_H264_nalus_1total_1len},
        {"H264.payload_len", Java_tessora_media_h264_H264_payload_1len},
    };
    for (const auto &e : lengths)
        for_each_address(e.name, [&](JNIEnv *env, jlong a) { EXPECT_EQ(-1, e.call(env, nullptr, a)); });

    const Entry<jint (*)(JNIEnv *, jclass, jlong, jint)> units[] = {
        {"H264.nalus_type", Java_tessora_media_h264_H264_nalus_1type},
        {"H264.nalus_len", Java_tessora_media_h264_H264_nalus_1len},
    };
    for (const auto &e : units)
        for_each_address(e.name, [&](JNIEnv *env, jlong a) { EXPECT_EQ(-1, e.call(env, nullptr, a, 0)); });

    const Entry<jboolean (*)(JNIEnv *, jclass, jlong)> flags[] = {
        {"H264.nalus_is_keyframe", Java_tessora_media_h264_H264_nalus_1is_1keyframe},
        {"H264.payload_is_keyframe", Java_tessora_media_h264_H264_payload_1is_1keyframe},
    };
    for (const auto &e : flags)
        for_each_address(e.name, [&](JNIEnv *env, jlong a) { EXPECT_EQ(JNI_FALSE, e.call(env, nullptr, a)); });
}

TEST(AbsentRecord, MirabeReadsAndPrintsDoNotFollowIt)
{
    for_each_address("Mirabe.get_len", [](JNIEnv *env, jlong a) {
        EXPECT_EQ(-1, Java_tessora_utils_aac_Mirabe_get_1len(env, nullptr, a, nullptr));
    });
    for_each_address("Mirabe.get_data", [](JNIEnv *env, jlong a) {
        Object array = bytes({1, 2, 3});
        EXPECT_EQ(-1, Java_tessora_utils_aac_Mirabe_get_1data(env, nullptr, a, byte_ref(array), nullptr));
    });
    // Without a logger object nothing is printed; the record is not looked at.
    for_each_address("Mirabe.pprint_*", [](JNIEnv *env, jlong a) {
        Java_tessora_utils_aac_Mirabe_pprint_1aac_1header(env, nullptr, a, nullptr);
        Java_tessora_utils_aac_Mirabe_pprint_1aac_1data(env, nullptr, a, nullptr);
    });
}

}  // namespace
