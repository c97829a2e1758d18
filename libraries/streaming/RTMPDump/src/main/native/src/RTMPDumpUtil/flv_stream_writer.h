// The FLV stream writer's state kept beside the connection record, and the
// publisher's own tag writer. RTMP_Write_v2 and RTMP_Write_fix are exported
// (RTMPDumpUtil.h).
#ifndef TAVREL_RTMPDUMPUTIL_FLV_STREAM_WRITER_H
#define TAVREL_RTMPDUMPUTIL_FLV_STREAM_WRITER_H

#include <librtmp/rtmp.h>

#include "Ostrel.h"

extern "C" {

/* "setDataFrame", in front of a script-data tag's body; the metadata body
 * begins with it too. */
extern const AVal av_setDataFrame;

/* Drops what RTMP_Write_fix keeps for r between calls (a tag header or
 * trailer in pieces, a tag body awaiting its data); called when the record
 * is released. Null does nothing. */
void flv_stream_writer_forget(RTMP *r);

}  // extern "C"

namespace tavrel {

struct MessageWriter;

/* RTMP_Write_v2 for the publisher: the same tag reading, header fields in
 * m_write, log lines and results (-2 aside: nothing is allocated), but the
 * tag's data goes out where it lies, through w. */
int write_flv_tag(MessageWriter *w, RTMP *r, const char *buff, int buff_len, Logger *logger);

}  // namespace tavrel

#endif
