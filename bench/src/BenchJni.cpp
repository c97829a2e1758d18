// libtavrel_bench_jni: the native half of the JNI benchmark. Prepares the
// clip's records once (so that neither side pays for making them) and runs
// the C side of each comparison, with the same records, on the same kind of
// connection, timed with the same clock as the Java side.
#include "BenchClip.h"

#include "Mirabe.h"
#include "Tavrel.h"

#include <jni.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "H264.h"

#pragma weak tavrel_send_aac_header
#pragma weak tavrel_send_aac_data
#pragma weak tavrel_send_h264_header
#pragma weak tavrel_send_h264_nals

namespace {

enum Kind { kAacHeader = 0, kAacData = 1, kVideoHeader = 2, kVideoFrame = 3 };

struct Prepared {
    std::unique_ptr<bench::Clip> clip;
    std::vector<jint> kinds;
    std::vector<jlong> records, ts;
    std::vector<std::unique_ptr<AACHeader>> headers;
    std::vector<std::unique_ptr<AACData>> frames;
    std::vector<NALUS *> own_nalus;
    ~Prepared()
    {
        for (auto *n : own_nalus)
            h264_free_nalus(n);
    }
};
Prepared *prepared;

jlong thread_cpu_ns()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return jlong(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int send_one(RTMPDumpCtx *ctx, size_t i)
{
    void *rec = reinterpret_cast<void *>(prepared->records[i]);
    switch (prepared->kinds[i]) {
    case kAacHeader: {
        auto *h = static_cast<AACHeader *>(rec);
        return tavrel_send_aac_header(ctx, h->buf, h->len);
    }
    case kAacData: {
        auto *d = static_cast<AACData *>(rec);
        return tavrel_send_aac_data(ctx, d->buf, d->len, prepared->ts[i]);
    }
    case kVideoHeader:
        return tavrel_send_h264_header(ctx, static_cast<NALUS *>(rec));
    default:
        return tavrel_send_h264_nals(ctx, static_cast<NALUS *>(rec));
    }
}

jlongArray to_java(JNIEnv *env, const std::vector<jlong> &v)
{
    jlongArray a = env->NewLongArray(jsize(v.size()));
    if (a)
        env->SetLongArrayRegion(a, 0, jsize(v.size()), v.data());
    return a;
}

}  // namespace

extern "C" {

// Loads the clip and makes one record per send of `laps` laps (every video
// record stamped with its own lap's times). Returns the number of sends, or
// -1 when the clip cannot be used or the publisher is not there.
JNIEXPORT jint JNICALL Java_tessora_bench_BenchJni_prepare(JNIEnv *env, jclass, jstring path, jint laps)
{
    if (!&tavrel_send_aac_data || !&tavrel_send_h264_nals || !&tavrel_send_aac_header || !&tavrel_send_h264_header)
        return -1;
    const char *p = env->GetStringUTFChars(path, nullptr);
    if (!p)
        return -1;
    std::string flv(p);
    env->ReleaseStringUTFChars(path, p);
    delete prepared;
    prepared = new Prepared;
    try {
        prepared->clip = std::make_unique<bench::Clip>(flv);
    } catch (const std::exception &) {
        delete prepared;
        prepared = nullptr;
        return -1;
    }
    auto &msgs = prepared->clip->messages();
    for (const auto &s : bench::plan(*prepared->clip, laps)) {
        bench::Message &m = msgs[s.index];
        uint8_t *aac = const_cast<uint8_t *>(m.body()) + 2;
        jlong ts = m.seq_header ? 0 : jlong(m.ts_ms) + s.offset_ms;
        if (m.type == bench::kTagAudio && m.seq_header) {
            prepared->headers.push_back(std::make_unique<AACHeader>(AACHeader{aac, m.body_len() - 2}));
            prepared->kinds.push_back(kAacHeader);
            prepared->records.push_back(jlong(reinterpret_cast<intptr_t>(prepared->headers.back().get())));
        } else if (m.type == bench::kTagAudio) {
            prepared->frames.push_back(std::make_unique<AACData>(AACData{aac, int32_t(m.body_len() - 2)}));
            prepared->kinds.push_back(kAacData);
            prepared->records.push_back(jlong(reinterpret_cast<intptr_t>(prepared->frames.back().get())));
        } else if (m.seq_header) {
            prepared->kinds.push_back(kVideoHeader);
            prepared->records.push_back(jlong(reinterpret_cast<intptr_t>(m.nalus)));
        } else {
            H264Timing timing{1, 1000, ts + m.cts_ms, ts, 0, 0};
            NALUS *n = nullptr;
            if (h264_nalus_from_avcc(m.body() + 5, int32_t(m.body_len() - 5), 0, &timing, &n) != 0)
                return -1;
            n->is_keyframe = m.keyframe;
            prepared->own_nalus.push_back(n);
            prepared->kinds.push_back(kVideoFrame);
            prepared->records.push_back(jlong(reinterpret_cast<intptr_t>(n)));
        }
        prepared->ts.push_back(ts);
    }
    return jint(prepared->kinds.size());
}

JNIEXPORT jintArray JNICALL Java_tessora_bench_BenchJni_kinds(JNIEnv *env, jclass)
{
    jintArray a = env->NewIntArray(jsize(prepared->kinds.size()));
    if (a)
        env->SetIntArrayRegion(a, 0, jsize(prepared->kinds.size()), prepared->kinds.data());
    return a;
}
JNIEXPORT jlongArray JNICALL Java_tessora_bench_BenchJni_records(JNIEnv *env, jclass)
{
    return to_java(env, prepared->records);
}
JNIEXPORT jlongArray JNICALL Java_tessora_bench_BenchJni_timestamps(JNIEnv *env, jclass)
{
    return to_java(env, prepared->ts);
}
JNIEXPORT jlong JNICALL Java_tessora_bench_BenchJni_max_1audio(JNIEnv *, jclass)
{
    return prepared->clip->max_audio_len();
}
JNIEXPORT jlong JNICALL Java_tessora_bench_BenchJni_max_1video(JNIEnv *, jclass)
{
    return prepared->clip->max_video_len();
}
JNIEXPORT jlong JNICALL Java_tessora_bench_BenchJni_thread_1cpu_1ns(JNIEnv *, jclass) { return thread_cpu_ns(); }

// The C side of "full send": every prepared send on ctx; CPU ns of the
// loop, or -1 when a send failed.
JNIEXPORT jlong JNICALL Java_tessora_bench_BenchJni_send_1all_1c(JNIEnv *, jclass, jlong handle)
{
    auto *ctx = reinterpret_cast<RTMPDumpCtx *>(handle);
    jlong t0 = thread_cpu_ns();
    for (size_t i = 0; i < prepared->kinds.size(); ++i)
        if (send_one(ctx, i) != RTMPERR_OK)
            return -1;
    return thread_cpu_ns() - t0;
}

// The C side of "refused send": `count` AAC sends that the context refuses
// at once; CPU ns of the loop.
JNIEXPORT jlong JNICALL Java_tessora_bench_BenchJni_refused_1c(JNIEnv *, jclass, jlong handle, jlong data_addr,
                                                               jint count)
{
    auto *ctx = reinterpret_cast<RTMPDumpCtx *>(handle);
    auto *d = reinterpret_cast<AACData *>(data_addr);
    jlong t0 = thread_cpu_ns();
    for (jint i = 0; i < count; ++i)
        if (tavrel_send_aac_data(ctx, d->buf, d->len, 1000) != RTMPERR_RECONNECTING)
            return -1;
    return thread_cpu_ns() - t0;
}

// Marks the context as reconnecting (every send is then refused before it
// touches the connection), or back as connected.
JNIEXPORT void JNICALL Java_tessora_bench_BenchJni_set_1reconnecting(JNIEnv *, jclass, jlong handle, jboolean on)
{
    auto *ctx = reinterpret_cast<RTMPDumpCtx *>(handle);
    pthread_mutex_lock(&ctx->state_mutex);
    ctx->connection_state = on ? RTMP_CONN_RECONNECTING : RTMP_CONN_CONNECTED;
    pthread_mutex_unlock(&ctx->state_mutex);
}

}  // extern "C"
