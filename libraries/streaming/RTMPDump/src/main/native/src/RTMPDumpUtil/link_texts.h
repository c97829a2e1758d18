// What a connection record points to that librtmp will not free: the URL
// that Link.hostname / app / tcUrl point into, the encoder identity, the
// swfUrl copy, the play path and the SOCKS host (taken over from librtmp),
// after an
// authentication round the rewritten app and tcUrl, and the certificates its
// TLS sessions trust. They live as long as the record, from connect_rtmp_w
// to close_rtmp_w.
#ifndef TAVREL_RTMPDUMPUTIL_LINK_TEXTS_H
#define TAVREL_RTMPDUMPUTIL_LINK_TEXTS_H

#include "RTMPDumpUtil/tls_session.h"
#include "RTMPDumpUtil/url_host.h"

#include <librtmp/rtmp.h>

namespace tavrel {

struct LinkTexts {
    char *url = nullptr;
    char *flash_ver = nullptr;
    char *swf_url = nullptr;
    char *playpath = nullptr;
    char *socks_host = nullptr;
    bool is_uri_alloc = false;  // Link.app and Link.tcUrl are ours
    TlsTrust *tls_trust = nullptr;
};

// Sets r up from a copy of url (RTMP_SetupURL), then presents the live
// encoder's identity with the tcUrl as swfUrl. An IPv6 literal host (at
// host, len 0 for none) is shown to librtmp as a stand-in of its length and
// written back afterwards: Link.hostname then reads "[...]" and tcUrl the
// URL as given. false when the URL is not accepted; texts then holds
// whatever has to be freed all the same.
bool link_texts_setup(RTMP *r, const char *url, const BracketedHost &host, LinkTexts *texts);

// Appends an authentication token to Link.app and to Link.tcUrl. From the
// first round on (*is_uri_alloc set to 1) both are heap texts of ours.
void link_texts_append_token(RTMP *r, const AVal &token, int *is_uri_alloc);

// RTMP has no room for a pointer of ours, so what a connected record owns
// is kept by its address until link_texts_release, which frees it.
void link_texts_keep(RTMP *r, const LinkTexts &texts);
void link_texts_release(RTMP *r);

// Frees texts, unhooking the fields of r that point at them first.
void link_texts_free(RTMP *r, LinkTexts *texts);

}  // namespace tavrel

#endif
