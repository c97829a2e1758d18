// Stream connection: sets librtmp up as a live encoder, connects, waits for
// the publish and answers a publisher-authentication demand by rewriting the
// application name and tcUrl and connecting again; the stream reconnection
// and the release of the record.
#include "RTMPDumpUtil/connection.h"

#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/connect_result.h"
#include "RTMPDumpUtil/counted_text.h"
#include "RTMPDumpUtil/flv_stream_writer.h"
#include "RTMPDumpUtil/link_open.h"
#include "RTMPDumpUtil/link_texts.h"
#include "RTMPDumpUtil/publisher_auth.h"
#include "RTMPDumpUtil/read_guard.h"
#include "RTMPDumpUtil/server_commands.h"
#include "RTMPDumpUtil/url_host.h"
#include "RTMPDumpUtil/url_options.h"
#include "Tavrel.h"

#include <climits>
#include <cstdlib>
#include <cstring>

using namespace tavrel;

namespace {

// Both schemes need two token rounds; a server that keeps challenging past
// this is not going to accept, and every round makes the application name
// longer.
constexpr int kMaxAuthRounds = 3;

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
    // Why the read loop ended without the publish (TAVREL_CONNECT_RESULT).
    int *detailed;
};

bool is_media(const RTMPPacket &packet)
{
    return packet.m_packetType == RTMP_PACKET_TYPE_AUDIO || packet.m_packetType == RTMP_PACKET_TYPE_VIDEO ||
           packet.m_packetType == RTMP_PACKET_TYPE_INFO;
}

// Whether a refusal of connect is about authentication ("authmod=adobe",
// "code=403 need auth", or a scheme we do not know) rather than about the
// application.
bool names_authentication(const AVal &description)
{
    static const char *const kMarks[] = {"authmod=", "code=403"};
    for (const char *mark : kMarks) {
        if (memmem(av_text(description), size_t(av_text_len(description)), mark, std::strlen(mark)))
            return true;
    }
    return false;
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
    if (ret <= 0) {
        *auth.detailed = names_authentication(description) ? TAVREL_CONNECT_AUTH_FAILED : TAVREL_CONNECT_APP_REFUSED;
        return ret;
    }
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
    if (is_publish_refusal(packet)) {
        *auth.detailed = TAVREL_CONNECT_PUBLISH_REFUSED;
        return 0;
    }
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
// authentication round: TAVREL_CONNECT_OK or why not.
int connect_and_publish(RTMP *r, AVal *user, AVal *pass, int *is_uri_alloc, const LinkPlan &plan)
{
    for (int rounds = 0;;) {
        const int opened = open_link(r, plan);
        if (opened != TAVREL_CONNECT_OK) {
            if (coarse_connect_code(opened) == TAVREL_CONNECT_UNREACHABLE)
                RTMP_Log(RTMP_LOGERROR, "Failed to connect");
            return opened;
        }
        int is_need_reconnect = 0;
        int detailed = TAVREL_CONNECT_NOT_PUBLISHED;
        const int res = read_until_published(r, "RTMP_ConnectStream_v2",
                                             AuthRound{user, pass, is_uri_alloc, &is_need_reconnect, true, &detailed});
        if (!is_need_reconnect) {
            if (res > 0)
                return TAVREL_CONNECT_OK;
            RTMP_Close(r);
            return detailed;
        }
        RTMP_Close(r);
        if (++rounds > kMaxAuthRounds) {
            RTMP_Log(RTMP_LOGERROR, "%s, server still demands authentication after %d rounds; giving up",
                     "connect_rtmp_w", kMaxAuthRounds);
            return TAVREL_CONNECT_AUTH_FAILED;
        }
        RTMP_Log(RTMP_LOGERROR, "Failed to connect stream; retrying");
    }
}

// The URL as librtmp takes it: our options out, an IPv6 literal host stood
// in for. false when it is not accepted.
bool setup_url(RTMP *r, const char *url, UrlOptions *options, LinkTexts *texts)
{
    if (url_options_take(url, options) != UrlOptionsStatus::kOk)
        return false;
    BracketedHost host;
    if (find_bracketed_host(options->librtmp_url, &host) == HostForm::kBroken) {
        RTMP_Log(RTMP_LOGERROR, "%s, the host in brackets is not an IPv6 address: %s", "connect_rtmp_w",
                 options->librtmp_url);
        return false;
    }
    return link_texts_setup(r, options->librtmp_url, host, texts);
}

}  // namespace

namespace tavrel {

int connect_rtmp_via(const char *url, const char *username, const char *password, RTMP **rtmp,
                     RTMP_LogCallback *cb, const Dialer *dialer)
{
    if (!url)
        return finish_connect(TAVREL_CONNECT_NULL_URL);
    RTMP_LogSetLevel(RTMP_LOGWARNING);
    if (cb)
        RTMP_LogSetCallback(cb);

    RTMP *r = RTMP_Alloc();
    if (!r)
        return finish_connect(TAVREL_CONNECT_UNREACHABLE);
    RTMP_Init(r);
    UrlOptions options;
    LinkTexts texts;
    int is_uri_alloc = 0;
    int result = TAVREL_CONNECT_BAD_URL;
    if (setup_url(r, url, &options, &texts)) {
        RTMP_EnableWrite(r);
        AVal user = {nullptr, 0};
        AVal pass = {nullptr, 0};
        string_to_AVal(username, &user);
        string_to_AVal(password, &pass);
        const LinkPlan plan = {TlsPolicy{options.tls_verify, options.ca_file}, dialer, &texts.tls_trust};
        result = connect_and_publish(r, &user, &pass, &is_uri_alloc, plan);
        std::free(user.av_val);
        std::free(pass.av_val);
    }
    url_options_free(&options);
    texts.is_uri_alloc = is_uri_alloc != 0;
    if (result == TAVREL_CONNECT_OK) {
        link_texts_keep(r, texts);
        *rtmp = r;
        return finish_connect(result);
    }
    // Closing a record that is not connected sends nothing and releases
    // what librtmp holds (its parsed play path when the URL was refused).
    RTMP_Close(r);
    link_texts_free(r, &texts);
    RTMP_Free(r);
    return finish_connect(result);
}

}  // namespace tavrel

extern "C" {

int RTMP_ConnectStream_v2(RTMP *r, int seek_time, AVal *username, AVal *password, int *is_uri_alloc,
                          int *is_need_reconnect)
{
    if (seek_time > 0)
        r->Link.seekTime = seek_time;
    int detailed = TAVREL_CONNECT_NOT_PUBLISHED;
    return read_until_published(r, "RTMP_ConnectStream_v2",
                                AuthRound{username, password, is_uri_alloc, is_need_reconnect, true, &detailed});
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
    int detailed = TAVREL_CONNECT_NOT_PUBLISHED;
    return read_until_published(r, "reconnect_stream_v2",
                                AuthRound{&none, &none, &is_uri_alloc, &is_need_reconnect, false, &detailed});
}

int connect_rtmp_w(const char *url, const char *username, const char *password, RTMP **rtmp,
                   RTMP_LogCallback *cb)
{
    return connect_rtmp_via(url, username, password, rtmp, cb, nullptr);
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
