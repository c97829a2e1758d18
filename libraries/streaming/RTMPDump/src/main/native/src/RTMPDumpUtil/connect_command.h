// The client's connect command as a publisher sends it, for links that we
// open without librtmp's RTMP_Connect1.
#ifndef TAVREL_RTMPDUMPUTIL_CONNECT_COMMAND_H
#define TAVREL_RTMPDUMPUTIL_CONNECT_COMMAND_H

#include <librtmp/rtmp.h>

namespace tavrel {

// Sends connect with the link's application, flash version, SWF and tcUrl
// (the fields librtmp sends for a publishing link, and the URL's auth and
// conn options), queued to await its answer. false when it could not be
// written.
bool send_connect_command(RTMP *r);

}  // namespace tavrel

#endif
