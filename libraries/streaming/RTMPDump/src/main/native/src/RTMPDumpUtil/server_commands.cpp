// The server's commands, decoded and read for what the publisher has to do
// about them; everything else is librtmp's ordinary handling.
#include "RTMPDumpUtil/server_commands.h"

#include "RTMPDumpUtil/counted_text.h"
#include "RTMPDumpUtil/invocation_queue.h"
#include "RTMPDumpUtil/read_guard.h"

#include <librtmp/log.h>

#include <cstdlib>

namespace tavrel {

namespace {

const AVal av_connect = AV_LITERAL("connect");
const AVal av__error = AV_LITERAL("_error");
const AVal av_code = AV_LITERAL("code");
const AVal av_level = AV_LITERAL("level");
const AVal av_description = AV_LITERAL("description");
const AVal av_onStatus = AV_LITERAL("onStatus");

// A string property of a decoded object: empty when absent or not a string
// (librtmp's getters would reinterpret another type's value as a pointer).
AVal string_prop(AMFObject *obj, const AVal *name)
{
    AMFObjectProperty *prop = AMF_GetProp(obj, name, -1);
    if (!prop || prop->p_type != AMF_STRING)
        return AVal{nullptr, 0};
    return prop->p_vu.p_aval;
}

// Value `index` of a decoded command as an object, or null.
AMFObject *object_value(AMFObject *cmd, int index)
{
    if (!cmd || index >= cmd->o_num)
        return nullptr;
    AMFObjectProperty *prop = AMF_GetProp(cmd, nullptr, index);
    if (!prop || (prop->p_type != AMF_OBJECT && prop->p_type != AMF_ECMA_ARRAY))
        return nullptr;
    return &prop->p_vu.p_object;
}

// Value 0, the method name; empty when it is not a string.
AVal method_of(AMFObject *cmd)
{
    AMFObjectProperty *prop = cmd->o_num > 0 ? AMF_GetProp(cmd, nullptr, 0) : nullptr;
    return prop && prop->p_type == AMF_STRING ? prop->p_vu.p_aval : AVal{nullptr, 0};
}

// A command message decoded as a sequence of unnamed values, only once the
// read guard's grammar check has passed it.
bool decode_command(const RTMPPacket *pkt, AMFObject *cmd, bool is_logged)
{
    const char *body;
    int size;
    if (!command_body(pkt, &body, &size))
        return false;
    if (body[0] != AMF_STRING) {
        if (is_logged)
            RTMP_Log(RTMP_LOGWARNING, "%s, Sanity failed. no string method in invoke packet", "needs_publisher_auth");
        return false;
    }
    if (amf_check_command(body, size) < 0 || AMF_Decode(cmd, body, size, FALSE) < 0) {
        if (is_logged)
            RTMP_Log(RTMP_LOGERROR, "%s, error decoding invoke packet", "needs_publisher_auth");
        return false;
    }
    return true;
}

// The pending command that an _error answers, by its transaction number
// (value 1): its entry is taken off the queue and its name handed over, to
// be freed. False when none matches.
bool take_answered_call(RTMP *r, AMFObject *cmd, AVal *name)
{
    AMFObjectProperty *txn_prop = cmd->o_num > 1 ? AMF_GetProp(cmd, nullptr, 1) : nullptr;
    const bool has_txn = txn_prop && txn_prop->p_type == AMF_NUMBER;
    const double txn = has_txn ? txn_prop->p_vu.p_number : 0.0;
    for (int i = 0; has_txn && r->m_methodCalls && i < r->m_numCalls; i++) {
        if (static_cast<double>(r->m_methodCalls[i].num) == txn) {
            *name = r->m_methodCalls[i].name;
            AV_erase(r->m_methodCalls, &r->m_numCalls, i, 0);
            return true;
        }
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, received result id %f without matching request", "needs_publisher_auth", txn);
    return false;
}

void log_on_status_error(AMFObject *cmd)
{
    AVal code, level, description;
    get_response_obj_info_props(cmd, &code, &level, &description);
    RTMP_Log(RTMP_LOGDEBUG2, "onStatus:: code:%.*s, level:%.*s, description:%.*s", av_text_len(code), av_text(code),
             av_text_len(level), av_text(level), av_text_len(description), av_text(description));
}

}  // namespace

bool is_publish_refusal(const RTMPPacket *pkt)
{
    AMFObject cmd;
    if (!decode_command(pkt, &cmd, false))
        return false;
    bool refused = false;
    AMFObject *info = av_equals(method_of(&cmd), av_onStatus) ? object_value(&cmd, 3) : nullptr;
    if (info) {
        static const AVal av_error = AV_LITERAL("error");
        static const AVal av_publish = AV_LITERAL("NetStream.Publish.");
        const AVal code = string_prop(info, &av_code);
        refused = av_equals(string_prop(info, &av_level), av_error) && av_starts_with(code, av_publish);
        if (refused)
            RTMP_Log(RTMP_LOGERROR, "%s, server refused the publish: %.*s", "RTMP_ConnectStream_v2",
                     av_text_len(code), av_text(code));
    }
    AMF_Reset(&cmd);
    return refused;
}

ServerVerdict read_server_command(RTMP *r, const RTMPPacket *pkt)
{
    static const AVal av_result = AV_LITERAL("_result");
    static const AVal av_close = AV_LITERAL("close");
    static const AVal av_error = AV_LITERAL("error");
    static const AVal av_closed = AV_LITERAL("NetConnection.Connect.Closed");
    AMFObject cmd;
    if (!decode_command(pkt, &cmd, false))
        return ServerVerdict::kGoOn;
    ServerVerdict verdict = ServerVerdict::kGoOn;
    const AVal method = method_of(&cmd);
    if (av_equals(method, av_result) || av_equals(method, av__error)) {
        // An answer to something we asked (FCUnpublish, deleteStream, or a
        // late one from the connect): its entry leaves the queue.
        AVal name = {nullptr, 0};
        if (take_answered_call(r, &cmd, &name))
            std::free(name.av_val);
    } else if (av_equals(method, av_close)) {
        RTMP_Log(RTMP_LOGERROR, "%s, server closed the connection", "read_server");
        verdict = ServerVerdict::kConnectionEnded;
    } else if (AMFObject *info = av_equals(method, av_onStatus) ? object_value(&cmd, 3) : nullptr) {
        const AVal code = string_prop(info, &av_code);
        const bool is_closed = av_equals(code, av_closed);
        if (is_closed || av_equals(string_prop(info, &av_level), av_error)) {
            RTMP_Log(RTMP_LOGERROR, "%s, server ended the publish: %.*s", "read_server", av_text_len(code),
                     av_text(code));
            verdict = is_closed ? ServerVerdict::kConnectionEnded : ServerVerdict::kPublishEnded;
        }
    }
    AMF_Reset(&cmd);
    return verdict;
}

}  // namespace tavrel

using namespace tavrel;

extern "C" {

int get_response_obj_info_props(AMFObject *obj, AVal *code, AVal *level, AVal *description)
{
    if (!obj)
        return 0;
    AMFObject *info = object_value(obj, 3);
    const AVal empty = {nullptr, 0};
    if (code)
        *code = info ? string_prop(info, &av_code) : empty;
    if (level)
        *level = info ? string_prop(info, &av_level) : empty;
    if (description)
        *description = info ? string_prop(info, &av_description) : empty;
    return 1;
}

int needs_publisher_auth(RTMP *r, RTMPPacket *pkt, AMFObject *obj)
{
    if (!r || !pkt || !obj)
        return 0;
    AMFObject cmd;
    if (!decode_command(pkt, &cmd, true))
        return 0;
    const AVal method = method_of(&cmd);
    RTMP_Log(RTMP_LOGDEBUG, "%s, server invoking <%.*s>", "needs_publisher_auth", av_text_len(method),
             av_text(method));
    if (!av_equals(method, av__error)) {
        AMF_Reset(&cmd);
        return 0;
    }
    if (!(r->Link.protocol & RTMP_FEATURE_WRITE)) {
        RTMP_Log(RTMP_LOGERROR, "rtmp server sent error");
        AMF_Reset(&cmd);
        return 0;
    }
    AVal invoked;
    if (!take_answered_call(r, &cmd, &invoked)) {
        AMF_Reset(&cmd);
        return 0;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, received error for method call <%.*s>", "needs_publisher_auth",
             av_text_len(invoked), av_text(invoked));
    const bool is_connect = av_equals(invoked, av_connect);
    const bool is_on_status = av_equals(invoked, av_onStatus);
    std::free(invoked.av_val);
    if (is_on_status)
        log_on_status_error(&cmd);
    if (!is_connect) {
        AMF_Reset(&cmd);
        return 0;
    }
    *obj = cmd;
    return 1;
}

}  // extern "C"
