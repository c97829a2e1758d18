// Publisher authentication: the token a publisher appends to its application
// name and tcUrl when a server demands authmod=adobe or authmod=llnw.
#include "RTMPDumpUtil/publisher_auth.h"

#include "RTMPDumpUtil/counted_text.h"

#include <librtmp/log.h>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kFn[] = "PublisherAuth_v2";

// Shown instead of the password in the debug lines; the hashes use the real
// one.
const char kPasswordMask[] = "******";

constexpr int kMd5Len = 16;

struct Text {
    const char *p;
    int len;
};

Text text_of(const AVal *av)
{
    if (!av)
        return {"", 0};
    return {tavrel::av_text(*av), tavrel::av_text_len(*av)};
}

bool contains(Text hay, const char *needle)
{
    const size_t n = std::strlen(needle);
    return hay.len > 0 && memmem(hay.p, static_cast<size_t>(hay.len), needle, n) != nullptr;
}

const char *find(Text hay, const char *needle)
{
    if (hay.len <= 0)
        return nullptr;
    return static_cast<const char *>(memmem(hay.p, static_cast<size_t>(hay.len), needle, std::strlen(needle)));
}

class Md5 {
public:
    Md5() : ctx_(EVP_MD_CTX_new())
    {
        ok_ = ctx_ && EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr) == 1;
    }
    ~Md5() { EVP_MD_CTX_free(ctx_); }
    Md5(const Md5 &) = delete;
    Md5 &operator=(const Md5 &) = delete;

    Md5 &add(const char *p, size_t n)
    {
        if (ok_ && n > 0)
            ok_ = EVP_DigestUpdate(ctx_, p, n) == 1;
        return *this;
    }
    Md5 &add(Text t) { return add(t.p, static_cast<size_t>(t.len)); }
    Md5 &add(const char *s) { return add(s, std::strlen(s)); }
    bool finish(unsigned char out[kMd5Len])
    {
        unsigned int n = 0;
        return ok_ && EVP_DigestFinal_ex(ctx_, out, &n) == 1 && n == kMd5Len;
    }

private:
    EVP_MD_CTX *ctx_;
    bool ok_ = false;
};

// Four random bytes for the client's challenge and cnonce. rand() is never
// seeded by this library, so every process would present the same values.
uint32_t random_u32()
{
    uint32_t v = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char *>(&v), sizeof v) != 1)
        v = static_cast<uint32_t>(std::rand());
    return v;
}

int make_token(AVal *pub_token, const std::string &token)
{
    char *text = tavrel::owned_text(token.data(), token.size());
    if (!text) {
        RTMP_Log(RTMP_LOGERROR, "%s, out of memory for the token", kFn);
        return -2;
    }
    pub_token->av_val = text;
    pub_token->av_len = static_cast<int>(token.size());
    return 1;
}

struct Query {
    Text user{"", 0};
    Text salt{"", 0};
    Text opaque{"", 0};
    Text challenge{"", 0};
    Text nonce{"", 0};
};

// Splits "?reason=needauth&k=v&..." (a copy of the description's tail) into
// the values the scheme needs. A value runs from the first "=" of its pair
// to the next "&", so Base64 padding survives; a pair without "=" carries no
// value and is ignored.
Query parse_query(const std::string &q, bool is_adobe)
{
    Query out;
    size_t at = 0;
    while (at <= q.size()) {
        size_t end = q.find('&', at);
        if (end == std::string::npos)
            end = q.size();
        const size_t eq = q.find('=', at);
        if (eq != std::string::npos && eq < end) {
            Text key{q.data() + at, static_cast<int>(eq - at)};
            Text val{q.data() + eq + 1, static_cast<int>(end - eq - 1)};
            RTMP_Log(RTMP_LOGDEBUG, "%s, par:\"%.*s\" = val:\"%.*s\"", kFn, key.len, key.p, val.len, val.p);
            auto is = [&](const char *name) {
                return static_cast<size_t>(key.len) == std::strlen(name) && std::memcmp(key.p, name, key.len) == 0;
            };
            if (is("user"))
                out.user = val;
            else if (is_adobe && is("salt"))
                out.salt = val;
            else if (is_adobe && is("opaque"))
                out.opaque = val;
            else if (is_adobe && is("challenge"))
                out.challenge = val;
            else if (!is_adobe && is("nonce"))
                out.nonce = val;
        }
        if (end == q.size())
            break;
        at = end + 1;
    }
    return out;
}

std::string str(Text t) { return std::string(t.p, static_cast<size_t>(t.len)); }

int adobe_token(const Query &q, Text password, std::string &token)
{
    unsigned char md5_1[kMd5Len];
    if (!Md5().add(q.user).add(q.salt).add(password).finish(md5_1)) {
        RTMP_Log(RTMP_LOGERROR, "%s, MD5 failed", kFn);
        return -2;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, md5(%.*s%.*s%s) = md5(user + salt + pw) =>", kFn, q.user.len, q.user.p, q.salt.len,
             q.salt.p, kPasswordMask);
    RTMP_LogHexString(RTMP_LOGDEBUG, md5_1, kMd5Len);

    char salted2[56];
    char challenge2[16];
    char response[32];
    if (!b64enc(md5_1, kMd5Len, salted2, sizeof salted2)) {
        RTMP_Log(RTMP_LOGERROR, "%s, Base64 failed", kFn);
        return -2;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, b64(md5_1) = %s", kFn, salted2);

    const uint32_t challenge2_bits = random_u32();
    int challenge2_data;
    std::memcpy(&challenge2_data, &challenge2_bits, sizeof challenge2_data);
    if (!b64enc(reinterpret_cast<const unsigned char *>(&challenge2_data), sizeof challenge2_data, challenge2,
                sizeof challenge2)) {
        RTMP_Log(RTMP_LOGERROR, "%s, Base64 failed", kFn);
        return -2;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, b64(%d) = %s", kFn, challenge2_data, challenge2);

    const Text server_part = q.opaque.len > 0 ? q.opaque : q.challenge;
    unsigned char md5_2[kMd5Len];
    if (!Md5().add(salted2).add(server_part).add(challenge2).finish(md5_2)) {
        RTMP_Log(RTMP_LOGERROR, "%s, MD5 failed", kFn);
        return -2;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, md5(%s%.*s%s) = md5(salted2, opaque || '', challenge) =>", kFn, salted2,
             q.opaque.len, q.opaque.p, challenge2);
    RTMP_LogHexString(RTMP_LOGDEBUG, md5_2, kMd5Len);

    if (!b64enc(md5_2, kMd5Len, response, sizeof response)) {
        RTMP_Log(RTMP_LOGERROR, "%s, Base64 failed", kFn);
        return -2;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, b64(md5_2) = %s", kFn, response);

    token = std::string("&challenge=") + challenge2 + "&response=" + response + "&opaque=" + str(q.opaque);
    return 2;
}

int llnw_token(RTMP *r, const Query &q, Text password, std::string &token)
{
    static const char realm[] = "live";
    static const char method[] = "publish";
    static const char qop[] = "auth";
    const int nc = 1;
    char nchex[9];
    char cnonce[9];
    std::snprintf(nchex, sizeof nchex, "%08x", nc);
    std::snprintf(cnonce, sizeof cnonce, "%08x", random_u32());

    unsigned char md5[kMd5Len];
    char hash1[2 * kMd5Len + 1];
    char hash2[2 * kMd5Len + 1];
    char hash3[2 * kMd5Len + 1];

    if (!Md5().add(q.user).add(":").add(realm).add(":").add(password).finish(md5)) {
        RTMP_Log(RTMP_LOGERROR, "%s, MD5 failed", kFn);
        return -2;
    }
    hexenc(md5, kMd5Len, hash1);
    RTMP_Log(RTMP_LOGDEBUG, "%s, md5(%.*s:%s:%s) =>", kFn, q.user.len, q.user.p, realm, kPasswordMask);
    RTMP_LogHexString(RTMP_LOGDEBUG, md5, kMd5Len);

    // Earlier tokens from "?" on are not part of the application's path.
    AVal apptmp = r ? r->Link.app : AVal{nullptr, 0};
    if (!apptmp.av_val || apptmp.av_len < 0)
        apptmp = AVal{nullptr, 0};
    if (const char *qm = AValChr(&apptmp, '?'))
        apptmp.av_len = static_cast<int>(qm - apptmp.av_val);
    Text app = text_of(&apptmp);
    Md5 h2;
    h2.add(method).add(":/").add(app);
    if (!AValChr(&apptmp, '/'))
        h2.add("/_definst_");
    if (!h2.finish(md5)) {
        RTMP_Log(RTMP_LOGERROR, "%s, MD5 failed", kFn);
        return -2;
    }
    hexenc(md5, kMd5Len, hash2);
    RTMP_Log(RTMP_LOGDEBUG, "%s, md5(%s:/%.*s) =>", kFn, method, app.len, app.p);
    RTMP_LogHexString(RTMP_LOGDEBUG, md5, kMd5Len);

    if (!Md5().add(hash1).add(":").add(q.nonce).add(":").add(nchex).add(":").add(cnonce).add(":").add(qop)
             .add(":").add(hash2).finish(md5)) {
        RTMP_Log(RTMP_LOGERROR, "%s, MD5 failed", kFn);
        return -2;
    }
    hexenc(md5, kMd5Len, hash3);
    RTMP_Log(RTMP_LOGDEBUG, "%s, md5(%s:%.*s:%s:%s:%s:%s) =>", kFn, hash1, q.nonce.len, q.nonce.p, nchex, cnonce,
             qop, hash2);
    RTMP_LogHexString(RTMP_LOGDEBUG, md5, kMd5Len);

    token = "&nonce=" + str(q.nonce) + "&cnonce=" + cnonce + "&nc=" + nchex + "&response=" + hash3;
    return 2;
}

}  // namespace

extern "C" {

int PublisherAuth_v2(RTMP *r, AVal *description, AVal *username, AVal *password, AVal *pubToken)
{
    static const AVal av_authmod_adobe = AV_LITERAL("authmod=adobe");
    static const AVal av_authmod_llnw = AV_LITERAL("authmod=llnw");

    const Text desc = text_of(description);
    const bool is_authmod_adobe = contains(desc, av_authmod_adobe.av_val);
    const bool is_authmod_llnw = contains(desc, av_authmod_llnw.av_val);
    if (!is_authmod_adobe && !is_authmod_llnw) {
        RTMP_Log(RTMP_LOGERROR, "%s, Unknown auth mode b/c not adobe or llnw: %.*s", kFn, desc.len, desc.p);
        return -1;
    }
    const AVal &scheme = is_authmod_adobe ? av_authmod_adobe : av_authmod_llnw;

    const bool is_reason_nosuchuser = contains(desc, "?reason=nosuchuser");
    const bool is_reason_authfail = contains(desc, "?reason=authfail");
    const bool is_403 = contains(desc, "code=403 need auth");
    const char *need_auth_at = find(desc, "?reason=needauth");
    if (!is_reason_nosuchuser && !is_reason_authfail && !is_403 && !need_auth_at) {
        RTMP_Log(RTMP_LOGERROR, "%s, Authentication failed: unknown server error: %.*s", kFn, desc.len, desc.p);
        return -2;
    }
    if (is_reason_nosuchuser) {
        RTMP_Log(RTMP_LOGERROR, "%s, Authentication failed: no such user", kFn);
        return -3;
    }
    if (is_reason_authfail) {
        RTMP_Log(RTMP_LOGERROR, "%s, Authentication failed: wrong password", kFn);
        return -4;
    }
    const Text user = text_of(username);
    const Text pass = text_of(password);
    if (!pubToken) {
        RTMP_Log(RTMP_LOGERROR, "%s, no place for the token", kFn);
        return -2;
    }
    if (is_403) {
        const Text app = r ? text_of(&r->Link.app) : Text{"", 0};
        if (contains(app, scheme.av_val)) {
            RTMP_Log(RTMP_LOGERROR, "%s, wrong pubUser & pubPasswd for publisher auth", kFn);
            return -5;
        }
        if (user.len == 0 || pass.len == 0) {
            RTMP_Log(RTMP_LOGERROR, "%s, need to set pubUser & pubPasswd for publisher auth", kFn);
            return -6;
        }
        const std::string token = std::string("?") + scheme.av_val + "&user=" + str(user);
        const int ret = make_token(pubToken, token);
        if (ret > 0)
            RTMP_Log(RTMP_LOGDEBUG, "%s, Begin auth process: %s", kFn, pubToken->av_val);
        return ret;
    }

    const std::string tail(need_auth_at, static_cast<size_t>(desc.p + desc.len - need_auth_at));
    const Query q = parse_query(tail, is_authmod_adobe);
    std::string token;
    const int ret = is_authmod_adobe ? adobe_token(q, pass, token) : llnw_token(r, q, pass, token);
    if (ret <= 0)
        return ret;
    if (make_token(pubToken, token) <= 0)
        return -2;
    RTMP_Log(RTMP_LOGDEBUG, "%s, pubToken2: %s", kFn, pubToken->av_val);
    return 2;
}

int b64enc(const unsigned char *input, int length, char *output, int maxsize)
{
    if (!output || maxsize <= 0 || length < 0 || (length > 0 && !input))
        return 0;
    BIO *b64 = BIO_new(BIO_f_base64());
    BIO *mem = BIO_new(BIO_s_mem());
    if (!b64 || !mem) {
        BIO_free(b64);
        BIO_free(mem);
        return 0;
    }
    BIO *chain = BIO_push(b64, mem);
    if ((length > 0 && BIO_write(chain, input, length) != length) || BIO_flush(chain) != 1) {
        RTMP_Log(RTMP_LOGDEBUG, "%s, error", "b64enc");
        BIO_free_all(chain);
        return 0;
    }
    BUF_MEM *buf = nullptr;
    BIO_get_mem_ptr(chain, &buf);
    size_t n = buf ? buf->length : 0;
    // The filter ends its output with a newline.
    if (n > 0 && buf->data[n - 1] == '\n')
        n--;
    if (n + 1 > static_cast<size_t>(maxsize)) {
        BIO_free_all(chain);
        return 0;
    }
    if (n > 0)
        std::memcpy(output, buf->data, n);
    output[n] = '\0';
    BIO_free_all(chain);
    return 1;
}

void hexenc(unsigned char *inbuf, int len, char *dst)
{
    static const char digits[] = "0123456789abcdef";
    if (!dst)
        return;
    for (int i = 0; i < len && inbuf; i++) {
        *dst++ = digits[inbuf[i] >> 4];
        *dst++ = digits[inbuf[i] & 0x0f];
    }
    *dst = '\0';
}

char *AValChr(AVal *av, char c)
{
    if (!av || !av->av_val || av->av_len <= 0)
        return nullptr;
    return static_cast<char *>(std::memchr(av->av_val, c, static_cast<size_t>(av->av_len)));
}

}  // extern "C"
