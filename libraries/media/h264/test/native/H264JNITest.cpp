// The H264 entry points against a stand-in JNIEnv: timing passed through
// to the records, ranges bounded before the array is taken, arrays released
// without copy-back, codes reported.
#include "DirectBufferCase.h"
#include "FakeJni.h"
#include "H264.h"

#include <gtest/gtest.h>

#include <climits>

#define MAKER_ARGS jint, jint, jboolean, jint, jint, jlong, jlong, jlong, jlong, jintArray
extern "C" {
JNIEXPORT jlong JNICALL Java_tessora_media_h264_H264_nalus_1from_1annexb(JNIEnv *, jclass, jbyteArray, MAKER_ARGS);
JNIEXPORT jlong JNICALL Java_tessora_media_h264_H264_payload_1from_1avcc(JNIEnv *, jclass, jbyteArray, MAKER_ARGS);
JNIEXPORT jlong JNICALL Java_tessora_media_h264_H264_nalus_1from_1avcc_1direct(JNIEnv *, jclass, jobject,
                                                                              MAKER_ARGS);
JNIEXPORT void JNICALL Java_tessora_media_h264_H264_free_1nalus(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_media_h264_H264_free_1payload(JNIEnv *, jclass, jlong);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_annexb_1au_1len(JNIEnv *, jclass, jbyteArray, jint, jint);
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1type(JNIEnv *, jclass, jlong, jint);
}

using namespace fake_jni;

namespace {

const std::vector<uint8_t> kAnnexB = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65, 0x88, 0x84};
const std::vector<uint8_t> kAvcc = {0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x06};

TEST(H264Jni, TimingReachesTheRecordUnchanged)
{
    Env env;
    Object data = bytes(kAnnexB);
    Object error = ints(1, 99);
    // A time base numerator above INT32_MAX arrives as a negative int.
    jlong r = Java_tessora_media_h264_H264_nalus_1from_1annexb(env.get(), nullptr, byte_ref(data), 0, 17, JNI_TRUE,
                                                               static_cast<jint>(3000000000u), 90000, 111, 222,
                                                               -333, INT64_MIN, int_ref(error));
    ASSERT_NE(r, 0);
    EXPECT_EQ(error.ints[0], 0);
    const NALUS *n = reinterpret_cast<const NALUS *>(r);
    EXPECT_EQ(n->timebase_num, 3000000000u);
    EXPECT_EQ(n->timebase_den, 90000u);
    EXPECT_EQ(n->pts, 111);
    EXPECT_EQ(n->dts, 222);
    EXPECT_EQ(n->fst_pts, -333);
    EXPECT_EQ(n->fst_dts, INT64_MIN);
    EXPECT_EQ(n->is_stripped, 1);
    EXPECT_EQ(n->is_keyframe, 1);
    EXPECT_EQ(n->num_nalu, 3);
    EXPECT_EQ(Java_tessora_media_h264_H264_nalus_1type(env.get(), nullptr, r, 1), NAL_TYPE_PPS);
    Java_tessora_media_h264_H264_free_1nalus(env.get(), nullptr, r);
}

TEST(H264Jni, ZeroDenominatorIsRefusedWithoutTakingTheArray)
{
    Env env;
    Object data = bytes(kAvcc);
    Object error = ints(1, 99);
    EXPECT_EQ(Java_tessora_media_h264_H264_payload_1from_1avcc(env.get(), nullptr, byte_ref(data), 0, 11,
                                                               JNI_FALSE, 1, 0, 0, 0, 0, 0, int_ref(error)),
              0);
    EXPECT_EQ(error.ints[0], H264ERR_BAD_ARG);
    EXPECT_EQ(env.state.taken, 0);
}

TEST(H264Jni, RangesAndRefusalsGiveCodes)
{
    struct Case {
        const char *name;
        jint offset, length;
        bool refuse;
        jint rc;
    } cases[] = {
        {"whole stream", 0, 17, false, 17},
        {"second unit on", 6, 11, false, 11},
        {"inside a unit", 5, 5, false, H264ERR_NO_START_CODE},
        {"one past the end", 0, 18, false, -9},
        {"offset past the end", 18, 0, false, -9},
        {"negative offset", -1, 2, false, -9},
        {"negative length", 2, -1, false, -9},
        {"sum overflowing int", 2, INT_MAX, false, -9},
        {"array refused", 0, 17, true, -8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Env env;
        Object data = bytes(kAnnexB);
        data.refuse = c.refuse;
        EXPECT_EQ(Java_tessora_media_h264_H264_annexb_1au_1len(env.get(), nullptr, byte_ref(data), c.offset,
                                                               c.length),
                  c.rc);
        Object error = ints(1, 99);
        jlong r = Java_tessora_media_h264_H264_nalus_1from_1annexb(env.get(), nullptr, byte_ref(data), c.offset,
                                                                   c.length, JNI_FALSE, 1, 1000, 0, 0, 0, 0,
                                                                   int_ref(error));
        EXPECT_EQ(r != 0, c.rc > 0);
        EXPECT_EQ(error.ints[0], c.rc > 0 ? 0 : c.rc);
        Java_tessora_media_h264_H264_free_1nalus(env.get(), nullptr, r);
    }
}

TEST(H264Jni, DirectBufferWithoutAddressIsNotDirect)
{
    std::vector<uint8_t> avcc = kAvcc;
    const tavrel_testing::DirectBufferCase cases[] = {
        {"direct", avcc.data(), 11, 0, 11, 0},
        {"second unit from its prefix", avcc.data(), 11, 6, 5, 0},
        {"heap buffer", nullptr, 11, 0, 11, -10},
        {"no capacity", avcc.data(), -1, 0, 11, -10},
        {"past the capacity", avcc.data(), 10, 0, 11, -9},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Env env;
        Object buf = buffer(c.address, c.capacity);
        Object error = ints(1, 99);
        jlong r = Java_tessora_media_h264_H264_nalus_1from_1avcc_1direct(env.get(), nullptr, ref(buf), c.offset,
                                                                         c.length, JNI_TRUE, 1, 1000, 0, 0, 0, 0,
                                                                         int_ref(error));
        EXPECT_EQ(error.ints[0], c.rc);
        EXPECT_EQ(r != 0, c.rc == 0);
        Java_tessora_media_h264_H264_free_1nalus(env.get(), nullptr, r);
    }
    Env env;
    Object error = ints(1, 99);
    EXPECT_EQ(Java_tessora_media_h264_H264_nalus_1from_1avcc_1direct(env.get(), nullptr, nullptr, 0, 0, JNI_TRUE, 1,
                                                                     1000, 0, 0, 0, 0, int_ref(error)),
              0);
    EXPECT_EQ(error.ints[0], H264ERR_BAD_ARG);
    Java_tessora_media_h264_H264_free_1payload(env.get(), nullptr, 0);
}

}  // namespace
