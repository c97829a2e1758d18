// Stream connection: sets librtmp up as a live encoder, connects, waits for
// the publish and answers a publisher-authentication demand by rewriting the
// application name and tcUrl and connecting again; the stream reconnection
// and the release of the record.
#include "RTMPDumpUtil/connection.h"

#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/counted_text.h"
#include "RTMPDumpUtil/flv_stream_writer.h"
#include "RTMPDumpUtil/link_texts.h"
#include "RTMPDumpUtil/publisher_auth.h"
#include "RTMPDumpUtil/read_guard.h"
#include "RTMPDumpUtil/server_commands.h"

#include <gnutls/gnutls.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

using namespace tavrel;

namespace {

// Both schemes need two token rounds; a server that keeps challenging past
// this is not going to accept, and every round makes the application name
// longer.
constexpr int kMaxAuthRounds = 3;

constexpr int kDefaultTimeoutS = 30;

// What the read loop does with a message: go on reading, or end with a
// result.
constexpr int kGoOn = INT_MIN;

// The credentials and the state of one connect's authentication.
struct AuthRound {
    AVal *username;
    AVal *password;
    int *is_uri_alloc;
    int *is_need_reconnect;
    // Only while connecting: a reconnection of the stream has no connect
    // waiting for its answer.
    bool may_authenticate;
};

// A send to a server that has stopped reading must fail rather than block
// the sending thread until the kernel gives up on the peer.
void set_send_timeout(RTMP *r)
{
    if (r->m_sb.sb_socket < 0)
        return;
    struct timeval tv = {};
    tv.tv_sec = r->Link.timeout > 0 ? r->Link.timeout : kDefaultTimeoutS;
    if (setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        RTMP_Log(RTMP_LOGWARNING, "%s, could not set a send timeout", "connect_rtmp_w");
}

bool is_media(const RTMPPacket &packet)
{
    return packet.m_packetType == RTMP_PACKET_TYPE_AUDIO || packet.m_packetType == RTMP_PACKET_TYPE_VIDEO ||
           packet.m_packetType == RTMP_PACKET_TYPE_INFO;
}

// The server demands publisher authentication: the token goes onto the
// application name and tcUrl for the next connect. 0 with the reconnection
// asked for, or the authentication's failure.
int answer_auth_demand(RTMP *r, AMFObject *obj, const AuthRound &auth)
{
    RTMP_Log(RTMP_LOGDEBUG, "--- 2");
    AVal code, level, description;
    get_response_obj_info_props(obj, &code, &level, &description);
    RTMP_Log(RTMP_LOGDEBUG, "%s, error description: %.*s", "RTMP_ConnectStream_v2", av_text_len(description),
             av_text(description));
    AVal pub_token = {nullptr, 0};
    // The description points into the packet body, not into obj.
    const int ret = PublisherAuth_v2(r, &description, auth.username, auth.password, &pub_token);
    AMF_Reset(obj);
    if (ret <= 0)
        return ret;
    link_texts_append_token(r, pub_token, auth.is_uri_alloc);
    std::free(pub_token.av_val);
    *auth.is_need_reconnect = 1;
    return 0;
}

// One whole message read before the publish has started.
int handle_message(RTMP *r, RTMPPacket *packet, const ServerReadGuard &guard, const AuthRound &auth)
{
    if (is_media(*packet)) {
        RTMP_Log(RTMP_LOGWARNING, "Received FLV packet before play()! Ignoring.");
        return kGoOn;
    }
    if (!guard.admits(packet))
        return kGoOn;
    if (is_publish_refusal(packet))
        return 0;
    AMFObject obj;
    if (!needs_publisher_auth(r, packet, &obj)) {
        RTMP_ClientPacket(r, packet);
        return kGoOn;
    }
    if (!auth.may_authenticate) {
        AMF_Reset(&obj);
        return 0;
    }
    return answer_auth_demand(r, &obj, auth);
}

// Reads and handles server messages until the publish has started.
int read_until_published(RTMP *r, const char *caller, const AuthRound &auth)
{
    r->m_mediaChannel = 0;
    RTMPPacket packet = {};
    // Progress markers; librtmp drops them at the level every connect sets.
    RTMP_Log(RTMP_LOGDEBUG, "--- 0");

    ServerReadGuard guard(r, caller);
    int result = kGoOn;
    while (result == kGoOn && !r->m_bPlaying && RTMP_IsConnected(r) && guard.read(&packet)) {
        RTMP_Log(RTMP_LOGDEBUG, "--- 1");
        if (RTMPPacket_IsReady(&packet) && packet.m_nBodySize)
            result = handle_message(r, &packet, guard, auth);
        RTMPPacket_Free(&packet);
    }
    RTMPPacket_Free(&packet);
    return result == kGoOn ? r->m_bPlaying : result;
}

// Connects until the server starts the publish, connecting again for each
// authentication round: 0, -3 or -4 as connect_rtmp_w reports them.
int connect_and_publish(RTMP *r, AVal *user, AVal *pass, int *is_uri_alloc)
{
    for (int rounds = 0;;) {
        if (!RTMP_Connect(r, nullptr)) {
            RTMP_Log(RTMP_LOGERROR, "Failed to connect");
            return -3;
        }
        set_send_timeout(r);
        int is_need_reconnect = 0;
        const int res = RTMP_ConnectStream_v2(r, 0, user, pass, is_uri_alloc, &is_need_reconnect);
        if (!is_need_reconnect) {
            if (res > 0)
                return 0;
            RTMP_Close(r);
            return -4;
        }
        RTMP_Close(r);
        if (++rounds > kMaxAuthRounds) {
            RTMP_Log(RTMP_LOGERROR, "%s, server still demands authentication after %d rounds; giving up",
                     "connect_rtmp_w", kMaxAuthRounds);
            return -4;
        }
        RTMP_Log(RTMP_LOGERROR, "Failed to connect stream; retrying");
    }
}

// Nothing may reach the wire: drop the TLS session without its
// close_notify, forget the tunnel's client id (librtmp would post a close
// with it) and close the socket, so that RTMP_Close finds the record
// disconnected and only releases it.
void cut_link(RTMP *r)
{
    if (r->m_sb.sb_ssl) {
        gnutls_deinit(static_cast<gnutls_session_t>(r->m_sb.sb_ssl));
        r->m_sb.sb_ssl = nullptr;
    }
    std::free(r->m_clientID.av_val);
    r->m_clientID = AVal{nullptr, 0};
    if (r->m_sb.sb_socket >= 0) {
        ::close(r->m_sb.sb_socket);
        r->m_sb.sb_socket = -1;
    }
}

}  // namespace

extern "C" {

int RTMP_ConnectStream_v2(RTMP *r, int seek_time, AVal *username, AVal *password, int *is_uri_alloc,
                          int *is_need_reconnect)
{
    if (seek_time > 0)
        r->Link.seekTime = seek_time;
    return read_until_published(r, "RTMP_ConnectStream_v2",
                                AuthRound{username, password, is_uri_alloc, is_need_reconnect, true});
}

int reconnect_stream_v2(RTMP *r)
{
    if (!r || !RTMP_IsConnected(r))
        return 0;
    RTMP_DeleteStream(r);
    r->m_bPlaying = 0;
    if (!RTMP_SendCreateStream(r))
        return 0;
    AVal none = {nullptr, 0};
    int is_uri_alloc = 0;
    int is_need_reconnect = 0;
    return read_until_published(r, "reconnect_stream_v2",
                                AuthRound{&none, &none, &is_uri_alloc, &is_need_reconnect, false});
}

int connect_rtmp_w(const char *url, const char *username, const char *password, RTMP **rtmp,
                   RTMP_LogCallback *cb)
{
    if (!url)
        return -1;
    RTMP_LogSetLevel(RTMP_LOGWARNING);
    if (cb)
        RTMP_LogSetCallback(cb);

    RTMP *r = RTMP_Alloc();
    if (!r)
        return -3;
    RTMP_Init(r);
    LinkTexts texts;
    int is_uri_alloc = 0;
    int result = -2;
    if (link_texts_setup(r, url, &texts)) {
        RTMP_EnableWrite(r);
        AVal user = {nullptr, 0};
        AVal pass = {nullptr, 0};
        string_to_AVal(username, &user);
        string_to_AVal(password, &pass);
        result = connect_and_publish(r, &user, &pass, &is_uri_alloc);
        std::free(user.av_val);
        std::free(pass.av_val);
    }
    texts.is_uri_alloc = is_uri_alloc != 0;
    if (result == 0) {
        link_texts_keep(r, texts);
        *rtmp = r;
        return 0;
    }
    // Closing a record that is not connected sends nothing and releases
    // what librtmp holds (its parsed play path when the URL was refused).
    RTMP_Close(r);
    link_texts_free(r, &texts);
    RTMP_Free(r);
    return result;
}

void close_rtmp_w(RTMP *rtmp, int is_orderly)
{
    if (!rtmp)
        return;
    if (!is_orderly)
        cut_link(rtmp);
    RTMP_Close(rtmp);
    link_texts_release(rtmp);
    RTMPPacket_Free(&rtmp->m_write);
    flv_stream_writer_forget(rtmp);
    RTMP_Free(rtmp);
}

}  // extern "C"
