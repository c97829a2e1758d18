// Heap allocations per message, counted by interposing the C allocator for
// the sending thread only (the loopback reader thread allocates as it
// decodes). Not built with the sanitizers, which bring their own allocator.
#include "PublisherTesting.h"

#include <gtest/gtest.h>

#include <cstdio>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
thread_local long fail_at = 0;  // while counting: the allocation (1, 2, ...) that fails

bool allocation_fails()
{
    if (!counting)
        return false;
    return ++allocations == fail_at;
}
}  // namespace

extern "C" {
void *malloc(size_t size) { return allocation_fails() ? nullptr : __libc_malloc(size); }
void *calloc(size_t n, size_t size) { return allocation_fails() ? nullptr : __libc_calloc(n, size); }
void *realloc(void *p, size_t size) { return allocation_fails() ? nullptr : __libc_realloc(p, size); }
void free(void *p) { __libc_free(p); }
}

namespace {

// Sends a mix of AAC frames and access units (stripped NALUS, prefixed
// NALUS, payloads) no larger than the first round's; returns the
// allocations the second round made per message.
double allocations_per_message(int use_rtmp_write)
{
    LinkContext lc(use_rtmp_write, 0, 0, 100, 100);  // small: the first round grows the bodies
    // What a sink does with a line is the sink's business: count the
    // library alone.
    logger_release(lc.ctx->logger);
    lc.ctx->logger = nullptr;
    Bytes audio = pattern(700, 1);
    Units stripped, prefixed;
    for (size_t n : {900u, 30000u, 120u}) {
        stripped.add(NAL_TYPE_SLICE, pattern(n, 2));
        prefixed.add(NAL_TYPE_SLICE, as_stored(pattern(n, 3), 0));
    }
    NALUS s = stripped.record(1, 1, 1, 90000), p = prefixed.record(0, 0, 1, 90000);
    NALUPayload payload{};
    payload.data = prefixed.nalus[1].data;
    payload.len = prefixed.nalus[1].len;
    payload.timebase_num = 1;
    payload.timebase_den = 90000;

    long counted = 0, messages = 0;
    for (int round = 0; round < 2; round++) {
        counting = round == 1;
        allocations = 0;
        fail_at = 0;
        for (int i = 0; i < 200; i++) {
            int32_t len = 100 + (i * 37) % 600;
            s.dts = p.dts = payload.dts = i * 3000;
            s.pts = p.pts = payload.pts = i * 3000 + 6000;
            int rc[4] = {tavrel_send_aac_data(lc.ctx, audio.data(), len, i * 23), tavrel_send_h264_nals(lc.ctx, &s),
                         tavrel_send_h264_nals(lc.ctx, &p), tavrel_send_h264_nalu_payload(lc.ctx, &payload)};
            for (int r : rc)
                EXPECT_EQ(r, RTMPERR_OK);
            messages += round * 4;
        }
        counted = allocations;
        counting = false;
    }
    auto msgs = lc.finish();
    EXPECT_EQ(msgs.size(), 2u * 200 * 4);
    return double(counted) / double(messages);
}

TEST(Allocations, NonePerMessageInPacketModeOnceTheBodiesHaveGrown)
{
    double packet = allocations_per_message(0);
    double flv_write = allocations_per_message(1);
    std::printf("heap allocations per message: packet mode %.2f, FLV-write mode %.2f\n", packet, flv_write);
    EXPECT_EQ(packet, 0.0);
}

TEST(Allocations, AFailedAllocationIsAResultNotACrash)
{
    // Making a context: each of its allocations in turn fails.
    LoopbackLink link;
    tavrel::ContextSettings settings{0, 0, 0, 0, 100, 100};
    int made_at = 0;
    for (long n = 1; n < 20 && !made_at; n++) {
        char *url = strdup("rtmp://127.0.0.1/live/x");
        fail_at = n;
        allocations = 0;
        counting = true;
        RTMPDumpCtx *ctx = tavrel::context_new(link.rtmp(), url, nullptr, nullptr, settings, nullptr);
        counting = false;
        if (ctx) {
            made_at = static_cast<int>(n);
            ctx->rtmp = nullptr;
            tavrel_close(ctx);  // frees url too
        } else {
            std::free(url);  // still the caller's
        }
    }
    EXPECT_GT(made_at, 4) << "context, two packets, two bodies";

    // Growing a body.
    LinkContext lc(0, 0, 0, 100, 100);
    Bytes big = pattern(5000, 1);
    fail_at = 1;
    allocations = 0;
    counting = true;
    int rc = tavrel_send_aac_data(lc.ctx, big.data(), 5000, 0);
    counting = false;
    EXPECT_EQ(rc, RTMPERR_BUFF_TOO_LARGE);
    EXPECT_EQ(lc.ctx->a_body_max_len, 102u);
    EXPECT_TRUE(lc.log.contains(900, "cannot grow the audio body"));
    EXPECT_EQ(tavrel_send_aac_data(lc.ctx, big.data(), 5000, 0), RTMPERR_OK);
    EXPECT_EQ(lc.finish().size(), 1u);
}

}  // namespace
