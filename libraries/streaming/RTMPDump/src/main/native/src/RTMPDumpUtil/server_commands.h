// What the server's commands mean to a publisher that is connecting: a
// demand for publisher authentication, a refused publish, the properties of
// an info object. The commands have passed the read guard (read_guard.h)
// before they get here.
#ifndef TAVREL_RTMPDUMPUTIL_SERVER_COMMANDS_H
#define TAVREL_RTMPDUMPUTIL_SERVER_COMMANDS_H

#include <librtmp/amf.h>
#include <librtmp/rtmp.h>

extern "C" {

/* 1 when pkt is the server's _error answer to the client's connect on a
 * publishing connection, with the decoded command stored into *obj (the
 * caller resets it); otherwise 0 and *obj untouched. An _error that answers
 * another pending command removes that command from the queue. */
int needs_publisher_auth(RTMP *r, RTMPPacket *pkt, AMFObject *obj);

/* The string properties "code", "level" and "description" of the decoded
 * command's info object (value 3), empty when absent; 1, or 0 for a null
 * obj. The outputs point into the packet body. */
int get_response_obj_info_props(AMFObject *obj, AVal *code, AVal *level, AVal *description);

}  // extern "C"

namespace tavrel {

// An onStatus that refuses the publish ("NetStream.Publish.BadName" when
// the name is taken, ".Denied" ...), logged. librtmp lets those pass, so
// without this the connect would only end with the receive timeout.
bool is_publish_refusal(const RTMPPacket *pkt);

// What a command the server sends while we publish means for the publish.
enum class ServerVerdict {
    kGoOn,
    kPublishEnded,     // an onStatus error (NetStream.Publish.Failed ...): the stream is gone
    kConnectionEnded,  // NetConnection.Connect.Closed or the server's close
};

// Reads one command (passed by the read guard) received while publishing:
// an answer to a pending call takes that call off the queue; a status that
// ends the publish or the connection is logged and said so.
ServerVerdict read_server_command(RTMP *r, const RTMPPacket *pkt);

}  // namespace tavrel

#endif
