// The URL option split and the bracketed-host parser, as tables.
#include "RTMPDumpUtilInternal.h"
#include "RTMPDumpUtil/link_texts.h"

#include <gtest/gtest.h>

#include <string>

using namespace tavrel;

namespace {

TEST(UrlOptions, TakesOursOutAndLeavesLibrtmpsAsWritten)
{
    struct Case {
        const char *url;
        UrlOptionsStatus status;
        const char *librtmp_url;  // on kOk
        bool verify;
        const char *ca_file;  // null: none
    };
    const Case cases[] = {
        {"rtmps://h/app/s", UrlOptionsStatus::kOk, "rtmps://h/app/s", true, nullptr},
        {"rtmps://h/app/s tlsVerify=0", UrlOptionsStatus::kOk, "rtmps://h/app/s", false, nullptr},
        {"rtmps://h/app/s timeout=3 tlsVerify=off live=1", UrlOptionsStatus::kOk, "rtmps://h/app/s timeout=3 live=1",
         false, nullptr},
        {"rtmps://h/a/s tlsVerify=0 tlsVerify=TRUE", UrlOptionsStatus::kOk, "rtmps://h/a/s", true, nullptr},
        {"rtmps://h/a/s tlsCAFile=/etc/ca.pem timeout=2", UrlOptionsStatus::kOk, "rtmps://h/a/s timeout=2", true,
         "/etc/ca.pem"},
        {"rtmps://h/a/s tlsCAFile=/my\\20certs/ca\\3dx.pem", UrlOptionsStatus::kOk, "rtmps://h/a/s", true,
         "/my certs/ca=x.pem"},
        // librtmp's grammar: a key runs to the "=", spaces and all, so these
        // are not ours and librtmp decides.
        {"rtmps://h/a/s bogus tlsVerify=0", UrlOptionsStatus::kOk, "rtmps://h/a/s bogus tlsVerify=0", true, nullptr},
        {"rtmps://h/a/s tlsverify=0", UrlOptionsStatus::kOk, "rtmps://h/a/s tlsverify=0", true, nullptr},
        {"rtmps://h/a/s live=1 ", UrlOptionsStatus::kOk, "rtmps://h/a/s live=1 ", true, nullptr},
        {"rtmps://h/a/s flashver=FMLE\\2f3.0 tlsCAFile=c", UrlOptionsStatus::kOk, "rtmps://h/a/s flashver=FMLE\\2f3.0",
         true, "c"},
        // A value we cannot read never turns the verification off.
        {"rtmps://h/a/s tlsVerify=O", UrlOptionsStatus::kBadValue, nullptr, true, nullptr},
        {"rtmps://h/a/s tlsVerify=", UrlOptionsStatus::kBadValue, nullptr, true, nullptr},
        {"rtmps://h/a/s tlsCAFile=", UrlOptionsStatus::kBadValue, nullptr, true, nullptr},
        {"rtmps://h/a/s tlsCAFile=a\\2", UrlOptionsStatus::kBadValue, nullptr, true, nullptr},
        {"rtmps://h/a/s tlsCAFile=a\\zz", UrlOptionsStatus::kBadValue, nullptr, true, nullptr},
        {"rtmps://h/a/s tlsCAFile=a\\00b", UrlOptionsStatus::kBadValue, nullptr, true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        UrlOptions o;
        EXPECT_EQ(url_options_take(c.url, &o), c.status);
        if (c.status == UrlOptionsStatus::kOk) {
            EXPECT_STREQ(o.librtmp_url, c.librtmp_url);
            EXPECT_EQ(o.tls_verify, c.verify);
            EXPECT_STREQ(o.ca_file, c.ca_file);
        }
        url_options_free(&o);
    }
}

TEST(BracketedHost, FindsIpv6LiteralsOnly)
{
    struct Case {
        const char *url;
        HostForm form;
        size_t at, len;
    };
    const Case cases[] = {
        {"rtmp://[::1]:1935/live/s", HostForm::kBracketed, 7, 5},
        {"rtmps://[2001:db8::7]/live/s timeout=3", HostForm::kBracketed, 8, 13},
        {"rtmp://[::ffff:192.0.2.1]", HostForm::kBracketed, 7, 18},
        {"rtmp://[::1] tcUrl=rtmp://[x]/a", HostForm::kBracketed, 7, 5},
        {"rtmp://127.0.0.1:1935/live/s", HostForm::kPlain, 0, 0},
        {"rtmp://h/app/[::1]", HostForm::kPlain, 0, 0},
        {"no scheme [::1]", HostForm::kPlain, 0, 0},
        {"rtmp://", HostForm::kPlain, 0, 0},
        {"rtmp://[::1", HostForm::kBroken, 0, 0},
        {"rtmp://[::1 x]/a", HostForm::kBroken, 0, 0},
        {"rtmp://[]/live", HostForm::kBroken, 0, 0},
        {"rtmp://[127.0.0.1]/live", HostForm::kBroken, 0, 0},
        {"rtmp://[localhost]/live", HostForm::kBroken, 0, 0},
        {"rtmp://[::1]x/live", HostForm::kBroken, 0, 0},
        {"rtmp://[fe80::1%eth0]/live", HostForm::kBroken, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        BracketedHost host;
        EXPECT_EQ(find_bracketed_host(c.url, &host), c.form);
        EXPECT_EQ(host.at, c.at);
        EXPECT_EQ(host.len, c.len);
    }
}

TEST(BracketedHost, LibrtmpsRecordReadsTheUrlAsWritten)
{
    struct Case {
        const char *url;
        const char *hostname, *lookup, *tc_url;
        int port;
    };
    const Case cases[] = {
        {"rtmp://[::1]:1940/live/s", "[::1]", "::1", "rtmp://[::1]:1940/live", 1940},
        {"rtmps://[2001:db8::7]/app/s timeout=4", "[2001:db8::7]", "2001:db8::7", "rtmps://[2001:db8::7]/app", 443},
        {"rtmp://[::1]/live/s", "[::1]", "::1", "rtmp://[::1]/live", 1935},
        {"rtmp://localhost/live/s", "localhost", "localhost", "rtmp://localhost/live", 1935},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        RTMP r;
        RTMP_Init(&r);
        BracketedHost host;
        ASSERT_NE(find_bracketed_host(c.url, &host), HostForm::kBroken);
        LinkTexts texts;
        ASSERT_TRUE(link_texts_setup(&r, c.url, host, &texts));
        EXPECT_EQ(std::string(r.Link.hostname.av_val, r.Link.hostname.av_len), c.hostname);
        EXPECT_EQ(std::string(r.Link.tcUrl.av_val, r.Link.tcUrl.av_len), c.tc_url);
        EXPECT_EQ(r.Link.port, c.port);
        char lookup[64];
        ASSERT_TRUE(host_for_lookup(r.Link.hostname, lookup, sizeof lookup));
        EXPECT_STREQ(lookup, c.lookup);
        RTMP_Close(&r);
        link_texts_free(&r, &texts);
    }
}

}  // namespace
