// The Adts entry points against a stand-in JNIEnv: how arrays and buffers
// are taken, bounded and released, and where codes are reported.
#include "Adts.h"
#include "AdtsBytes.h"
#include "DirectBufferCase.h"
#include "FakeJni.h"

#include <gtest/gtest.h>

#include <climits>

extern "C" {
JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_frame_1len(JNIEnv *, jclass, jbyteArray, jint, jint);
JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_frame_1len_1direct(JNIEnv *, jclass, jobject, jint, jint);
JNIEXPORT jint JNICALL Java_tessora_media_aac_Adts_parse_1header(JNIEnv *, jclass, jbyteArray, jint, jint,
                                                                jintArray);
JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1header(JNIEnv *, jclass, jbyteArray, jint, jint,
                                                                jintArray);
JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1data(JNIEnv *, jclass, jbyteArray, jint, jint, jintArray);
JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_make_1data_1direct(JNIEnv *, jclass, jobject, jint, jint,
                                                                      jintArray);
JNIEXPORT jlong JNICALL Java_tessora_media_aac_Adts_data_1from_1raw(JNIEnv *, jclass, jbyteArray, jint, jint,
                                                                   jintArray);
JNIEXPORT void JNICALL Java_tessora_media_aac_Adts_free_1data(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_media_aac_Adts_free_1header(JNIEnv *, jclass, jlong);
}

using namespace fake_jni;

namespace {

const Bytes kFrame = adts(F().payload(5));  // 12 bytes

TEST(AdtsJni, ArrayIsHeldCriticallyAndReleasedWithoutCopyBack)
{
    Env env;
    Object data = bytes(kFrame);
    Object error = ints(1, 99);
    jlong d = Java_tessora_media_aac_Adts_make_1data(env.get(), nullptr, byte_ref(data), 0, 12, int_ref(error));
    ASSERT_NE(d, 0);
    EXPECT_EQ(error.ints[0], 0);
    EXPECT_EQ(env.state.taken, 1);
    EXPECT_EQ(reinterpret_cast<AACData *>(d)->len, 5);
    Java_tessora_media_aac_Adts_free_1data(env.get(), nullptr, d);
}

TEST(AdtsJni, RefusedArrayIsReportedAndItsExceptionCleared)
{
    Env env;
    Object data = bytes(kFrame);
    data.refuse = true;
    Object error = ints(1, 99);
    EXPECT_EQ(Java_tessora_media_aac_Adts_make_1header(env.get(), nullptr, byte_ref(data), 0, 12, int_ref(error)),
              0);
    EXPECT_EQ(error.ints[0], -8);
    EXPECT_EQ(Java_tessora_media_aac_Adts_frame_1len(env.get(), nullptr, byte_ref(data), 0, 12), -8);
    EXPECT_EQ(env.state.releases, 0) << "nothing to release";
}

TEST(AdtsJni, RangesAreBoundedBeforeTheArrayIsTaken)
{
    struct Case {
        jint offset, length, rc;
    } cases[] = {
        {0, 12, 12},         {0, 13, -9},       {-1, 5, -9}, {0, -1, -9},
        {12, 0, ADTSERR_TRUNCATED}, {13, 0, -9}, {1, INT_MAX, -9}, {INT_MAX, 1, -9},
        {INT_MIN, 0, -9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        Env env;
        Object data = bytes(kFrame);
        EXPECT_EQ(Java_tessora_media_aac_Adts_frame_1len(env.get(), nullptr, byte_ref(data), c.offset, c.length),
                  c.rc);
        EXPECT_EQ(env.state.taken, c.rc == -9 ? 0 : 1);
    }
    Env env;
    EXPECT_EQ(Java_tessora_media_aac_Adts_frame_1len(env.get(), nullptr, nullptr, 0, 0), ADTSERR_BAD_ARG);
}

TEST(AdtsJni, DirectBuffersNeedAnAddressAndACapacity)
{
    Bytes frame = kFrame;
    const tavrel_testing::DirectBufferCase cases[] = {
        {"whole frame", frame.data(), 12, 0, 12, 12},
        {"heap buffer (no address)", nullptr, 12, 0, 12, -10},
        {"no capacity", frame.data(), -1, 0, 12, -10},
        {"past the capacity", frame.data(), 11, 0, 12, -9},
        {"offset past the capacity", frame.data(), 12, 13, 0, -9},
        {"capacity beyond int", frame.data(), jlong{1} << 40, 0, 12, 12},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Env env;
        Object buf = buffer(c.address, c.capacity);
        EXPECT_EQ(Java_tessora_media_aac_Adts_frame_1len_1direct(env.get(), nullptr, ref(buf), c.offset, c.length),
                  c.rc);
        Object error = ints(1, 99);
        jlong d = Java_tessora_media_aac_Adts_make_1data_1direct(env.get(), nullptr, ref(buf), c.offset, c.length,
                                                                 int_ref(error));
        EXPECT_EQ(error.ints[0], c.rc > 0 ? 0 : c.rc);
        EXPECT_EQ(d != 0, c.rc > 0);
        Java_tessora_media_aac_Adts_free_1data(env.get(), nullptr, d);
    }
    Env env;
    EXPECT_EQ(Java_tessora_media_aac_Adts_frame_1len_1direct(env.get(), nullptr, nullptr, 0, 0), ADTSERR_BAD_ARG);
}

TEST(AdtsJni, OutArraysGetWhatFitsAndNoException)
{
    Env env;
    Object data = bytes(kFrame);
    for (size_t n : {0, 1, 3}) {
        Object error = ints(n, 99);
        EXPECT_EQ(Java_tessora_media_aac_Adts_data_1from_1raw(env.get(), nullptr, byte_ref(data), 0, 0,
                                                              int_ref(error)),
                  0);
        if (n > 0) {
            EXPECT_EQ(error.ints[0], ADTSERR_EMPTY);
        }
        for (size_t i = 1; i < n; ++i)
            EXPECT_EQ(error.ints[i], 99);
    }
    Object info3 = ints(3, -1);
    EXPECT_EQ(Java_tessora_media_aac_Adts_parse_1header(env.get(), nullptr, byte_ref(data), 0, 12, int_ref(info3)),
              0);
    EXPECT_EQ(info3.ints, (std::vector<jint>{12, 7, 5}));
    Object info20 = ints(20, -1);
    EXPECT_EQ(Java_tessora_media_aac_Adts_parse_1header(env.get(), nullptr, byte_ref(data), 0, 12, int_ref(info20)),
              0);
    EXPECT_EQ(info20.ints, (std::vector<jint>{12, 7, 5, 44100, 1024, 2, 4, 2, 0, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                              -1, -1}));
    Object untouched = ints(9, -1);
    EXPECT_EQ(Java_tessora_media_aac_Adts_parse_1header(env.get(), nullptr, byte_ref(data), 0, 11,
                                                        int_ref(untouched)),
              ADTSERR_FRAME_PAST_END);
    EXPECT_EQ(untouched.ints, std::vector<jint>(9, -1));
    Java_tessora_media_aac_Adts_free_1header(env.get(), nullptr, 0);
    Java_tessora_media_aac_Adts_free_1data(env.get(), nullptr, 0);
}

}  // namespace
