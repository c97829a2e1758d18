#include "RTMPDumpUtilInternal.h"
#include "CapturedLog.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// Known answers from an independent implementation: OpenSSL's one-shot
// digest and block encoder rather than the BIO filter under test.
std::string md5_raw(const std::string &s)
{
    unsigned char d[16];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
    return std::string(reinterpret_cast<char *>(d), n);
}

std::string md5_hex(const std::string &s)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : md5_raw(s)) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string base64(const std::string &s)
{
    std::vector<unsigned char> out(4 * ((s.size() + 2) / 3) + 1);
    int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char *>(s.data()), static_cast<int>(s.size()));
    return std::string(reinterpret_cast<char *>(out.data()), n);
}

// A description held in a heap buffer of exactly its length, so a read past
// av_len is a sanitizer report.
struct Text {
    explicit Text(const std::string &s) : buf(s.begin(), s.end()) { av = {buf.empty() ? nullptr : buf.data(), int(buf.size())}; }
    std::vector<char> buf;
    AVal av;
};

struct Auth {
    RTMP r;
    Text user{""}, pass{""};
    AVal token{nullptr, 0};
    std::string app_text;

    Auth(const std::string &app, const std::string &u, const std::string &p) : user(u), pass(p), app_text(app)
    {
        RTMP_Init(&r);
        r.Link.app = {app_text.empty() ? nullptr : &app_text[0], int(app_text.size())};
    }
    ~Auth() { std::free(token.av_val); }
    int run(const std::string &description)
    {
        Text d(description);
        std::free(token.av_val);
        token = {nullptr, 0};
        return PublisherAuth_v2(&r, &d.av, &user.av, &pass.av, &token);
    }
    std::string token_text() const { return token.av_val ? std::string(token.av_val, token.av_len) : ""; }
};

const char kStage1Adobe[] = "[ AccessManager.Reject ] : [ code=403 need auth; authmod=adobe ] : ";
const char kStage1Llnw[] = "[ AccessManager.Reject ] : [ code=403 need auth; authmod=llnw ] : ";

TEST(PublisherAuth, DecisionsInOrder)
{
    struct Case {
        const char *what;
        std::string description;
        const char *app;
        const char *user;
        const char *password;
        int expected;
        const char *token;  // for result 1
        const char *logged; // at 1000
    };
    const Case cases[] = {
        {"no scheme", "[ code=403 need auth ]", "live", "u", "p", -1, nullptr,
         "PublisherAuth_v2, Unknown auth mode b/c not adobe or llnw: [ code=403 need auth ]"},
        {"empty description", "", "live", "u", "p", -1, nullptr, "Unknown auth mode"},
        {"scheme without reason", "authmod=adobe", "live", "u", "p", -2, nullptr,
         "PublisherAuth_v2, Authentication failed: unknown server error: authmod=adobe"},
        {"nosuchuser wins over authfail", "authmod=adobe ?reason=authfail ?reason=nosuchuser", "live", "u", "p", -3,
         nullptr, "PublisherAuth_v2, Authentication failed: no such user"},
        {"authfail", "[ authmod=llnw ] : ?reason=authfail", "live", "u", "p", -4, nullptr,
         "PublisherAuth_v2, Authentication failed: wrong password"},
        {"authfailed as servers spell it", "[ authmod=adobe ] : ?reason=authfailed&opaque=x", "live", "u", "p", -4,
         nullptr, "wrong password"},
        {"first token already sent", kStage1Adobe, "live?authmod=adobe&user=u", "u", "p", -5, nullptr,
         "PublisherAuth_v2, wrong pubUser & pubPasswd for publisher auth"},
        {"-5 comes before the credentials", kStage1Llnw, "live?authmod=llnw&user=u", "u", "", -5, nullptr,
         "wrong pubUser"},
        {"the other scheme's token does not count", kStage1Llnw, "live?authmod=adobe&user=u", "u", "p", 1,
         "?authmod=llnw&user=u", nullptr},
        {"no password", kStage1Adobe, "live", "u", "", -6, nullptr,
         "PublisherAuth_v2, need to set pubUser & pubPasswd for publisher auth"},
        {"no user", kStage1Llnw, "live", "", "p", -6, nullptr, "need to set pubUser"},
        {"adobe first stage", kStage1Adobe, "live", "alice", "secret", 1, "?authmod=adobe&user=alice", nullptr},
        {"llnw, one-letter user", kStage1Llnw, "live", "a", "p", 1, "?authmod=llnw&user=a", nullptr},
        {"both schemes: adobe", "code=403 need auth authmod=llnw authmod=adobe", "live", "bob", "p", 1,
         "?authmod=adobe&user=bob", nullptr},
        {"403 and needauth: first stage", "code=403 need auth; authmod=adobe ?reason=needauth&user=x&salt=y", "live",
         "bob", "p", 1, "?authmod=adobe&user=bob", nullptr},
    };
    for (const Case &c : cases) {
        GlobalLogCapture capture;
        Auth a(c.app, c.user, c.password);
        EXPECT_EQ(a.run(c.description), c.expected) << c.what;
        if (c.expected > 0) {
            EXPECT_EQ(a.token_text(), c.token) << c.what;
            EXPECT_EQ(a.token.av_len, static_cast<int>(std::strlen(c.token))) << c.what;
            EXPECT_EQ(a.token.av_val[a.token.av_len], '\0') << c.what;
        } else {
            EXPECT_EQ(a.token.av_val, nullptr) << c.what;
            EXPECT_EQ(a.token.av_len, 0) << c.what;
        }
        if (c.logged) {
            EXPECT_TRUE(capture.log.contains(1000, c.logged)) << c.what << "\n" << capture.log.dump();
        }
    }
    Auth one("live", "a", "p");
    ASSERT_EQ(one.run(kStage1Llnw), 1);
    EXPECT_EQ(one.token.av_len, 20);
}

// The values of a token "&k1=v1&k2=v2...", which must carry exactly the
// keys given, in that order (a value may hold "=").
bool token_values(const std::string &token, const std::vector<std::string> &keys, std::vector<std::string> &values)
{
    values.clear();
    size_t at = 0;
    for (const std::string &key : keys) {
        const std::string head = "&" + key + "=";
        if (token.compare(at, head.size(), head) != 0)
            return false;
        at += head.size();
        size_t end = token.find('&', at);
        if (end == std::string::npos)
            end = token.size();
        values.push_back(token.substr(at, end - at));
        at = end;
    }
    return at == token.size();
}

bool is_base64_of(const std::string &s, size_t bytes)
{
    const size_t len = 4 * ((bytes + 2) / 3);
    const size_t pad = (3 - bytes % 3) % 3;
    if (s.size() != len)
        return false;
    for (size_t i = 0; i < len; i++) {
        const char c = s[i];
        const bool ok = i >= len - pad ? c == '=' : (isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/');
        if (!ok)
            return false;
    }
    return true;
}

bool is_lower_hex(const std::string &s, size_t len)
{
    if (s.size() != len)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

struct AdobeToken {
    std::string challenge, response, opaque;
};

bool parse_adobe(const std::string &token, AdobeToken &out)
{
    std::vector<std::string> v;
    if (!token_values(token, {"challenge", "response", "opaque"}, v) || !is_base64_of(v[0], 4) ||
        !is_base64_of(v[1], 16))
        return false;
    out = {v[0], v[1], v[2]};
    return true;
}

TEST(PublisherAuth, AdobeResponse)
{
    // The user in the query is always alice, the one the token is for.
    struct Case {
        const char *what;
        std::string query;                    // after "?reason=needauth"
        std::string salt, opaque, challenge;  // what the server gave
    };
    const Case cases[] = {
        {"all values", "&user=alice&salt=c2FsdA&challenge=Y2hhbA&opaque=b3BhcQ", "c2FsdA", "b3BhcQ", "Y2hhbA"},
        {"salt keeps its padding", "&user=alice&salt=YWJjZA==&challenge=x&opaque=yy==", "YWJjZA==", "yy==", "x"},
        {"no opaque: the server's challenge is hashed", "&user=alice&salt=s&challenge=srvchal", "s", "", "srvchal"},
        {"neither opaque nor challenge", "&user=alice&salt=s", "s", "", ""},
        {"a later key wins", "&user=bob&salt=1&user=alice&salt=2&opaque=o", "2", "o", ""},
        {"no salt", "&user=alice&opaque=o", "", "o", ""},
        {"keys are case-sensitive", "&user=alice&Salt=no&salt=yes&OPAQUE=no", "yes", "", ""},
        {"llnw's key is not adobe's", "&user=alice&salt=s&nonce=n", "s", "", ""},
    };
    for (const Case &c : cases) {
        Auth a("live?authmod=adobe&user=alice", "alice", "secret");
        ASSERT_EQ(a.run("[ AccessManager.Reject ] : [ authmod=adobe ] : ?reason=needauth" + c.query), 2) << c.what;
        AdobeToken t;
        ASSERT_TRUE(parse_adobe(a.token_text(), t)) << c.what << ": " << a.token_text();
        EXPECT_EQ(t.opaque, c.opaque) << c.what;
        const std::string salted2 = base64(md5_raw("alice" + c.salt + "secret"));
        const std::string server_part = !c.opaque.empty() ? c.opaque : c.challenge;
        EXPECT_EQ(t.response, base64(md5_raw(salted2 + server_part + t.challenge))) << c.what;
    }
}

TEST(PublisherAuth, AdobeChallengesDiffer)
{
    std::set<std::string> seen;
    for (int i = 0; i < 20; i++) {
        Auth a("live", "alice", "secret");
        ASSERT_EQ(a.run("authmod=adobe ?reason=needauth&user=alice&salt=s&opaque=o"), 2);
        AdobeToken t;
        ASSERT_TRUE(parse_adobe(a.token_text(), t));
        seen.insert(t.challenge);
    }
    EXPECT_GT(seen.size(), 15u);
}

TEST(PublisherAuth, LlnwResponse)
{
    struct Case {
        const char *what;
        std::string app;
        std::string query;
        std::string user, nonce;
        std::string hashed_path;  // after "publish:/"
    };
    const Case cases[] = {
        {"plain application", "live?authmod=llnw&user=alice", "&user=alice&nonce=abc123", "alice", "abc123",
         "live/_definst_"},
        {"application and instance", "live/inst?authmod=llnw&user=alice", "&user=alice&nonce=n", "alice", "n",
         "live/inst"},
        {"no earlier token", "app/i", "&user=alice&nonce=n", "alice", "n", "app/i"},
        {"no nonce", "live", "&user=alice", "alice", "", "live/_definst_"},
        {"nonce runs to the end", "live", "&nonce=a=b=c&user=alice", "alice", "a=b=c", "live/_definst_"},
        {"adobe's keys ignored", "live", "&user=alice&nonce=n&salt=s&opaque=o", "alice", "n", "live/_definst_"},
    };
    for (const Case &c : cases) {
        Auth a(c.app, "alice", "secret");
        ASSERT_EQ(a.run("[ AccessManager.Reject ] : [ authmod=llnw ] : ?reason=needauth" + c.query), 2) << c.what;
        std::vector<std::string> v;
        const std::string token = a.token_text();
        ASSERT_TRUE(token_values(token, {"nonce", "cnonce", "nc", "response"}, v)) << c.what << ": " << token;
        EXPECT_EQ(v[0], c.nonce) << c.what;
        EXPECT_TRUE(is_lower_hex(v[1], 8)) << v[1];
        EXPECT_EQ(v[2], "00000001");
        const std::string ha1 = md5_hex(c.user + ":live:secret");
        const std::string ha2 = md5_hex("publish:/" + c.hashed_path);
        EXPECT_EQ(v[3], md5_hex(ha1 + ":" + c.nonce + ":00000001:" + v[1] + ":auth:" + ha2)) << c.what;
    }
}

// Descriptions with missing, empty or oversized fields: a result code and no
// read or write out of bounds (the sanitizer builds check that part).
TEST(PublisherAuth, MalformedQueriesStayInBounds)
{
    const std::string big(100000, 'A');
    const std::string queries[] = {
        "",
        "&",
        "&&&&",
        "&user",
        "&user&salt&opaque&challenge&nonce",
        "&=&==&=x",
        "&user=",
        "&user=" + big + "&salt=" + big + "&opaque=" + big + "&challenge=" + big + "&nonce=" + big,
        "&salt=" + big,
        "=",
        "&user=a&",
    };
    for (const char *scheme : {"authmod=adobe", "authmod=llnw"}) {
        for (const std::string &q : queries) {
            Auth a(std::string("live/") + big, big, big);
            const int ret = a.run(std::string("[ ") + scheme + " ] : ?reason=needauth" + q);
            EXPECT_EQ(ret, 2) << scheme << " " << q.substr(0, 40);
            EXPECT_EQ(a.token.av_len, static_cast<int>(std::strlen(a.token.av_val)));
        }
    }
    // A description that ends right after the scheme or the reason.
    for (const char *d : {"authmod=adobe", "authmod=llnw?reason=needauth", "?reason=needauthauthmod=llnw"}) {
        Auth a("live", "u", "p");
        EXPECT_LE(a.run(d), 2) << d;
    }
}

TEST(PublisherAuth, OnlyTheCountedTextIsRead)
{
    // "authmod=adobe" lies just past av_len.
    std::string text = "code=403 need auth; authmod=llnw";
    const std::string hidden = text + "authmod=adobe?reason=nosuchuser";
    AVal d = {const_cast<char *>(hidden.data()), static_cast<int>(text.size())};
    Auth a("live", "u", "p");
    ASSERT_EQ(PublisherAuth_v2(&a.r, &d, &a.user.av, &a.pass.av, &a.token), 1);
    EXPECT_EQ(a.token_text(), "?authmod=llnw&user=u");
    // A counted user name without a terminator.
    const std::string user_text = "bobXXXX";
    AVal user = {const_cast<char *>(user_text.data()), 3};
    std::free(a.token.av_val);
    a.token = {nullptr, 0};
    ASSERT_EQ(PublisherAuth_v2(&a.r, &d, &user, &a.pass.av, &a.token), 1);
    EXPECT_EQ(a.token_text(), "?authmod=llnw&user=bob");
}

TEST(PublisherAuth, NullArgumentsAreRefused)
{
    Auth a("live", "u", "p");
    EXPECT_EQ(PublisherAuth_v2(&a.r, nullptr, &a.user.av, &a.pass.av, &a.token), -1);
    Text d(kStage1Adobe);
    EXPECT_EQ(PublisherAuth_v2(&a.r, &d.av, &a.user.av, &a.pass.av, nullptr), -2);
    EXPECT_EQ(PublisherAuth_v2(&a.r, &d.av, nullptr, nullptr, &a.token), -6);
    EXPECT_EQ(PublisherAuth_v2(nullptr, &d.av, &a.user.av, &a.pass.av, &a.token), 1);
    std::free(a.token.av_val);
    a.token = {nullptr, 0};
    Text llnw("authmod=llnw ?reason=needauth&nonce=n");
    EXPECT_EQ(PublisherAuth_v2(nullptr, &llnw.av, &a.user.av, &a.pass.av, &a.token), 2);
}

TEST(Base64, MatchesOpenSslsFilter)
{
    struct Case {
        std::string in;
        const char *out;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foobar", "Zm9vYmFy"},
        {std::string(16, '\0'), "AAAAAAAAAAAAAAAAAAAAAA=="},
        {std::string("\xff\xfe\xfd\xfc", 4), "//79/A=="},
        {std::string(48, '\xff'), "////////////////////////////////////////////////////////////////"},
    };
    for (const Case &c : cases) {
        char out[128];
        std::memset(out, 'x', sizeof out);
        ASSERT_EQ(b64enc(reinterpret_cast<const unsigned char *>(c.in.data()), int(c.in.size()), out, sizeof out), 1);
        EXPECT_STREQ(out, c.out) << c.in.size() << " bytes";
    }
}

TEST(Base64, NeverWritesPastMaxsize)
{
    const unsigned char in[16] = {1, 2, 3};
    struct Case {
        int maxsize;
        int expected;
    };
    const Case cases[] = {{25, 1}, {24, 0}, {1, 0}, {0, 0}, {-1, 0}};
    for (const Case &c : cases) {
        std::vector<char> out(32, 'x');
        EXPECT_EQ(b64enc(in, 16, out.data(), c.maxsize), c.expected) << c.maxsize;
        for (size_t i = std::max(c.maxsize, 0); i < out.size(); i++)
            ASSERT_EQ(out[i], 'x') << "byte " << i << " for maxsize " << c.maxsize;
    }
    char out[8];
    EXPECT_EQ(b64enc(nullptr, 4, out, sizeof out), 0);
    EXPECT_EQ(b64enc(in, -1, out, sizeof out), 0);
    EXPECT_EQ(b64enc(in, 4, nullptr, 8), 0);
}

TEST(Hex, LowerCaseTwoDigitsPerByte)
{
    struct Case {
        std::vector<unsigned char> in;
        const char *out;
    };
    const Case cases[] = {
        {{0xAB}, "ab"},
        {{0x00, 0xff, 0x10, 0x09}, "00ff1009"},
        {{}, ""},
    };
    for (const Case &c : cases) {
        char out[16];
        std::memset(out, 'x', sizeof out);
        hexenc(const_cast<unsigned char *>(c.in.data()), int(c.in.size()), out);
        EXPECT_STREQ(out, c.out);
        EXPECT_EQ(out[2 * c.in.size() + 1], 'x');
    }
}

TEST(AValChr, SearchesTheCountedTextOnly)
{
    char text[] = "live/inst?authmod=llnw";
    struct Case {
        int len;
        char c;
        int at;  // -1: not found
    };
    const Case cases[] = {
        {22, '/', 4}, {22, '?', 9}, {22, 'l', 0}, {22, 'w', 21}, {4, '/', -1}, {9, '?', -1}, {10, '?', 9},
        {0, 'l', -1},  {22, '#', -1},
    };
    for (const Case &c : cases) {
        AVal av = {text, c.len};
        char *p = AValChr(&av, c.c);
        if (c.at < 0)
            EXPECT_EQ(p, nullptr) << c.c << " in " << c.len;
        else
            EXPECT_EQ(p, text + c.at) << c.c << " in " << c.len;
    }
    AVal empty = {nullptr, 5};
    EXPECT_EQ(AValChr(&empty, 'a'), nullptr);
    EXPECT_EQ(AValChr(nullptr, 'a'), nullptr);
}

}  // namespace
