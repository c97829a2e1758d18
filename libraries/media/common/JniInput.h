// Read-only input bytes for the media JNI bindings: a range of a Java
// byte[] or of a direct ByteBuffer, bounds checked before anything is read,
// and the result codes the bindings add to their libraries' own. Nothing
// here raises or leaves a Java exception.
#pragma once

#include <jni.h>

#include <cstdint>

namespace tavrel_media_jni {

// Shared by both bindings (and their Java classes); the libraries' own codes
// use -1 for a bad argument and -8 for memory, and stay above -9.
constexpr int kErrBadArg = -1;    // null array or buffer object
constexpr int kErrNoMemory = -8;  // the JVM could not hand out the array
constexpr int kErrRange = -9;     // offset/length outside the array or buffer
constexpr int kErrNotDirect = -10;  // a heap (non-direct) buffer, or one without an address

// Runs fn(const uint8_t *data, int32_t len) on bytes [offset, offset + length)
// of the array, held with GetPrimitiveArrayCritical: fn must call no JNI
// function and not block. The array is released with JNI_ABORT (nothing
// written back). Returns fn's result, or one of the codes above.
template <typename Fn>
auto with_array(JNIEnv *env, jbyteArray array, jint offset, jint length, Fn fn) -> decltype(fn(nullptr, 0))
{
    using Result = decltype(fn(nullptr, 0));
    if (!array)
        return Result(kErrBadArg);
    jsize size = env->GetArrayLength(array);
    if (offset < 0 || length < 0 || offset > size || length > size - offset)
        return Result(kErrRange);
    void *base = env->GetPrimitiveArrayCritical(array, nullptr);
    if (!base) {
        if (env->ExceptionCheck())
            env->ExceptionClear();  // the code is the report
        return Result(kErrNoMemory);
    }
    Result r = fn(static_cast<const uint8_t *>(base) + offset, static_cast<int32_t>(length));
    env->ReleasePrimitiveArrayCritical(array, base, JNI_ABORT);
    return r;
}

// The same over a direct ByteBuffer. offset indexes the buffer's memory from
// its start, bounded by its capacity; position and limit are not consulted.
template <typename Fn>
auto with_direct(JNIEnv *env, jobject buffer, jint offset, jint length, Fn fn) -> decltype(fn(nullptr, 0))
{
    using Result = decltype(fn(nullptr, 0));
    if (!buffer)
        return Result(kErrBadArg);
    void *base = env->GetDirectBufferAddress(buffer);
    jlong capacity = env->GetDirectBufferCapacity(buffer);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return Result(kErrNotDirect);
    }
    if (!base || capacity < 0)
        return Result(kErrNotDirect);
    if (offset < 0 || length < 0 || offset > capacity || length > capacity - offset)
        return Result(kErrRange);
    return fn(static_cast<const uint8_t *>(base) + offset, static_cast<int32_t>(length));
}

// Stores code in error[0] when the caller gave an array with room for it.
inline void report(JNIEnv *env, jintArray error, jint code)
{
    if (!error || env->GetArrayLength(error) < 1)
        return;
    env->SetIntArrayRegion(error, 0, 1, &code);
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

template <typename Record>
Record *record_at(jlong addr)
{
    return reinterpret_cast<Record *>(static_cast<intptr_t>(addr));
}

inline jlong address_of(const void *p) { return static_cast<jlong>(reinterpret_cast<intptr_t>(p)); }

}  // namespace tavrel_media_jni
