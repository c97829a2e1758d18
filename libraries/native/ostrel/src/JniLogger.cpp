// A Logger sink that forwards to a java.util.logging.Logger.
//
// The sink holds global references only, so it outlives the JNI call that
// made it and works on any thread: a Java thread uses its own JNIEnv, a
// native thread is attached for the length of one message. Before anything
// is formatted the Java logger is asked whether it wants the level, so a
// filtered message costs one isLoggable call and nothing else.
#include "JniSupport.h"
#include "OstrelJni.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct StandardLevel {
    int value;
    const char *name;
};

constexpr StandardLevel kLevels[] = {
    {OSTREL_FINEST, "FINEST"}, {OSTREL_FINER, "FINER"},     {OSTREL_FINE, "FINE"},
    {OSTREL_CONFIG, "CONFIG"}, {OSTREL_INFO, "INFO"},       {OSTREL_WARNING, "WARNING"},
    {OSTREL_SEVERE, "SEVERE"},
};
constexpr int kNumLevels = sizeof(kLevels) / sizeof(kLevels[0]);

struct JniSink {
    JavaVM *vm = nullptr;
    jobject logger = nullptr;      // global reference
    jclass level_class = nullptr;  // global reference
    jmethodID is_loggable = nullptr;
    jmethodID log = nullptr;
    jmethodID level_parse = nullptr;
    jobject levels[kNumLevels] = {};  // global references
};

// The JNIEnv of the current thread, attaching it when it is a native thread.
class ThreadEnv {
public:
    explicit ThreadEnv(JavaVM *vm) : vm_(vm)
    {
        jint rc = vm->GetEnv(reinterpret_cast<void **>(&env_), JNI_VERSION_1_6);
        if (rc == JNI_EDETACHED) {
            if (vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void **>(&env_), nullptr) == JNI_OK)
                attached_ = true;
            else
                env_ = nullptr;
        } else if (rc != JNI_OK) {
            env_ = nullptr;
        }
    }
    ~ThreadEnv()
    {
        if (attached_)
            vm_->DetachCurrentThread();
    }
    ThreadEnv(const ThreadEnv &) = delete;
    ThreadEnv &operator=(const ThreadEnv &) = delete;
    JNIEnv *get() const { return env_; }

private:
    JavaVM *vm_;
    JNIEnv *env_ = nullptr;
    bool attached_ = false;
};

// Our upcalls must neither lose an exception the caller has pending nor
// leave one of their own behind.
class ExceptionGuard {
public:
    explicit ExceptionGuard(JNIEnv *env) : env_(env)
    {
        pending_ = env->ExceptionOccurred();
        if (pending_)
            env->ExceptionClear();
    }
    ~ExceptionGuard()
    {
        tavrel_jni::clear_exception(env_);
        if (pending_) {
            env_->Throw(pending_);
            env_->DeleteLocalRef(pending_);
        }
    }
    ExceptionGuard(const ExceptionGuard &) = delete;
    ExceptionGuard &operator=(const ExceptionGuard &) = delete;

private:
    JNIEnv *env_;
    jthrowable pending_;
};

void release_refs(JNIEnv *env, JniSink *sink)
{
    for (jobject &level : sink->levels) {
        if (level)
            env->DeleteGlobalRef(level);
        level = nullptr;
    }
    if (sink->level_class)
        env->DeleteGlobalRef(sink->level_class);
    if (sink->logger)
        env->DeleteGlobalRef(sink->logger);
    sink->level_class = nullptr;
    sink->logger = nullptr;
}

void release_sink(void *context)
{
    auto *sink = static_cast<JniSink *>(context);
    ThreadEnv env(sink->vm);
    if (env.get()) {
        ExceptionGuard guard(env.get());
        release_refs(env.get(), sink);
    }
    delete sink;
}

// A local reference to the Level object for `level`; null on failure.
jobject level_object(JNIEnv *env, const JniSink *sink, int level)
{
    for (int i = 0; i < kNumLevels; i++)
        if (kLevels[i].value == level)
            return env->NewLocalRef(sink->levels[i]);
    char text[16];
    std::snprintf(text, sizeof text, "%d", level);
    jstring name = env->NewStringUTF(text);
    if (!name)
        return nullptr;
    jobject obj = env->CallStaticObjectMethod(sink->level_class, sink->level_parse, name);
    if (env->ExceptionCheck())
        return nullptr;
    return obj;
}

// Decodes UTF-8 into UTF-16; malformed bytes become U+FFFD, so whatever a
// server sent us can never upset the JVM's string conversion.
size_t utf8_to_utf16(const unsigned char *in, size_t len, jchar *out)
{
    size_t o = 0;
    for (size_t i = 0; i < len;) {
        unsigned c = in[i];
        unsigned cp;
        size_t need;
        if (c < 0x80) {
            out[o++] = static_cast<jchar>(c);
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            need = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            need = 3;
        } else {
            out[o++] = 0xFFFD;
            i++;
            continue;
        }
        size_t j = 1;
        for (; j <= need && i + j < len; j++) {
            unsigned cc = in[i + j];
            if ((cc & 0xC0) != 0x80)
                break;
            cp = (cp << 6) | (cc & 0x3F);
        }
        bool ok = j == need + 1;
        if (ok) {
            if ((need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
                ok = false;
        }
        if (!ok) {
            out[o++] = 0xFFFD;
            i += j;  // drop the lead byte and the continuation bytes it took
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[o++] = static_cast<jchar>(0xD800 + (cp >> 10));
            out[o++] = static_cast<jchar>(0xDC00 + (cp & 0x3FF));
        } else {
            out[o++] = static_cast<jchar>(cp);
        }
        i += need + 1;
    }
    return o;
}

void jni_log(void *context, int level, const char *fmt, va_list args)
{
    auto *sink = static_cast<JniSink *>(context);
    ThreadEnv thread_env(sink->vm);
    JNIEnv *env = thread_env.get();
    if (!env)
        return;
    ExceptionGuard guard(env);
    if (env->PushLocalFrame(4) != JNI_OK)
        return;

    jobject level_obj = level_object(env, sink, level);
    if (level_obj && env->CallBooleanMethod(sink->logger, sink->is_loggable, level_obj) &&
        !env->ExceptionCheck()) {
        char stack_text[1024];
        std::unique_ptr<char, decltype(&std::free)> heap_text(nullptr, &std::free);
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(stack_text, sizeof stack_text, fmt, copy);
        va_end(copy);
        const char *text = stack_text;
        if (n >= static_cast<int>(sizeof stack_text)) {
            heap_text.reset(static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1)));
            if (heap_text) {
                std::vsnprintf(heap_text.get(), static_cast<size_t>(n) + 1, fmt, args);
                text = heap_text.get();
            } else {
                n = sizeof stack_text - 1;  // send what fitted
            }
        }
        if (n >= 0) {
            size_t len = static_cast<size_t>(n);
            // A UTF-8 byte never yields more than one UTF-16 unit, and a
            // surrogate pair comes from four bytes.
            jchar stack_units[1024];
            std::unique_ptr<jchar, decltype(&std::free)> heap_units(nullptr, &std::free);
            jchar *units = stack_units;
            if (len > sizeof stack_units / sizeof stack_units[0]) {
                heap_units.reset(static_cast<jchar *>(std::malloc(len * sizeof(jchar))));
                units = heap_units.get();
            }
            if (units) {
                size_t count = utf8_to_utf16(reinterpret_cast<const unsigned char *>(text), len, units);
                jstring message = env->NewString(units, static_cast<jsize>(count));
                if (message)
                    env->CallVoidMethod(sink->logger, sink->log, level_obj, message);
            }
        }
    }
    env->PopLocalFrame(nullptr);
}

bool resolve(JNIEnv *env, jobject logger, JniSink *sink)
{
    jclass logger_class = env->FindClass("java/util/logging/Logger");
    if (!logger_class)
        return false;
    if (!env->IsInstanceOf(logger, logger_class))
        return false;
    sink->is_loggable = env->GetMethodID(logger_class, "isLoggable", "(Ljava/util/logging/Level;)Z");
    sink->log = env->GetMethodID(logger_class, "log", "(Ljava/util/logging/Level;Ljava/lang/String;)V");
    if (!sink->is_loggable || !sink->log)
        return false;

    jclass level_class = env->FindClass("java/util/logging/Level");
    if (!level_class)
        return false;
    sink->level_parse = env->GetStaticMethodID(level_class, "parse", "(Ljava/lang/String;)Ljava/util/logging/Level;");
    if (!sink->level_parse)
        return false;
    sink->level_class = static_cast<jclass>(env->NewGlobalRef(level_class));
    if (!sink->level_class)
        return false;
    for (int i = 0; i < kNumLevels; i++) {
        jfieldID field = env->GetStaticFieldID(level_class, kLevels[i].name, "Ljava/util/logging/Level;");
        if (!field)
            return false;
        jobject level = env->GetStaticObjectField(level_class, field);
        if (!level)
            return false;
        sink->levels[i] = env->NewGlobalRef(level);
        if (!sink->levels[i])
            return false;
    }
    sink->logger = env->NewGlobalRef(logger);
    return sink->logger != nullptr;
}

}  // namespace

extern "C" Logger *jni_logger(JNIEnv *env, jobject logger, int flags)
{
    (void)flags;
    if (!env || !logger)
        return nullptr;
    auto *sink = new (std::nothrow) JniSink;
    if (!sink)
        return nullptr;
    if (env->GetJavaVM(&sink->vm) != JNI_OK) {
        delete sink;
        return nullptr;
    }
    ExceptionGuard guard(env);
    bool ok = false;
    if (env->PushLocalFrame(16) == JNI_OK) {
        ok = resolve(env, logger, sink);
        env->PopLocalFrame(nullptr);
    }
    Logger *result = ok ? logger_new(sink, 0, jni_log, release_sink) : nullptr;
    if (!result) {
        release_refs(env, sink);
        delete sink;
    }
    return result;
}
