// Test-only JNI entry points of tessora.testing.NativeMemory: native memory
// for JUnit tests, made with malloc so that the libraries under test may free
// what they are documented to free.
#include "Mirabe.h"

#include <jni.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned char kFill = 0xEE;  // NativeMemory.FILL: bytes nobody wrote

uint8_t *at(jlong addr) { return reinterpret_cast<uint8_t *>(static_cast<intptr_t>(addr)); }
jlong addr_of(const void *p) { return static_cast<jlong>(reinterpret_cast<intptr_t>(p)); }

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_tessora_testing_NativeMemory_alloc(JNIEnv *, jclass, jlong size)
{
    if (size < 0)
        return 0;
    void *p = std::malloc(size ? static_cast<size_t>(size) : 1);
    if (p)
        std::memset(p, kFill, size ? static_cast<size_t>(size) : 1);
    return addr_of(p);
}

JNIEXPORT jlong JNICALL Java_tessora_testing_NativeMemory_copyOf(JNIEnv *env, jclass, jbyteArray bytes)
{
    jsize len = env->GetArrayLength(bytes);
    void *p = std::malloc(len ? static_cast<size_t>(len) : 1);
    if (p)
        env->GetByteArrayRegion(bytes, 0, len, static_cast<jbyte *>(p));
    return addr_of(p);
}

JNIEXPORT void JNICALL Java_tessora_testing_NativeMemory_free(JNIEnv *, jclass, jlong addr)
{
    std::free(at(addr));
}

JNIEXPORT void JNICALL Java_tessora_testing_NativeMemory_write(JNIEnv *env, jclass, jlong addr, jbyteArray bytes)
{
    env->GetByteArrayRegion(bytes, 0, env->GetArrayLength(bytes), reinterpret_cast<jbyte *>(at(addr)));
}

JNIEXPORT jbyteArray JNICALL Java_tessora_testing_NativeMemory_read(JNIEnv *env, jclass, jlong addr, jint len)
{
    jbyteArray out = env->NewByteArray(len);
    if (out && len > 0)
        env->SetByteArrayRegion(out, 0, len, reinterpret_cast<const jbyte *>(at(addr)));
    return out;
}

JNIEXPORT jlong JNICALL Java_tessora_testing_NativeMemory_aacData(JNIEnv *, jclass, jlong buf, jint len)
{
    auto *data = static_cast<AACData *>(std::malloc(sizeof(AACData)));
    if (data) {
        data->buf = at(buf);
        data->len = len;
    }
    return addr_of(data);
}

JNIEXPORT jlong JNICALL Java_tessora_testing_NativeMemory_aacHeader(JNIEnv *, jclass, jlong buf, jint len)
{
    auto *header = static_cast<AACHeader *>(std::malloc(sizeof(AACHeader)));
    if (header) {
        header->buf = at(buf);
        header->len = static_cast<uint32_t>(len);
    }
    return addr_of(header);
}

}  // extern "C"
