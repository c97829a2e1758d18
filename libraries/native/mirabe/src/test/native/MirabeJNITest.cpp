// get_data and get_len against a stand-in JNIEnv: the array access the JVM
// gives (or refuses), and how the elements are released.
#include "Mirabe.h"

#include <gtest/gtest.h>
#include <jni.h>

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

namespace {

constexpr jbyte kUntouched = 0x55;
constexpr int kNotReleased = -100;

// A Java byte[] as the fake JVM sees it.
struct FakeArray {
    std::vector<jbyte> java;        // the array's contents
    std::vector<jbyte> elements;    // the copy handed out by GetByteArrayElements
    bool refuse = false;            // GetByteArrayElements fails (out of memory)
    bool exception_pending = false;
    int get_calls = 0;
    int release_mode = kNotReleased;
};

FakeArray *fake(jarray a) { return reinterpret_cast<FakeArray *>(a); }

jsize JNICALL get_array_length(JNIEnv *, jarray a) { return static_cast<jsize>(fake(a)->java.size()); }

jbyte *JNICALL get_elements(JNIEnv *, jbyteArray a, jboolean *is_copy)
{
    FakeArray *f = fake(a);
    f->get_calls++;
    if (f->refuse) {
        f->exception_pending = true;
        return nullptr;
    }
    if (is_copy)
        *is_copy = JNI_TRUE;
    f->elements = f->java;
    f->elements.reserve(1);  // like the JVM, a real pointer even for an empty array
    return f->elements.data();
}

void JNICALL release_elements(JNIEnv *, jbyteArray a, jbyte *elems, jint mode)
{
    FakeArray *f = fake(a);
    EXPECT_EQ(elems, f->elements.data());
    f->release_mode = mode;
    if (mode != JNI_ABORT)
        f->java = f->elements;
}

FakeArray *g_last_array = nullptr;  // for the exception calls, which get no array

jboolean JNICALL exception_check(JNIEnv *) { return g_last_array && g_last_array->exception_pending; }
void JNICALL exception_clear(JNIEnv *)
{
    if (g_last_array)
        g_last_array->exception_pending = false;
}

struct FakeEnv {
    JNINativeInterface_ table{};
    JNIEnv_ env{};
    FakeEnv()
    {
        table.GetArrayLength = get_array_length;
        table.GetByteArrayElements = get_elements;
        table.ReleaseByteArrayElements = release_elements;
        table.ExceptionCheck = exception_check;
        table.ExceptionClear = exception_clear;
        env.functions = &table;
    }
};

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
    FakeEnv env;
    for (const auto &c : cases) {
        // Exactly frame_len bytes of heap, so the sanitizer build catches any
        // read past them.
        size_t n = c.frame_len > 0 ? static_cast<size_t>(c.frame_len) : 0;
        uint8_t *buf = c.null_buf ? nullptr : static_cast<uint8_t *>(std::malloc(n ? n : 1));
        for (size_t i = 0; i < n && buf; i++)
            buf[i] = static_cast<uint8_t>(i * 7 + 1);
        AACData data = {buf, c.frame_len};
        FakeArray array;
        array.java.assign(c.array_len, kUntouched);
        array.refuse = c.refuse;
        g_last_array = &array;

        jint got = Java_tessora_utils_aac_Mirabe_get_1data(&env.env, nullptr, addr(&data),
                                                           reinterpret_cast<jbyteArray>(&array), nullptr);
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_EQ(array.release_mode, c.expected_release) << c.what;
        EXPECT_FALSE(array.exception_pending) << c.what << ": no Java exception may leave the call";
        size_t copied = got > 0 ? static_cast<size_t>(got) : 0;
        for (size_t i = 0; i < array.java.size(); i++) {
            jbyte want = i < copied ? static_cast<jbyte>(buf[i]) : kUntouched;
            if (array.java[i] != want) {
                ADD_FAILURE() << c.what << ": byte " << i;
                break;
            }
        }
        std::free(buf);
    }
    g_last_array = nullptr;
}

TEST(MirabeJni, NullAddressesAreAnsweredNotFollowed)
{
    FakeEnv env;
    FakeArray array;
    array.java.assign(8, kUntouched);
    g_last_array = &array;
    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1data(&env.env, nullptr, 0, reinterpret_cast<jbyteArray>(&array),
                                                      nullptr),
              -1);
    EXPECT_EQ(array.get_calls, 0);
    uint8_t frame[4] = {1, 2, 3, 4};
    AACData data = {frame, 4};
    EXPECT_EQ(Java_tessora_utils_aac_Mirabe_get_1data(&env.env, nullptr, addr(&data), nullptr, nullptr), -1);
    g_last_array = nullptr;

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
