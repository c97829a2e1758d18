// The connect command: the same fields, in the same order, that servers
// get from librtmp for a publishing link, so that opening a link ourselves
// changes nothing they see.
#include "RTMPDumpUtil/connect_command.h"

#include "RTMPDumpUtil/counted_text.h"

#include <librtmp/log.h>

namespace tavrel {

namespace {

constexpr int kBodyMax = 4096;
constexpr int kCommandChannel = 3;

const AVal av_connect = AV_LITERAL("connect");
const AVal av_app = AV_LITERAL("app");
const AVal av_type = AV_LITERAL("type");
const AVal av_nonprivate = AV_LITERAL("nonprivate");
const AVal av_flashVer = AV_LITERAL("flashVer");
const AVal av_swfUrl = AV_LITERAL("swfUrl");
const AVal av_tcUrl = AV_LITERAL("tcUrl");
const AVal av_objectEncoding = AV_LITERAL("objectEncoding");

// The command object; null when it does not fit before end.
char *encode_object(const RTMP *r, char *enc, char *end)
{
    const RTMP_LNK &link = r->Link;
    *enc++ = AMF_OBJECT;
    enc = AMF_EncodeNamedString(enc, end, &av_app, &link.app);
    if (enc && (link.protocol & RTMP_FEATURE_WRITE))
        enc = AMF_EncodeNamedString(enc, end, &av_type, &av_nonprivate);
    if (enc && link.flashVer.av_len)
        enc = AMF_EncodeNamedString(enc, end, &av_flashVer, &link.flashVer);
    if (enc && link.swfUrl.av_len)
        enc = AMF_EncodeNamedString(enc, end, &av_swfUrl, &link.swfUrl);
    if (enc && link.tcUrl.av_len)
        enc = AMF_EncodeNamedString(enc, end, &av_tcUrl, &link.tcUrl);
    if (enc && (r->m_fEncoding != 0.0 || r->m_bSendEncoding))
        enc = AMF_EncodeNamedNumber(enc, end, &av_objectEncoding, r->m_fEncoding);
    if (!enc || end - enc < 3)
        return nullptr;
    *enc++ = 0;
    *enc++ = 0;
    *enc++ = AMF_OBJECT_END;
    return enc;
}

// What follows the object: the auth option's flag and text, the conn
// options' values.
char *encode_extras(const RTMP *r, char *enc, char *end)
{
    const RTMP_LNK &link = r->Link;
    if (link.auth.av_len) {
        enc = AMF_EncodeBoolean(enc, end, (link.lFlags & RTMP_LF_AUTH) != 0);
        if (enc)
            enc = AMF_EncodeString(enc, end, &link.auth);
    }
    for (int i = 0; enc && i < link.extras.o_num; i++)
        enc = AMFProp_Encode(&link.extras.o_props[i], enc, end);
    return enc;
}

}  // namespace

bool send_connect_command(RTMP *r)
{
    char buf[RTMP_MAX_HEADER_SIZE + kBodyMax];
    char *const body = buf + RTMP_MAX_HEADER_SIZE;
    char *const end = body + kBodyMax;
    char *enc = AMF_EncodeString(body, end, &av_connect);
    if (enc)
        enc = AMF_EncodeNumber(enc, end, ++r->m_numInvokes);
    if (enc && end - enc > 0)
        enc = encode_object(r, enc, end);
    if (enc)
        enc = encode_extras(r, enc, end);
    if (!enc) {
        RTMP_Log(RTMP_LOGERROR, "%s, the connect command does not fit in %d bytes", "connect_rtmp_w", kBodyMax);
        return false;
    }
    RTMPPacket packet = {};
    packet.m_nChannel = kCommandChannel;
    packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
    packet.m_packetType = RTMP_PACKET_TYPE_INVOKE;
    packet.m_body = body;
    packet.m_nBodySize = static_cast<uint32_t>(enc - body);
    return RTMP_SendPacket(r, &packet, TRUE) != 0;
}

}  // namespace tavrel
