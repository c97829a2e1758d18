// A stand-in JNIEnv for the media bindings' glue tests: byte[] and int[]
// arrays, direct buffers, the critical section and pending exceptions, with
// a record of how the binding used them.
#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <cstring>
#include <vector>

namespace fake_jni {

struct Object {
    enum Kind { kBytes, kInts, kBuffer } kind;
    std::vector<jbyte> bytes;
    std::vector<jint> ints;
    void *address = nullptr;  // direct buffer
    jlong capacity = -1;
};

inline Object bytes(std::vector<uint8_t> b)
{
    Object o{Object::kBytes, {}, {}, nullptr, -1};
    o.bytes.assign(b.begin(), b.end());
    return o;
}
inline Object ints(size_t n, jint fill)
{
    Object o{Object::kInts, {}, std::vector<jint>(n, fill), nullptr, -1};
    return o;
}
inline Object buffer(void *address, jlong capacity)
{
    Object o{Object::kBuffer, {}, {}, address, capacity};
    return o;
}

// What the binding did; one per test.
struct State {
    bool refuse_critical = false;  // GetPrimitiveArrayCritical fails (out of memory)
    bool pending = false;          // a Java exception is pending
    int critical_depth = 0;
    int criticals = 0, releases = 0;
    jint last_release_mode = -100;
    int calls_in_critical = 0;  // JNI calls other than the release while held
    bool bytes_changed = false;
};

inline State *g_state = nullptr;

inline Object *obj(jobject o) { return reinterpret_cast<Object *>(o); }

inline void note_call()
{
    if (g_state->critical_depth > 0)
        ++g_state->calls_in_critical;
    EXPECT_FALSE(g_state->pending) << "JNI call with an exception pending";
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
    ++g_state->criticals;
    if (g_state->refuse_critical) {
        g_state->pending = true;
        return nullptr;
    }
    ++g_state->critical_depth;
    if (is_copy)
        *is_copy = JNI_FALSE;
    Object *o = obj(a);
    g_snapshot = o->bytes;
    o->bytes.reserve(1);  // a real pointer even for an empty array
    return o->bytes.data();
}

inline void JNICALL release_critical(JNIEnv *, jarray a, void *, jint mode)
{
    ++g_state->releases;
    --g_state->critical_depth;
    g_state->last_release_mode = mode;
    g_state->bytes_changed |= obj(a)->bytes != g_snapshot;
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
        table.SetIntArrayRegion = set_int_region;
        table.GetDirectBufferAddress = direct_address;
        table.GetDirectBufferCapacity = direct_capacity;
        table.ExceptionCheck = exception_check;
        table.ExceptionClear = exception_clear;
        env.functions = &table;
        g_state = &state;
    }
    ~Env()
    {
        EXPECT_EQ(state.critical_depth, 0) << "array left held";
        EXPECT_EQ(state.criticals - (state.refuse_critical ? state.criticals : 0), state.releases);
        EXPECT_EQ(state.calls_in_critical, 0) << "JNI called inside the critical section";
        EXPECT_FALSE(state.pending) << "exception left pending";
        EXPECT_FALSE(state.bytes_changed) << "input written";
        if (state.releases > 0) {
            EXPECT_EQ(state.last_release_mode, JNI_ABORT);
        }
        g_state = nullptr;
    }
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

}  // namespace fake_jni
