// What every JNI binding of ours does around the JNIEnv: Java strings and
// arrays held for exactly one scope, native records carried in a Java long,
// and the conversions the bindings share.
//
// No binding raises a Java exception. Where the JVM refuses something (a
// string or an array it cannot hand out for want of memory, an index out of
// range), the exception it leaves pending is cleared here: the binding's
// result code is the report, and the caller must be able to go on calling
// JNI functions.
#pragma once

#include <jni.h>

#include <cstdint>

namespace tavrel_jni {

inline void clear_exception(JNIEnv *env)
{
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

// The record at a handle, or null for 0 or less: no live record lives at
// such an address (0 is null, a negative value lies in kernel space on
// x86-64), and handles travel with negative codes in the same long.
template <typename Record>
Record *record_at(jlong addr)
{
    return addr > 0 ? reinterpret_cast<Record *>(static_cast<intptr_t>(addr)) : nullptr;
}

// Memory at an address the Java side vouches for, not checked: for writers
// that are told where to write and must not second-guess it.
template <typename T>
T *pointer_at(jlong addr)
{
    return reinterpret_cast<T *>(static_cast<intptr_t>(addr));
}

inline jlong address_of(const void *p) { return static_cast<jlong>(reinterpret_cast<intptr_t>(p)); }

// A Java long handed to a 32-bit field keeps its low 32 bits.
inline uint32_t low32(jlong v) { return static_cast<uint32_t>(static_cast<uint64_t>(v)); }

inline jboolean to_jboolean(bool v) { return v ? JNI_TRUE : JNI_FALSE; }

// A new Java string, or null (nothing pending) when the JVM refuses it.
inline jstring new_string_utf(JNIEnv *env, const char *text)
{
    jstring s = env->NewStringUTF(text);
    if (!s)
        clear_exception(env);
    return s;
}

// Stores values[0, count) at the start of the array, as many as fit; a null
// array is ignored.
inline void put_ints(JNIEnv *env, jintArray array, const jint *values, jsize count)
{
    if (!array || count <= 0)
        return;
    jsize room = env->GetArrayLength(array);
    jsize n = count < room ? count : room;
    if (n == 0)
        return;
    env->SetIntArrayRegion(array, 0, n, values);
    clear_exception(env);
}

// Where bytes [offset, offset + length) of a direct ByteBuffer lie, bounded
// by its capacity (its position and limit are not consulted). The memory
// stays valid while the caller holds the buffer, as a JNI argument does for
// the length of a call.
enum class DirectRange { kOk, kNull, kNotDirect, kOutOfRange };

inline DirectRange direct_range(JNIEnv *env, jobject buffer, jint offset, jint length, const uint8_t **data)
{
    if (!buffer)
        return DirectRange::kNull;
    void *base = env->GetDirectBufferAddress(buffer);
    jlong capacity = env->GetDirectBufferCapacity(buffer);
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return DirectRange::kNotDirect;
    }
    if (!base || capacity < 0)
        return DirectRange::kNotDirect;
    if (offset < 0 || length < 0 || offset > capacity || length > capacity - offset)
        return DirectRange::kOutOfRange;
    *data = static_cast<const uint8_t *>(base) + offset;
    return DirectRange::kOk;
}

// A Java string as modified UTF-8 for one scope. A null jstring is a null C
// string and counts as converted; a non-null one the JVM could not convert
// leaves ok() false.
class ScopedUtfChars {
public:
    ScopedUtfChars(JNIEnv *env, jstring s) : env_(env), s_(s)
    {
        if (!s_)
            return;
        chars_ = env_->GetStringUTFChars(s_, nullptr);
        if (!chars_)
            clear_exception(env_);
    }
    ~ScopedUtfChars()
    {
        if (chars_)
            env_->ReleaseStringUTFChars(s_, chars_);
    }
    ScopedUtfChars(const ScopedUtfChars &) = delete;
    ScopedUtfChars &operator=(const ScopedUtfChars &) = delete;

    bool ok() const { return !s_ || chars_; }
    const char *c_str() const { return chars_; }

private:
    JNIEnv *env_;
    jstring s_;
    const char *chars_ = nullptr;
};

// A primitive array read in place for one scope (GetPrimitiveArrayCritical):
// while it is held, no other JNI function may be called and the thread must
// not block. Nothing is written back (JNI_ABORT). get() is null when the JVM
// refused the array.
class ScopedCriticalRead {
public:
    ScopedCriticalRead(JNIEnv *env, jarray array) : env_(env), array_(array)
    {
        base_ = env_->GetPrimitiveArrayCritical(array_, nullptr);
        if (!base_)
            clear_exception(env_);
    }
    ~ScopedCriticalRead()
    {
        if (base_)
            env_->ReleasePrimitiveArrayCritical(array_, base_, JNI_ABORT);
    }
    ScopedCriticalRead(const ScopedCriticalRead &) = delete;
    ScopedCriticalRead &operator=(const ScopedCriticalRead &) = delete;

    const void *get() const { return base_; }

private:
    JNIEnv *env_;
    jarray array_;
    void *base_;
};

// The elements of a Java byte[] to fill for one scope. They are copied back
// into the array only once written() says something was stored; otherwise
// the JVM's copy is dropped (JNI_ABORT). get() is null when the JVM refused
// the elements.
class ScopedByteArrayWrite {
public:
    ScopedByteArrayWrite(JNIEnv *env, jbyteArray array) : env_(env), array_(array)
    {
        elements_ = env_->GetByteArrayElements(array_, nullptr);
        if (!elements_)
            clear_exception(env_);
    }
    ~ScopedByteArrayWrite()
    {
        if (elements_)
            env_->ReleaseByteArrayElements(array_, elements_, written_ ? 0 : JNI_ABORT);
    }
    ScopedByteArrayWrite(const ScopedByteArrayWrite &) = delete;
    ScopedByteArrayWrite &operator=(const ScopedByteArrayWrite &) = delete;

    jbyte *get() const { return elements_; }
    void written() { written_ = true; }

private:
    JNIEnv *env_;
    jbyteArray array_;
    jbyte *elements_;
    bool written_ = false;
};

}  // namespace tavrel_jni
