// Stream connection: sets librtmp up as a live encoder, connects, waits for
// the publish and answers a publisher-authentication demand by rewriting the
// application name and tcUrl and connecting again.
#include "RTMPDumpUtilInternal.h"

#include <gnutls/gnutls.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

#define AV_LITERAL(s) {const_cast<char *>(s), static_cast<int>(sizeof(s) - 1)}

const AVal av_connect = AV_LITERAL("connect");
const AVal av__error = AV_LITERAL("_error");
const AVal av_code = AV_LITERAL("code");
const AVal av_level = AV_LITERAL("level");
const AVal av_description = AV_LITERAL("description");
const AVal av_onStatus = AV_LITERAL("onStatus");

const char kFlashVer[] = "FMLE/3.0 (compatible; FMSc/1.0)";

// Both schemes need two token rounds; a server that keeps challenging past
// this is not going to accept, and every round makes the application name
// longer.
constexpr int kMaxAuthRounds = 3;

constexpr int kDefaultTimeoutS = 30;

// Text of a counted string for "%.*s": never a null pointer.
const char *sv(const AVal &a) { return a.av_val && a.av_len > 0 ? a.av_val : ""; }
int sl(const AVal &a) { return a.av_val && a.av_len > 0 ? a.av_len : 0; }

bool av_equals(const AVal &a, const AVal &b)
{
    return a.av_len == b.av_len && (a.av_len == 0 || std::memcmp(a.av_val, b.av_val, a.av_len) == 0);
}

// Every text the record points to that librtmp will not free: the URL that
// Link.hostname / app / tcUrl point into, the identity, the swfUrl copy,
// the play path (taken over from librtmp, see take_playpath) and, after an
// authentication round, the rewritten app and tcUrl.
struct OwnedTexts {
    char *url = nullptr;
    char *flash_ver = nullptr;
    char *swf_url = nullptr;
    char *playpath = nullptr;
    bool is_uri_alloc = false;
};

// RTMP has no room for a pointer of ours, so what a connected record owns is
// kept by address until close_rtmp_w.
std::mutex owned_mutex;
std::unordered_map<RTMP *, OwnedTexts> owned_by_rtmp;

void free_owned(RTMP *r, OwnedTexts &owned)
{
    if (owned.is_uri_alloc) {
        std::free(r->Link.app.av_val);
        std::free(r->Link.tcUrl.av_val);
        r->Link.app = AVal{nullptr, 0};
        r->Link.tcUrl = AVal{nullptr, 0};
    }
    if (r->Link.flashVer.av_val == owned.flash_ver)
        r->Link.flashVer = AVal{nullptr, 0};
    if (r->Link.swfUrl.av_val == owned.swf_url)
        r->Link.swfUrl = AVal{nullptr, 0};
    if (r->Link.playpath.av_val == owned.playpath)
        r->Link.playpath = AVal{nullptr, 0};
    std::free(owned.flash_ver);
    std::free(owned.swf_url);
    std::free(owned.playpath);
    std::free(owned.url);
    owned = OwnedTexts{};
}

char *copy_text(const char *text, int len)
{
    char *copy = static_cast<char *>(std::malloc(static_cast<size_t>(len) + 1));
    if (!copy)
        return nullptr;
    if (len > 0)
        std::memcpy(copy, text, static_cast<size_t>(len));
    copy[len] = '\0';
    return copy;
}

// librtmp frees its parsed play path in RTMP_Close but leaves Link.playpath
// pointing at it, and the authentication retry closes and connects the same
// record again. The record therefore keeps its own copy, and librtmp's is
// released at once.
void take_playpath(RTMP *r, OwnedTexts &owned)
{
    AVal &parsed = r->Link.playpath0;
    if (!parsed.av_val)
        return;
    const bool is_in_url =
        parsed.av_val >= owned.url && parsed.av_val < owned.url + std::strlen(owned.url) + 1;
    owned.playpath = copy_text(parsed.av_val, parsed.av_len);
    if (!owned.playpath)
        return;
    if (r->Link.playpath.av_val == parsed.av_val)
        r->Link.playpath = AVal{owned.playpath, parsed.av_len};
    if (!is_in_url)
        std::free(parsed.av_val);
    parsed = AVal{nullptr, 0};
}

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

// Appends the token to one of the URL-derived fields. The old text is freed
// when an earlier round made it, or when librtmp made it and would free it
// itself on close (lflag_owned): from now on it is ours.
void append_token(AVal &field, const AVal &token, bool is_uri_alloc, int &lflags, int lflag_owned)
{
    const int old_len = field.av_len > 0 ? field.av_len : 0;
    const int new_len = old_len + token.av_len;
    char *text = static_cast<char *>(std::malloc(static_cast<size_t>(new_len) + 1));
    if (!text)
        return;
    if (old_len > 0)
        std::memcpy(text, field.av_val, static_cast<size_t>(old_len));
    std::memcpy(text + old_len, token.av_val, static_cast<size_t>(token.av_len));
    text[new_len] = '\0';
    if (field.av_val && (is_uri_alloc || (lflags & lflag_owned)))
        std::free(field.av_val);
    lflags &= ~lflag_owned;
    field.av_val = text;
    field.av_len = new_len;
}

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

// The messages in progress, as librtmp keeps them (one per chunk stream),
// watched across reads because librtmp mishandles two cases a broken or
// hostile server causes:
// - a failed RTMP_ReadPacket can leave the packet holding the body of a
//   message in progress (a later chunk of it could not be read); librtmp
//   frees that body itself when it closes, often inside the failed read
//   already, so the reader must not free it as well;
// - a new message started on a chunk stream whose message is unfinished
//   replaces it without freeing its body: nothing refers to it any more,
//   so it is freed here.
class MessagesInProgress {
public:
    // Messages a server may interleave while connecting before it is
    // taken for hostile (a real one sends its answers one by one).
    static constexpr int kMax = 64;

    // Before each read.
    void remember_bodies(const RTMP *r)
    {
        for (int i = 0; i < num_; i++)
            kept_[i].body = kept_body(r, kept_[i].ch);
    }
    // After each successful read; false when too many are in progress.
    bool note(const RTMP *r, const RTMPPacket &packet)
    {
        const int ch = packet.m_nChannel;
        for (int i = 0; i < num_; i++) {
            if (kept_[i].ch != ch)
                continue;
            const char *body = kept_[i].body;
            if (body && body != packet.m_body && body != kept_body(r, ch)) {
                RTMPPacket dropped = {};
                dropped.m_body = const_cast<char *>(body);
                RTMPPacket_Free(&dropped);
            }
            kept_[i] = kept_[--num_];
            break;
        }
        if (RTMPPacket_IsReady(&packet))
            return true;
        if (num_ == kMax)
            return false;
        kept_[num_++] = {ch, nullptr};
        return true;
    }
    // After a failed read.
    void free_unread(const RTMP *r, RTMPPacket &packet) const
    {
        bool is_librtmps = packet.m_body && packet.m_body == kept_body(r, packet.m_nChannel);
        for (int i = 0; i < num_; i++)
            is_librtmps = is_librtmps || (packet.m_body && kept_[i].body == packet.m_body);
        if (is_librtmps)
            packet.m_body = nullptr;
        RTMPPacket_Free(&packet);
    }

private:
    static const char *kept_body(const RTMP *r, int ch)
    {
        if (!r->m_vecChannelsIn || ch < 0 || ch >= r->m_channelsAllocatedIn || !r->m_vecChannelsIn[ch])
            return nullptr;
        return r->m_vecChannelsIn[ch]->m_body;
    }

    struct Kept {
        int ch;
        const char *body;  // as librtmp held it before the current read
    };
    Kept kept_[kMax] = {};
    int num_ = 0;
};

// librtmp's AMF0 decoder leaks what it has read of a nested object or array
// when a later part of it is malformed, reads up to two bytes past the
// buffer for a string marker at its very end, and recurses without limit.
// Commands are therefore checked first with the same grammar, bounded and
// without allocating: what passes here librtmp decodes completely.
constexpr int kAmfMalformed = -1;
constexpr int kAmfMaxDepth = 32;

int amf_check_sequence(const unsigned char *p, long n, bool has_names, int depth);

uint32_t be16(const unsigned char *p) { return (uint32_t(p[0]) << 8) | p[1]; }
uint32_t be24(const unsigned char *p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t be32(const unsigned char *p) { return (be16(p) << 16) | be16(p + 2); }

// One value (with its name inside objects): the bytes it takes, or
// kAmfMalformed.
long amf_check_value(const unsigned char *p, long n, bool has_name, int depth)
{
    const long start = n;
    if (n <= 0)
        return kAmfMalformed;
    if (has_name) {
        if (n < 4)
            return kAmfMalformed;
        const long name_len = be16(p);
        if (name_len > n - 2)
            return kAmfMalformed;
        p += 2 + name_len;
        n -= 2 + name_len;
    }
    if (n <= 0)
        return kAmfMalformed;
    const unsigned char marker = *p++;
    n--;
    long used = 0;
    switch (marker) {
    case AMF_NUMBER:
        used = 8;
        break;
    case AMF_BOOLEAN:
        used = 1;
        break;
    case AMF_STRING:
        if (n < 2)
            return kAmfMalformed;
        used = 2 + long(be16(p));
        break;
    case AMF_LONG_STRING:
    case AMF_XML_DOC:
        if (n < 4)
            return kAmfMalformed;
        used = 4 + long(be32(p));
        break;
    case AMF_DATE:
        used = 10;
        break;
    case AMF_NULL:
    case AMF_UNDEFINED:
    case AMF_UNSUPPORTED:
        used = 0;
        break;
    case AMF_OBJECT:
    case AMF_ECMA_ARRAY: {
        if (depth >= kAmfMaxDepth)
            return kAmfMalformed;
        const long skip = marker == AMF_ECMA_ARRAY ? 4 : 0;
        if (n < skip)
            return kAmfMalformed;
        const long inner = amf_check_sequence(p + skip, n - skip, true, depth + 1);
        if (inner < 0)
            return kAmfMalformed;
        used = skip + inner;
        break;
    }
    case AMF_STRICT_ARRAY: {
        if (depth >= kAmfMaxDepth || n < 4)
            return kAmfMalformed;
        uint32_t count = be32(p);
        long at = 4;
        while (count-- > 0) {
            if (n - at <= 0)
                return kAmfMalformed;
            const long v = amf_check_value(p + at, n - at, false, depth + 1);
            if (v < 0)
                return kAmfMalformed;
            at += v;
        }
        used = at;
        break;
    }
    default:
        // References, typed objects, record sets, movie clips, a stray
        // object end and AMF3 values: librtmp refuses the first ones, and a
        // live encoder never asks for the last.
        return kAmfMalformed;
    }
    if (used > n)
        return kAmfMalformed;
    return (start - n) + used;
}

// A run of values up to an object end marker or the end of the bytes, as
// librtmp's AMF_Decode reads it: the bytes taken, or kAmfMalformed.
int amf_check_sequence(const unsigned char *p, long n, bool has_names, int depth)
{
    const long start = n;
    while (n > 0) {
        if (n >= 3 && be24(p) == AMF_OBJECT_END) {
            n -= 3;
            break;
        }
        const long v = amf_check_value(p, n, has_names, depth);
        if (v < 0 || v > n)
            return kAmfMalformed;
        p += v;
        n -= v;
    }
    return static_cast<int>(start - n);
}

// The AMF0 part of a command message: one byte in for an AMF3 command.
bool command_body(const RTMPPacket *pkt, const char **body, int *size)
{
    uint32_t n = pkt->m_nBodySize;
    const char *p = pkt->m_body;
    if (!p)
        return false;
    if (pkt->m_packetType == RTMP_PACKET_TYPE_FLEX_MESSAGE) {
        if (n < 1)
            return false;
        p++;
        n--;
    } else if (pkt->m_packetType != RTMP_PACKET_TYPE_INVOKE) {
        return false;
    }
    if (n < 1 || n > INT_MAX)
        return false;
    *body = p;
    *size = static_cast<int>(n);
    return true;
}

// librtmp's handlers of these protocol control messages read their fixed
// fields without looking at the length, past the end of a shorter body.
bool is_short_control(const RTMPPacket *pkt)
{
    switch (pkt->m_packetType) {
    case RTMP_PACKET_TYPE_CHUNK_SIZE:
    case RTMP_PACKET_TYPE_BYTES_READ_REPORT:
    case RTMP_PACKET_TYPE_SERVER_BW:
    case RTMP_PACKET_TYPE_CLIENT_BW:
        return pkt->m_nBodySize < 4;
    case RTMP_PACKET_TYPE_CONTROL:
        return pkt->m_nBodySize < 2;
    default:
        return false;
    }
}

bool is_command(const RTMPPacket *pkt)
{
    return pkt->m_packetType == RTMP_PACKET_TYPE_INVOKE || pkt->m_packetType == RTMP_PACKET_TYPE_FLEX_MESSAGE;
}

bool command_decodes(const RTMPPacket *pkt)
{
    const char *body;
    int size;
    return command_body(pkt, &body, &size) &&
           amf_check_sequence(reinterpret_cast<const unsigned char *>(body), size, false, 0) >= 0;
}

// An onStatus that refuses the publish ("NetStream.Publish.BadName" when
// the name is taken, ".Denied" ...). librtmp lets those pass, so without
// this the connect would only end with the receive timeout.
bool is_publish_refusal(const RTMPPacket *pkt)
{
    const char *body;
    int size;
    if (!command_body(pkt, &body, &size) || body[0] != AMF_STRING)
        return false;
    AMFObject cmd;
    if (AMF_Decode(&cmd, body, size, FALSE) < 0)
        return false;
    bool refused = false;
    AMFObjectProperty *name_prop = cmd.o_num > 0 ? AMF_GetProp(&cmd, nullptr, 0) : nullptr;
    if (name_prop && name_prop->p_type == AMF_STRING && av_equals(name_prop->p_vu.p_aval, av_onStatus)) {
        if (AMFObject *info = object_value(&cmd, 3)) {
            static const AVal av_error = AV_LITERAL("error");
            static const AVal av_publish = AV_LITERAL("NetStream.Publish.");
            const AVal level = string_prop(info, &av_level);
            const AVal code = string_prop(info, &av_code);
            refused = av_equals(level, av_error) && code.av_len >= av_publish.av_len &&
                      std::memcmp(code.av_val, av_publish.av_val, av_publish.av_len) == 0;
            if (refused)
                RTMP_Log(RTMP_LOGERROR, "%s, server refused the publish: %.*s", "RTMP_ConnectStream_v2",
                         sl(code), sv(code));
        }
    }
    AMF_Reset(&cmd);
    return refused;
}

}  // namespace

extern "C" {

int string_to_AVal(const char *str, AVal *aval)
{
    if (!aval)
        return -1;
    if (!str) {
        aval->av_val = nullptr;
        aval->av_len = 0;
        return 0;
    }
    const size_t len = std::strlen(str);
    if (len > INT_MAX - 1) {
        aval->av_val = nullptr;
        aval->av_len = 0;
        return 0;
    }
    aval->av_val = static_cast<char *>(std::calloc(len + 1, 1));
    if (!aval->av_val) {
        aval->av_len = 0;
        return 0;
    }
    std::memcpy(aval->av_val, str, len);
    aval->av_len = static_cast<int>(len);
    return 0;
}

void free_aval(AVal *aval)
{
    if (!aval)
        return;
    aval->av_len = 0;
    std::free(aval->av_val);
    std::free(aval);
}

void AV_erase(RTMP_METHOD *vals, int *num, int i, int freeit)
{
    if (!vals || !num || i < 0 || i >= *num)
        return;
    if (freeit)
        std::free(vals[i].name.av_val);
    (*num)--;
    for (; i < *num; i++)
        vals[i] = vals[i + 1];
    vals[i].name.av_val = nullptr;
    vals[i].name.av_len = 0;
    vals[i].num = 0;
}

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
    const char *body;
    int size;
    if (!command_body(pkt, &body, &size))
        return 0;
    if (body[0] != AMF_STRING) {
        RTMP_Log(RTMP_LOGWARNING, "%s, Sanity failed. no string method in invoke packet", "needs_publisher_auth");
        return 0;
    }

    AMFObject cmd;
    if (amf_check_sequence(reinterpret_cast<const unsigned char *>(body), size, false, 0) < 0 ||
        AMF_Decode(&cmd, body, size, FALSE) < 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, error decoding invoke packet", "needs_publisher_auth");
        return 0;
    }
    AMFObjectProperty *name_prop = cmd.o_num > 0 ? AMF_GetProp(&cmd, nullptr, 0) : nullptr;
    AVal method = {nullptr, 0};
    if (name_prop && name_prop->p_type == AMF_STRING)
        method = name_prop->p_vu.p_aval;
    RTMP_Log(RTMP_LOGDEBUG, "%s, server invoking <%.*s>", "needs_publisher_auth", sl(method), sv(method));
    if (!av_equals(method, av__error)) {
        AMF_Reset(&cmd);
        return 0;
    }
    if (!(r->Link.protocol & RTMP_FEATURE_WRITE)) {
        RTMP_Log(RTMP_LOGERROR, "rtmp server sent error");
        AMF_Reset(&cmd);
        return 0;
    }

    AMFObjectProperty *txn_prop = cmd.o_num > 1 ? AMF_GetProp(&cmd, nullptr, 1) : nullptr;
    const bool has_txn = txn_prop && txn_prop->p_type == AMF_NUMBER;
    const double txn = has_txn ? txn_prop->p_vu.p_number : 0.0;
    int found = -1;
    if (has_txn && r->m_methodCalls) {
        for (int i = 0; i < r->m_numCalls; i++) {
            if (static_cast<double>(r->m_methodCalls[i].num) == txn) {
                found = i;
                break;
            }
        }
    }
    if (found < 0) {
        RTMP_Log(RTMP_LOGDEBUG, "%s, received result id %f without matching request", "needs_publisher_auth", txn);
        AMF_Reset(&cmd);
        return 0;
    }
    AVal invoked = r->m_methodCalls[found].name;
    AV_erase(r->m_methodCalls, &r->m_numCalls, found, 0);
    RTMP_Log(RTMP_LOGDEBUG, "%s, received error for method call <%.*s>", "needs_publisher_auth", sl(invoked), sv(invoked));
    const bool is_connect = av_equals(invoked, av_connect);
    const bool is_on_status = av_equals(invoked, av_onStatus);
    std::free(invoked.av_val);

    if (is_on_status) {
        AVal code, level, description;
        get_response_obj_info_props(&cmd, &code, &level, &description);
        RTMP_Log(RTMP_LOGDEBUG2, "onStatus:: code:%.*s, level:%.*s, description:%.*s", sl(code), sv(code),
                 sl(level), sv(level), sl(description), sv(description));
    }
    if (!is_connect) {
        AMF_Reset(&cmd);
        return 0;
    }
    *obj = cmd;
    return 1;
}

}  // extern "C"

namespace {

// Reads and handles server messages until the publish has started. An
// authentication demand is answered only while connecting: a reconnection
// of the stream has no connect waiting for its answer.
int read_until_published(RTMP *r, const char *caller, AVal *username, AVal *password, int *is_uri_alloc,
                         int *is_need_reconnect, bool may_authenticate)
{
    r->m_mediaChannel = 0;
    RTMPPacket packet = {};
    // Progress markers; librtmp drops them at the level every connect sets.
    RTMP_Log(RTMP_LOGDEBUG, "--- 0");

    MessagesInProgress in_progress;
    while (!r->m_bPlaying && RTMP_IsConnected(r)) {
        const int guard = chunk_read_guard(r, caller);
        if (guard == 0) {
            // What is buffered cannot be read safely any more.
            RTMP_Close(r);
            break;
        }
        if (guard < 0)
            break;
        in_progress.remember_bodies(r);
        if (!RTMP_ReadPacket(r, &packet)) {
            in_progress.free_unread(r, packet);
            break;
        }
        if (!in_progress.note(r, packet)) {
            RTMP_Log(RTMP_LOGERROR, "%s, server interleaves more than %d messages; giving up", "RTMP_ConnectStream_v2",
                     MessagesInProgress::kMax);
            RTMPPacket_Free(&packet);
            break;
        }
        RTMP_Log(RTMP_LOGDEBUG, "--- 1");
        if (!RTMPPacket_IsReady(&packet) || !packet.m_nBodySize) {
            RTMPPacket_Free(&packet);
            continue;
        }
        if (packet.m_packetType == RTMP_PACKET_TYPE_AUDIO || packet.m_packetType == RTMP_PACKET_TYPE_VIDEO ||
            packet.m_packetType == RTMP_PACKET_TYPE_INFO) {
            RTMP_Log(RTMP_LOGWARNING, "Received FLV packet before play()! Ignoring.");
            RTMPPacket_Free(&packet);
            continue;
        }

        if (is_short_control(&packet)) {
            RTMP_Log(RTMP_LOGWARNING, "%s, control message of type %d too short (%u bytes); ignored",
                     "RTMP_ConnectStream_v2", packet.m_packetType, packet.m_nBodySize);
            RTMPPacket_Free(&packet);
            continue;
        }
        // librtmp's own handling would decode a malformed command too, leak
        // what it read and read past its end.
        if (is_command(&packet) && !command_decodes(&packet)) {
            RTMP_Log(RTMP_LOGERROR, "%s, error decoding invoke packet", "RTMP_ConnectStream_v2");
            RTMPPacket_Free(&packet);
            continue;
        }
        if (is_command(&packet) && is_publish_refusal(&packet)) {
            RTMPPacket_Free(&packet);
            return 0;
        }
        AMFObject obj;
        if (!needs_publisher_auth(r, &packet, &obj)) {
            RTMP_ClientPacket(r, &packet);
            RTMPPacket_Free(&packet);
            continue;
        }
        if (!may_authenticate) {
            AMF_Reset(&obj);
            RTMPPacket_Free(&packet);
            return 0;
        }

        RTMP_Log(RTMP_LOGDEBUG, "--- 2");
        AVal code, level, description;
        get_response_obj_info_props(&obj, &code, &level, &description);
        RTMP_Log(RTMP_LOGDEBUG, "%s, error description: %.*s", "RTMP_ConnectStream_v2", sl(description), sv(description));
        AVal pub_token = {nullptr, 0};
        // The description points into the packet body, not into obj.
        const int ret = PublisherAuth_v2(r, &description, username, password, &pub_token);
        AMF_Reset(&obj);
        if (ret <= 0) {
            RTMPPacket_Free(&packet);
            return ret;
        }
        append_token(r->Link.app, pub_token, *is_uri_alloc != 0, r->Link.lFlags, RTMP_LF_FAPU);
        append_token(r->Link.tcUrl, pub_token, *is_uri_alloc != 0, r->Link.lFlags, RTMP_LF_FTCU);
        std::free(pub_token.av_val);
        *is_uri_alloc = 1;
        *is_need_reconnect = 1;
        RTMPPacket_Free(&packet);
        return 0;
    }
    RTMPPacket_Free(&packet);
    return r->m_bPlaying;
}

}  // namespace

extern "C" {

int RTMP_ConnectStream_v2(RTMP *r, int seek_time, AVal *username, AVal *password, int *is_uri_alloc,
                          int *is_need_reconnect)
{
    if (seek_time > 0)
        r->Link.seekTime = seek_time;
    return read_until_published(r, "RTMP_ConnectStream_v2", username, password, is_uri_alloc, is_need_reconnect,
                                true);
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
    return read_until_published(r, "reconnect_stream_v2", &none, &none, &is_uri_alloc, &is_need_reconnect, false);
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
    OwnedTexts owned;
    AVal user = {nullptr, 0};
    AVal pass = {nullptr, 0};
    int is_uri_alloc = 0;
    int result = 0;

    owned.url = copy_text(url, static_cast<int>(strnlen(url, INT_MAX - 1)));
    if (!owned.url || !RTMP_SetupURL(r, owned.url)) {
        result = -2;
    } else {
        take_playpath(r, owned);
        RTMP_EnableWrite(r);
        owned.flash_ver = copy_text(kFlashVer, sizeof kFlashVer - 1);
        r->Link.flashVer = AVal{owned.flash_ver, static_cast<int>(sizeof kFlashVer - 1)};
        owned.swf_url = copy_text(r->Link.tcUrl.av_val, r->Link.tcUrl.av_len);
        r->Link.swfUrl = AVal{owned.swf_url, owned.swf_url ? r->Link.tcUrl.av_len : 0};
        string_to_AVal(username, &user);
        string_to_AVal(password, &pass);

        for (int rounds = 0;;) {
            if (!RTMP_Connect(r, nullptr)) {
                RTMP_Log(RTMP_LOGERROR, "Failed to connect");
                result = -3;
                break;
            }
            set_send_timeout(r);
            int is_need_reconnect = 0;
            const int res = RTMP_ConnectStream_v2(r, 0, &user, &pass, &is_uri_alloc, &is_need_reconnect);
            if (is_need_reconnect) {
                RTMP_Close(r);
                if (++rounds > kMaxAuthRounds) {
                    RTMP_Log(RTMP_LOGERROR, "%s, server still demands authentication after %d rounds; giving up",
                             "connect_rtmp_w", kMaxAuthRounds);
                    result = -4;
                    break;
                }
                RTMP_Log(RTMP_LOGERROR, "Failed to connect stream; retrying");
                continue;
            }
            if (res > 0) {
                result = 0;
                break;
            }
            RTMP_Close(r);
            result = -4;
            break;
        }
    }

    std::free(user.av_val);
    std::free(pass.av_val);
    owned.is_uri_alloc = is_uri_alloc != 0;
    if (result == 0) {
        {
            std::lock_guard<std::mutex> lock(owned_mutex);
            owned_by_rtmp[r] = owned;
        }
        *rtmp = r;
        return 0;
    }
    // Closing a record that is not connected sends nothing and releases
    // what librtmp holds (its parsed play path when the URL was refused).
    RTMP_Close(r);
    free_owned(r, owned);
    RTMP_Free(r);
    return result;
}

void close_rtmp_w(RTMP *rtmp, int is_orderly)
{
    if (!rtmp)
        return;
    if (!is_orderly) {
        // Nothing may reach the wire: drop the TLS session without its
        // close_notify, forget the tunnel's client id (librtmp would post a
        // close with it) and close the socket, so that RTMP_Close finds the
        // record disconnected and only releases it.
        if (rtmp->m_sb.sb_ssl) {
            gnutls_deinit(static_cast<gnutls_session_t>(rtmp->m_sb.sb_ssl));
            rtmp->m_sb.sb_ssl = nullptr;
        }
        std::free(rtmp->m_clientID.av_val);
        rtmp->m_clientID = AVal{nullptr, 0};
        if (rtmp->m_sb.sb_socket >= 0) {
            ::close(rtmp->m_sb.sb_socket);
            rtmp->m_sb.sb_socket = -1;
        }
    }
    RTMP_Close(rtmp);

    OwnedTexts owned;
    bool is_ours = false;
    {
        std::lock_guard<std::mutex> lock(owned_mutex);
        auto it = owned_by_rtmp.find(rtmp);
        if (it != owned_by_rtmp.end()) {
            owned = it->second;
            owned_by_rtmp.erase(it);
            is_ours = true;
        }
    }
    if (is_ours)
        free_owned(rtmp, owned);
    RTMPPacket_Free(&rtmp->m_write);
    flv_stream_writer_forget(rtmp);
    RTMP_Free(rtmp);
}

}  // extern "C"
