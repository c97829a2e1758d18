// The stand-in JNIEnv of the bindings' native tests: what the real JVM
// cannot be made to do on demand (refuse a string or an array for want of
// memory, leave an exception pending), with a record of how the binding
// used what it was given. Java objects are Objects of this header: byte[]
// and int[] arrays, direct buffers and strings.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <cstring>
#include <string>
#include <vector>

namespace fake_jni {

struct Object {
    enum Kind { kBytes, kInts, kBuffer, kString } kind = kBytes;
    std::vector<jbyte> bytes;  // byte[]: the Java array's contents
    std::vector<jint> ints;
    void *address = nullptr;  // direct buffer
    jlong capacity = -1;
    std::string text;     // string
    bool refuse = false;  // the JVM cannot hand out the contents (out of memory)

    // The copy GetByteArrayElements handed out; Java sees it on release.
    std::vector<jbyte> elements;
};

inline Object bytes(const std::vector<uint8_t> &b)
{
    Object o;
    o.kind = Object::kBytes;
    o.bytes.assign(b.begin(), b.end());
    return o;
}
inline Object ints(size_t n, jint fill)
{
    Object o;
    o.kind = Object::kInts;
    o.ints.assign(n, fill);
    return o;
}
inline Object buffer(void *address, jlong capacity)
{
    Object o;
    o.kind = Object::kBuffer;
    o.address = address;
    o.capacity = capacity;
    return o;
}
inline Object string(const char *text)
{
    Object o;
    o.kind = Object::kString;
    o.text = text;
    return o;
}

constexpr jint kNotReleased = -100;

// What the binding did; one per test.
struct State {
    int taken = 0;     // strings, elements and arrays handed out
    int refused = 0;   // ... and refused
    int releases = 0;  // ... and given back
    jint last_release_mode = kNotReleased;
    int critical_depth = 0;
    int calls_in_critical = 0;  // JNI calls other than the release while held
    bool critical_written = false;
    bool critical_copied_back = false;
    bool pending = false;  // a Java exception is pending
    bool refuse_new_string = false;
    std::string made;  // the text of the last NewStringUTF
    Object made_string = string("");
};

inline State *g_state = nullptr;

inline Object *obj(jobject o) { return reinterpret_cast<Object *>(o); }

inline void note_call()
{
    if (g_state->critical_depth > 0)
        ++g_state->calls_in_critical;
    EXPECT_FALSE(g_state->pending) << "JNI call with an exception pending";
}

// True when the JVM hands the object's contents out; else an
// OutOfMemoryError is pending.
inline bool take(Object *o)
{
    if (o->refuse) {
        ++g_state->refused;
        g_state->pending = true;
        return false;
    }
    ++g_state->taken;
    return true;
}

inline void give_back(jint mode)
{
    ++g_state->releases;
    g_state->last_release_mode = mode;
}

inline jsize JNICALL get_array_length(JNIEnv *, jarray a)
{
    note_call();
    Object *o = obj(a);
    return static_cast<jsize>(o->kind == Object::kBytes ? o->bytes.size() : o->ints.size());
}

inline std::vector<jbyte> g_snapshot;

inline void *JNICALL get_critical(JNIEnv *, jarray a, jboolean *is_copy)
{
    note_call();
    Object *o = obj(a);
    if (!take(o))
        return nullptr;
    ++g_state->critical_depth;
    if (is_copy)
        *is_copy = JNI_FALSE;
    g_snapshot = o->bytes;
    o->bytes.reserve(1);  // a real pointer even for an empty array
    return o->bytes.data();
}

inline void JNICALL release_critical(JNIEnv *, jarray a, void *, jint mode)
{
    give_back(mode);
    --g_state->critical_depth;
    g_state->critical_written |= obj(a)->bytes != g_snapshot;
    g_state->critical_copied_back |= mode != JNI_ABORT;
}

inline jbyte *JNICALL get_elements(JNIEnv *, jbyteArray a, jboolean *is_copy)
{
    note_call();
    Object *o = obj(a);
    if (!take(o))
        return nullptr;
    if (is_copy)
        *is_copy = JNI_TRUE;
    o->elements = o->bytes;
    o->elements.reserve(1);  // like the JVM, a real pointer even for an empty array
    return o->elements.data();
}

inline void JNICALL release_elements(JNIEnv *, jbyteArray a, jbyte *elements, jint mode)
{
    Object *o = obj(a);
    EXPECT_EQ(elements, o->elements.data());
    give_back(mode);
    if (mode != JNI_ABORT)
        o->bytes = o->elements;
}

inline void JNICALL set_int_region(JNIEnv *, jintArray a, jsize start, jsize len, const jint *buf)
{
    note_call();
    Object *o = obj(a);
    if (start < 0 || len < 0 || static_cast<size_t>(start) + static_cast<size_t>(len) > o->ints.size()) {
        g_state->pending = true;  // ArrayIndexOutOfBoundsException
        return;
    }
    std::memcpy(o->ints.data() + start, buf, sizeof(jint) * static_cast<size_t>(len));
}

inline void *JNICALL direct_address(JNIEnv *, jobject b)
{
    note_call();
    return obj(b)->kind == Object::kBuffer ? obj(b)->address : nullptr;
}

inline jlong JNICALL direct_capacity(JNIEnv *, jobject b)
{
    note_call();
    return obj(b)->kind == Object::kBuffer ? obj(b)->capacity : -1;
}

inline const char *JNICALL get_utf(JNIEnv *, jstring s, jboolean *is_copy)
{
    EXPECT_EQ(is_copy, nullptr) << "is-copy is not asked for";
    note_call();
    Object *o = obj(s);
    if (!take(o))
        return nullptr;
    return strdup(o->text.c_str());
}

inline void JNICALL release_utf(JNIEnv *, jstring, const char *chars)
{
    give_back(0);
    free(const_cast<char *>(chars));
}

inline jstring JNICALL new_utf(JNIEnv *, const char *text)
{
    note_call();
    if (g_state->refuse_new_string) {
        g_state->pending = true;
        return nullptr;
    }
    g_state->made = text;
    return reinterpret_cast<jstring>(&g_state->made_string);
}

inline jboolean JNICALL exception_check(JNIEnv *)
{
    if (g_state->critical_depth > 0)
        ++g_state->calls_in_critical;
    return g_state->pending;
}
inline void JNICALL exception_clear(JNIEnv *) { g_state->pending = false; }

// The environment of one test: holds the state and checks at the end that
// nothing was left held or pending.
struct Env {
    JNINativeInterface_ table{};
    JNIEnv_ env{};
    State state;
    Env()
    {
        table.GetArrayLength = get_array_length;
        table.GetPrimitiveArrayCritical = get_critical;
        table.ReleasePrimitiveArrayCritical = release_critical;
        table.GetByteArrayElements = get_elements;
        table.ReleaseByteArrayElements = release_elements;
        table.SetIntArrayRegion = set_int_region;
        table.GetDirectBufferAddress = direct_address;
        table.GetDirectBufferCapacity = direct_capacity;
        table.GetStringUTFChars = get_utf;
        table.ReleaseStringUTFChars = release_utf;
        table.NewStringUTF = new_utf;
        table.ExceptionCheck = exception_check;
        table.ExceptionClear = exception_clear;
        env.functions = &table;
        g_state = &state;
    }
    ~Env()
    {
        EXPECT_EQ(state.taken, state.releases) << "something handed out was not given back";
        EXPECT_EQ(state.calls_in_critical, 0) << "JNI called inside the critical section";
        EXPECT_FALSE(state.pending) << "exception left pending";
        EXPECT_FALSE(state.critical_written) << "input written";
        EXPECT_FALSE(state.critical_copied_back) << "input released with copy-back";
        g_state = nullptr;
    }
    Env(const Env &) = delete;
    Env &operator=(const Env &) = delete;
    JNIEnv *operator->() { return &env; }
    JNIEnv *get() { return &env; }
};

template <typename T>
jobject ref(T &o)
{
    return reinterpret_cast<jobject>(&o);
}
inline jbyteArray byte_ref(Object &o) { return reinterpret_cast<jbyteArray>(&o); }
inline jintArray int_ref(Object &o) { return reinterpret_cast<jintArray>(&o); }
inline jstring string_ref(Object &o) { return reinterpret_cast<jstring>(&o); }

}  // namespace fake_jni
