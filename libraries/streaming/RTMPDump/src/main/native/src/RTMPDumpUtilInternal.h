/*
 * What the protocol layer's files share without exporting it. Each concern
 * declares its own in RTMPDumpUtil/ next to its source, and each source
 * includes the headers of the concerns it uses; this one gathers them all
 * for the tests and fuzz targets, which reach the internal routines
 * through the objects of the library (hidden in the shared library itself).
 */
#ifndef TAVREL_RTMPDUMPUTIL_INTERNAL_H
#define TAVREL_RTMPDUMPUTIL_INTERNAL_H

#include "RTMPDumpUtil.h"

#include "RTMPDumpUtil/address_dialer.h"
#include "RTMPDumpUtil/chunk_header.h"
#include "RTMPDumpUtil/chunk_writer.h"
#include "RTMPDumpUtil/connect_result.h"
#include "RTMPDumpUtil/connection.h"
#include "RTMPDumpUtil/counted_text.h"
#include "RTMPDumpUtil/flv_stream_writer.h"
#include "RTMPDumpUtil/invocation_queue.h"
#include "RTMPDumpUtil/link_open.h"
#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/publisher_auth.h"
#include "RTMPDumpUtil/read_guard.h"
#include "RTMPDumpUtil/server_commands.h"
#include "RTMPDumpUtil/socket_writer.h"
#include "RTMPDumpUtil/tls_session.h"
#include "RTMPDumpUtil/url_host.h"
#include "RTMPDumpUtil/url_options.h"
#include "RTMPDumpUtil/wire_output.h"

#include <stdarg.h>

extern "C" {

/* librtmp's log callback for the whole process: forwards its messages to
 * the global logger (tavrel_set_global_logger). Lives with the publisher's
 * logging; every connect installs it. */
void global_log_callback(int level, const char *fmt, va_list args);

}  // extern "C"

#endif
