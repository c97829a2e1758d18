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
}  // namespace

extern "C" {
void *malloc(size_t size)
{
    if (counting)
        allocations++;
    return __libc_malloc(size);
}
void *calloc(size_t n, size_t size)
{
    if (counting)
        allocations++;
    return __libc_calloc(n, size);
}
void *realloc(void *p, size_t size)
{
    if (counting)
        allocations++;
    return __libc_realloc(p, size);
}
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

}  // namespace
