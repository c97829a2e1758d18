// The steps every media send goes through, shared by the audio and the
// video path: the input and state checks, the stream's body, the FLV
// framing of FLV-write mode, the send under rtmp_mutex and its verdict.
#ifndef TAVREL_SEND_H
#define TAVREL_SEND_H

#include "RTMPDumpUtil/message_writer.h"
#include "Tavrel.h"

namespace tavrel {

struct StateReading {
    RTMP_CONN state;
    int is_connected;
    int is_timedout;
};

// Every send begins so: the input checks (their verdict in input_check)
// come first and touch no lock, then the state, read once. RTMPERR_OK to
// go on.
int begin_send(RTMPDumpCtx *ctx, int input_check, StateReading *reading);

// The last lines of a stream's log block: the state the send began with.
void trace_state(Logger *logger, const StateReading &reading);

// The stream's body, grown to out_len; null (logged) when it cannot grow.
// Taken only after growing, which may move it.
uint8_t *stream_body(RTMPDumpCtx *ctx, int is_audio, uint32_t out_len);

// FLV-write mode frames the tag body: the tag header in front of it, the
// previous tag size behind it. Packet mode writes neither; both return the
// bytes written.
uint32_t put_tag_header(uint8_t *out, int use_rtmp_write, int is_audio, uint32_t body_len, uint32_t ts_ms);
uint32_t put_tag_trailer(uint8_t *out, int use_rtmp_write, uint32_t body_len);

// Hands the message on in the context's output mode; the send's RTMPERR.
// Packet mode: the slices are the message body, body_len bytes in all.
// FLV-write mode: one slice, the whole FLV tag with its trailer.
int dispatch(RTMPDumpCtx *ctx, int is_audio, int is_seq_header, uint32_t ts_ms, uint32_t body_len,
             const BodySlice *slices, int num_slices);

// Set Chunk Size (message type 1 on chunk stream 2) through the context's
// writer, then the connection's outgoing chunk size; the caller holds
// rtmp_mutex. 1 when it went out, else 0.
int send_chunk_size_locked(RTMPDumpCtx *ctx, int size);

// A look at what the server has sent, every whole message handled, without
// waiting; the caller holds rtmp_mutex. False once the server has ended the
// publish or the connection, or the publish was finished.
bool look_at_server_locked(RTMPDumpCtx *ctx);

// The verdict on a send that gave `status` (> 0 sent): RTMPERR_OK, or what
// the connection says now.
int classify_send(RTMPDumpCtx *ctx, int status);

// The line every send through the connection ends with, at level 900
// whatever the outcome: result is RTMP_SendPacket's or RTMP_Write_v2's.
void log_send_outcome(Logger *logger, int result);

}  // namespace tavrel

#endif
