// The FLV stream writer's state kept beside the connection record.
// RTMP_Write_v2 and RTMP_Write_fix are exported (RTMPDumpUtil.h).
#ifndef TAVREL_RTMPDUMPUTIL_FLV_STREAM_WRITER_H
#define TAVREL_RTMPDUMPUTIL_FLV_STREAM_WRITER_H

#include <librtmp/rtmp.h>

extern "C" {

/* "setDataFrame", in front of a script-data tag's body; the metadata body
 * begins with it too. */
extern const AVal av_setDataFrame;

/* Drops what RTMP_Write_fix keeps for r between calls (a tag header or
 * trailer in pieces, a tag body awaiting its data); called when the record
 * is released. Null does nothing. */
void flv_stream_writer_forget(RTMP *r);

}  // extern "C"

#endif
