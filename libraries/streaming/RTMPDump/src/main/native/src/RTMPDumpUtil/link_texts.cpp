// The connection record's own texts and the side table that keeps them.
#include "RTMPDumpUtil/link_texts.h"

#include "RTMPDumpUtil/counted_text.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace tavrel {

namespace {

const char kFlashVer[] = "FMLE/3.0 (compatible; FMSc/1.0)";

std::mutex kept_mutex;
std::unordered_map<RTMP *, LinkTexts> kept_by_rtmp;

// librtmp frees its parsed play path in RTMP_Close but leaves Link.playpath
// pointing at it, and the authentication retry closes and connects the same
// record again. The record therefore keeps its own copy, and librtmp's is
// released at once.
bool is_in_url(const LinkTexts &texts, const char *p)
{
    return p >= texts.url && p < texts.url + std::strlen(texts.url) + 1;
}

void take_playpath(RTMP *r, LinkTexts *texts)
{
    AVal &parsed = r->Link.playpath0;
    if (!parsed.av_val)
        return;
    const bool in_url = is_in_url(*texts, parsed.av_val);
    texts->playpath = owned_text(parsed.av_val, size_t(parsed.av_len));
    if (!texts->playpath)
        return;
    if (r->Link.playpath.av_val == parsed.av_val)
        r->Link.playpath = AVal{texts->playpath, parsed.av_len};
    if (!in_url)
        std::free(parsed.av_val);
    parsed = AVal{nullptr, 0};
}

// With a socks= option librtmp copies the proxy's host name (strdup) and
// never frees the copy: the record owns it from here.
void take_socks_host(RTMP *r, LinkTexts *texts)
{
    char *host = r->Link.sockshost.av_val;
    if (host && !is_in_url(*texts, host))
        texts->socks_host = host;
}

// Appends the token to one of the URL-derived fields. The old text is freed
// when an earlier round made it, or when librtmp made it and would free it
// itself on close (lflag_owned): from now on it is ours.
void append_token(AVal &field, const AVal &token, bool is_uri_alloc, int &lflags, int lflag_owned)
{
    const int old_len = field.av_len > 0 ? field.av_len : 0;
    char *text = owned_text(field.av_val, size_t(old_len), token.av_val, size_t(token.av_len));
    if (!text)
        return;
    if (field.av_val && (is_uri_alloc || (lflags & lflag_owned)))
        std::free(field.av_val);
    lflags &= ~lflag_owned;
    field.av_val = text;
    field.av_len = old_len + token.av_len;
}

}  // namespace

bool link_texts_setup(RTMP *r, const char *url, const BracketedHost &host, LinkTexts *texts)
{
    texts->url = owned_text(url, strnlen(url, INT_MAX - 1));
    if (!texts->url)
        return false;
    // librtmp reads a host up to ":" or "/"; "x" is a host name to it.
    std::memset(texts->url + host.at, 'x', host.len);
    if (!RTMP_SetupURL(r, texts->url))
        return false;
    if (host.len) {
        std::memcpy(texts->url + host.at, url + host.at, host.len);
        r->Link.hostname = AVal{texts->url + host.at, static_cast<int>(host.len)};
    }
    take_playpath(r, texts);
    take_socks_host(r, texts);
    texts->flash_ver = owned_text(kFlashVer, sizeof kFlashVer - 1);
    r->Link.flashVer = AVal{texts->flash_ver, static_cast<int>(sizeof kFlashVer - 1)};
    texts->swf_url = owned_text(r->Link.tcUrl.av_val, size_t(av_text_len(r->Link.tcUrl)));
    r->Link.swfUrl = AVal{texts->swf_url, texts->swf_url ? r->Link.tcUrl.av_len : 0};
    return true;
}

void link_texts_append_token(RTMP *r, const AVal &token, int *is_uri_alloc)
{
    append_token(r->Link.app, token, *is_uri_alloc != 0, r->Link.lFlags, RTMP_LF_FAPU);
    append_token(r->Link.tcUrl, token, *is_uri_alloc != 0, r->Link.lFlags, RTMP_LF_FTCU);
    *is_uri_alloc = 1;
}

void link_texts_keep(RTMP *r, const LinkTexts &texts)
{
    std::lock_guard<std::mutex> lock(kept_mutex);
    kept_by_rtmp[r] = texts;
}

void link_texts_release(RTMP *r)
{
    LinkTexts texts;
    {
        std::lock_guard<std::mutex> lock(kept_mutex);
        auto it = kept_by_rtmp.find(r);
        if (it == kept_by_rtmp.end())
            return;
        texts = it->second;
        kept_by_rtmp.erase(it);
    }
    link_texts_free(r, &texts);
}

void link_texts_free(RTMP *r, LinkTexts *texts)
{
    if (texts->is_uri_alloc) {
        std::free(r->Link.app.av_val);
        std::free(r->Link.tcUrl.av_val);
        r->Link.app = AVal{nullptr, 0};
        r->Link.tcUrl = AVal{nullptr, 0};
    }
    if (r->Link.flashVer.av_val == texts->flash_ver)
        r->Link.flashVer = AVal{nullptr, 0};
    if (r->Link.swfUrl.av_val == texts->swf_url)
        r->Link.swfUrl = AVal{nullptr, 0};
    if (r->Link.playpath.av_val == texts->playpath)
        r->Link.playpath = AVal{nullptr, 0};
    if (r->Link.sockshost.av_val == texts->socks_host)
        r->Link.sockshost = AVal{nullptr, 0};
    std::free(texts->flash_ver);
    std::free(texts->swf_url);
    std::free(texts->playpath);
    std::free(texts->socks_host);
    std::free(texts->url);
    tls_trust_free(texts->tls_trust);
    *texts = LinkTexts{};
}

}  // namespace tavrel
