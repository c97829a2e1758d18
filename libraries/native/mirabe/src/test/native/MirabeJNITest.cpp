// get_data and get_len against a stand-in JNIEnv: the array access the JVM
// gives (or refuses), and how the elements are released.
#include "FakeJni.h"
#include "Mirabe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
JNIEXPORT jlong JNICALL Java_tessora_utils_aac_Mirabe_get_1len(JNIEnv *, jclass, jlong, jobject);
JNIEXPORT jint JNICALL Java_tessora_utils_aac_Mirabe_get_1data(JNIEnv *, jclass, jlong, jbyteArray, jobject);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_free_1aac_1header(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_free_1aac_1data(JNIEnv *, jclass, jlong);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1header(JNIEnv *, jclass, jlong, jobject);
JNIEXPORT void JNICALL Java_tessora_utils_aac_Mirabe_pprint_1aac_1data(JNIEnv *, jclass, jlong, jobject);
}

using namespace fake_jni;

namespace {

constexpr jbyte kUntouched = 0x55;

jlong addr(const void *p) { return static_cast<jlong>(reinterpret_cast<intptr_t>(p)); }

TEST(MirabeJni, GetDataCopiesWhatBothSidesHold)
{
    struct Case {
        const char *what;
        int32_t frame_len;
        size_t array_len;
        bool null_buf;
        bool refuse;
        jint expected;
        int expected_release;
    } cases[] = {
        {"array as long as the frame", 371, 371, false, false, 371, 0},
        {"shorter array: its length", 371, 100, false, false, 100, 0},
        {"longer array: the frame's bytes only", 10, 64, false, false, 10, 0},
        {"empty frame", 0, 5, false, false, 0, JNI_ABORT},
        {"empty array", 5, 0, false, false, 0, JNI_ABORT},
        {"empty frame without bytes", 0, 5, true, false, 0, JNI_ABORT},
        {"negative frame length", -1, 5, false, false, -1, kNotReleased},
        {"bytes missing", 4, 5, true, false, -1, kNotReleased},
        {"the JVM refuses the elements", 371, 371, false, true, -1, kNotReleased},
    };
    for (const auto &c : cases) {
        // Exactly frame_len bytes of heap, so the sanitizer build catches any
        // read past them.
        size_t n = c.frame_len > 0 ? static_cast<size_t>(c.frame_len) : 0;
        uint8_t *buf = c.null_buf ? nullptr : static_cast<uint8_t *>(std::malloc(n ? n : 1));
        for (size_t i = 0; i < n && buf; i++)
            buf[i] = static_cast<uint8_t>(i * 7 + 1);
        AACData data = {buf, c.frame_len};
        Object array = bytes(std::vector<uint8_t>(c.array_len, static_cast<uint8_t>(kUntouched)));
        array.refuse = c.refuse;
        {
            // Checks, as it ends, that no Java exception leaves the call.
            Env env;
            jint got = Java_tessora_utils_aac_Mirabe_get_1data(env.get(), nullptr, addr(&data), byte_ref(array),
                                                               nullptr);
            EXPECT_EQ(got, c.expected) << c.what;
            EXPECT_EQ(env.state.last_release_mode, c.expected_release) << c.what;
            size_t copied = got > 0 ? static_cast<size_t>(got) : 0;
            for (size_t i = 0; i < array.bytes.size(); i++) {
                jbyte want = i < copied ? static_cast<jbyte>(buf[i]) : kUntouched;
                if (array.bytes[i] != want) {
                    ADD_FAILURE() << c.what << ": byte " << i;
                    break;
                }
            }
        }
        std::free(buf);
    }
}

TEST(MirabeJni, NullAddressesAreAnsweredNotFollowed)
{
    Env env;
    Object array = bytes(std::vector<uint8_t>(8, static_cast<uint8_t>(kUntouched)));
    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1data(env.get(), nullptr, 0, byte_ref(array), nullptr), -1);
    EXPECT_EQ(env.state.taken + env.state.refused, 0);
    uint8_t frame[4] = {1, 2, 3, 4};
    AACData data = {frame, 4};
    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1data(env.get(), nullptr, addr(&data), nullptr, nullptr), -1);

    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1len(nullptr, nullptr, 0, nullptr), -1);
    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1len(nullptr, nullptr, addr(&data), nullptr), 4);
    AACData negative = {frame, -7};
    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1len(nullptr, nullptr, addr(&negative), nullptr), -7)
        << "sign-extended";

    // Without a logger object the printers build no Logger and need no JVM.
    Java_tessora_utils_aac_Mirabe_pprint_1aac_1header(nullptr, nullptr, 0, nullptr);
    Java_tessora_utils_aac_Mirabe_pprint_1aac_1data(nullptr, nullptr, addr(&data), nullptr);
    Java_tessora_utils_aac_Mirabe_free_1aac_1header(nullptr, nullptr, 0);
    Java_tessora_utils_aac_Mirabe_free_1aac_1data(nullptr, nullptr, 0);
}

}  // namespace
