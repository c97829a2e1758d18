// Read-only input bytes for the media JNI bindings: a range of a Java
// byte[] or of a direct ByteBuffer, bounds checked before anything is read,
// the result codes the bindings add to their libraries' own, and the making
// of a record from such a range. Nothing here raises or leaves a Java
// exception.
#pragma once

#include "JniSupport.h"

#include <cstdint>
#include <type_traits>

namespace tavrel_media_jni {

// Shared by both bindings (and their Java classes); the libraries' own codes
// use -1 for a bad argument and -8 for memory, and stay above -9.
constexpr int kErrBadArg = -1;    // null array or buffer object
constexpr int kErrNoMemory = -8;  // the JVM could not hand out the array
constexpr int kErrRange = -9;     // offset/length outside the array or buffer
constexpr int kErrNotDirect = -10;  // a heap (non-direct) buffer, or one without an address

// Runs fn(const uint8_t *data, int32_t len) on bytes [offset, offset + length)
// of the array, held in place (tavrel_jni::ScopedCriticalRead): fn must call
// no JNI function and not block. Returns fn's result, or one of the codes
// above.
template <typename Fn>
auto with_array(JNIEnv *env, jbyteArray array, jint offset, jint length, Fn fn) -> decltype(fn(nullptr, 0))
{
    using Result = decltype(fn(nullptr, 0));
    if (!array)
        return Result(kErrBadArg);
    jsize size = env->GetArrayLength(array);
    if (offset < 0 || length < 0 || offset > size || length > size - offset)
        return Result(kErrRange);
    tavrel_jni::ScopedCriticalRead held(env, array);
    if (!held.get())
        return Result(kErrNoMemory);
    return fn(static_cast<const uint8_t *>(held.get()) + offset, static_cast<int32_t>(length));
}

// The same over a direct ByteBuffer. offset indexes the buffer's memory from
// its start, bounded by its capacity; position and limit are not consulted.
template <typename Fn>
auto with_direct(JNIEnv *env, jobject buffer, jint offset, jint length, Fn fn) -> decltype(fn(nullptr, 0))
{
    using Result = decltype(fn(nullptr, 0));
    const uint8_t *data = nullptr;
    switch (tavrel_jni::direct_range(env, buffer, offset, length, &data)) {
    case tavrel_jni::DirectRange::kOk:
        return fn(data, static_cast<int32_t>(length));
    case tavrel_jni::DirectRange::kNull:
        return Result(kErrBadArg);
    case tavrel_jni::DirectRange::kNotDirect:
        return Result(kErrNotDirect);
    case tavrel_jni::DirectRange::kOutOfRange:
        break;
    }
    return Result(kErrRange);
}

// One range of an entry point's input, array or direct buffer alike:
// input(fn) runs fn on it as with_array / with_direct do.
template <typename JavaInput>
struct Input {
    JNIEnv *env;
    JavaInput data;
    jint offset, length;

    template <typename Fn>
    auto operator()(Fn fn) const
    {
        if constexpr (std::is_same_v<JavaInput, jbyteArray>)
            return with_array(env, data, offset, length, fn);
        else
            return with_direct(env, data, offset, length, fn);
    }
};

template <typename JavaInput>
Input<JavaInput> input_of(JNIEnv *env, JavaInput data, jint offset, jint length)
{
    return {env, data, offset, length};
}

// Stores code in error[0] when the caller gave an array with room for it.
inline void report(JNIEnv *env, jintArray error, jint code) { tavrel_jni::put_ints(env, error, &code, 1); }

// A record made from one input by make(data, len, Record **out), which
// returns 0 or a negative code: the record's address, or 0 with the code in
// error[0] (0 on success).
template <typename Record, typename InputRange, typename Make>
jlong make_record(JNIEnv *env, const InputRange &input, jintArray error, Make make)
{
    Record *record = nullptr;
    int rc = input([&](const uint8_t *data, int32_t len) { return make(data, len, &record); });
    report(env, error, rc);
    return rc == 0 ? tavrel_jni::address_of(record) : 0;
}

}  // namespace tavrel_media_jni
