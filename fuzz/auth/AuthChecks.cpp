#include "AuthChecks.h"
#include "../common/FuzzCheck.h"

#include "RTMPDumpUtilInternal.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

char *heap_text(const char *s)
{
    const size_t n = std::strlen(s);
    char *p = static_cast<char *>(std::malloc(n + 1));
    std::memcpy(p, s, n + 1);
    return p;
}

const char *const kApps[] = {"live", "live/inst", "live?authmod=adobe&user=u", "live?authmod=llnw&user=u", ""};

int auth(RTMP *r, const AVal *description, bool has_user, bool has_password)
{
    AVal user = {nullptr, 0}, pass = {nullptr, 0};
    string_to_AVal(has_user ? "alice" : nullptr, &user);
    string_to_AVal(has_password ? "secret" : nullptr, &pass);
    AVal token = {nullptr, 0};
    AVal d = *description;
    const int ret = PublisherAuth_v2(r, &d, &user, &pass, &token);
    CHECK(ret >= -6 && ret <= 2 && ret != 0);
    if (ret > 0) {
        CHECK(token.av_val != nullptr && token.av_len > 0);
        // Server values are copied as they are, NUL bytes included; the
        // text is terminated after av_len.
        CHECK(token.av_val[token.av_len] == '\0');
        CHECK(token.av_val[0] == (ret == 1 ? '?' : '&'));
    } else {
        CHECK(token.av_val == nullptr && token.av_len == 0);
    }
    std::free(token.av_val);
    std::free(user.av_val);
    std::free(pass.av_val);
    return ret;
}

}  // namespace

void auth_checks_init()
{
    // The routines log every refusal; a run over many inputs needs none of it.
    RTMP_LogSetLevel(RTMP_LOGCRIT);
}

void check_server_command(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    static const uint8_t kTypes[] = {0x14, 0x11, 0x12, 0x14};
    const uint8_t selector = data[0];
    // The body in a buffer of exactly its size, so reading past it is seen.
    std::vector<char> body(data + 1, data + size);

    RTMP r;
    RTMP_Init(&r);
    if (!(selector & 4))
        r.Link.protocol |= RTMP_FEATURE_WRITE;
    std::string app = kApps[(selector >> 3) % 5];
    r.Link.app = {app.empty() ? nullptr : &app[0], static_cast<int>(app.size())};
    const char *names[] = {"connect", "releaseStream", "createStream", "onStatus"};
    r.m_methodCalls = static_cast<RTMP_METHOD *>(std::calloc(4, sizeof(RTMP_METHOD)));
    for (int i = 0; i < 4; i++) {
        r.m_methodCalls[i].name = {heap_text(names[i]), static_cast<int>(std::strlen(names[i]))};
        r.m_methodCalls[i].num = i + 1;
    }
    r.m_numCalls = 4;

    RTMPPacket pkt = {};
    pkt.m_packetType = kTypes[selector & 3];
    pkt.m_body = body.empty() ? nullptr : body.data();
    pkt.m_nBodySize = static_cast<uint32_t>(body.size());
    pkt.m_nBytesRead = pkt.m_nBodySize;

    AMFObject obj;
    std::memset(&obj, 0, sizeof obj);
    const int ret = needs_publisher_auth(&r, &pkt, &obj);
    CHECK(ret == 0 || ret == 1);
    CHECK(r.m_numCalls == 4 || r.m_numCalls == 3);
    bool has_connect = false;
    for (int i = 0; i < r.m_numCalls; i++)
        has_connect = has_connect || r.m_methodCalls[i].num == 1;
    if (ret == 1) {
        CHECK(!has_connect);
        AVal code, level, description;
        CHECK(get_response_obj_info_props(&obj, &code, &level, &description) == 1);
        for (const AVal *v : {&code, &level, &description})
            CHECK(v->av_len == 0 ||
                    (v->av_val >= body.data() && v->av_val + v->av_len <= body.data() + body.size()));
        auth(&r, &description, selector & 0x40, selector & 0x80);
        AMF_Reset(&obj);
    } else {
        CHECK(obj.o_num == 0 && obj.o_props == nullptr);
    }
    for (int i = 0; i < r.m_numCalls; i++)
        std::free(r.m_methodCalls[i].name.av_val);
    std::free(r.m_methodCalls);
}

void check_auth_description(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return;
    const uint8_t selector = data[0];
    std::vector<char> text(data + 1, data + size);
    AVal description = {text.empty() ? nullptr : text.data(), static_cast<int>(text.size())};

    RTMP r;
    RTMP_Init(&r);
    std::string app = kApps[selector % 5];
    r.Link.app = {app.empty() ? nullptr : &app[0], static_cast<int>(app.size())};
    auth(&r, &description, selector & 0x40, selector & 0x80);
}
