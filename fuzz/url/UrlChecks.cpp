#include "UrlChecks.h"
#include "../common/FuzzCheck.h"

#include "RTMPDumpUtil/link_texts.h"
#include "RTMPDumpUtilInternal.h"

#include <cstring>
#include <string>

using namespace tavrel;

namespace {

// The record as the URL set it up: the bracketed host reads as written,
// and what is looked up carries no brackets.
void check_setup(const char *url, const BracketedHost &host)
{
    RTMP r;
    RTMP_Init(&r);
    LinkTexts texts;
    if (link_texts_setup(&r, url, host, &texts)) {
        const AVal &name = r.Link.hostname;
        if (host.len) {
            CHECK(name.av_len == static_cast<int>(host.len) && std::memcmp(name.av_val, url + host.at, host.len) == 0);
        }
        char lookup[1025];
        if (host_for_lookup(name, lookup, sizeof lookup)) {
            CHECK(std::strlen(lookup) > 0);
            CHECK(!host.len || (!std::strchr(lookup, '[') && !std::strchr(lookup, ']')));
        }
    }
    RTMP_Close(&r);
    link_texts_free(&r, &texts);
}

}  // namespace

void url_checks_init() { RTMP_LogSetLevel(RTMP_LOGCRIT); }

void check_url(const uint8_t *data, size_t size)
{
    const std::string url(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    UrlOptions options;
    const UrlOptionsStatus status = url_options_take(url.c_str(), &options);
    CHECK(status == UrlOptionsStatus::kOk || status == UrlOptionsStatus::kBadValue);
    if (status == UrlOptionsStatus::kOk) {
        CHECK(std::strlen(options.librtmp_url) <= url.size());
        CHECK(!options.ca_file || std::strlen(options.ca_file) > 0);
        // None of ours is left for librtmp to refuse: a second pass finds
        // nothing to take.
        UrlOptions again;
        CHECK(url_options_take(options.librtmp_url, &again) == UrlOptionsStatus::kOk);
        CHECK(std::strcmp(again.librtmp_url, options.librtmp_url) == 0 && again.tls_verify && !again.ca_file);
        url_options_free(&again);

        BracketedHost host;
        const HostForm form = find_bracketed_host(options.librtmp_url, &host);
        if (form == HostForm::kBracketed) {
            CHECK(host.len >= 4 && host.at + host.len <= std::strlen(options.librtmp_url));
            CHECK(options.librtmp_url[host.at] == '[' && options.librtmp_url[host.at + host.len - 1] == ']');
        } else {
            CHECK(host.len == 0);
        }
        if (form != HostForm::kBroken)
            check_setup(options.librtmp_url, host);
    }
    url_options_free(&options);
}
