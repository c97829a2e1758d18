// TLS under an rtmps / rtmpts link, set up by us before librtmp's RTMP
// handshake (librtmp's own sends no server name, verifies nothing and
// trusts a ca.pem in the working directory). librtmp reads and writes
// through the session once it is in RTMPSockBuf.sb_ssl, and ends it when it
// closes the link.
#ifndef TAVREL_RTMPDUMPUTIL_TLS_SESSION_H
#define TAVREL_RTMPDUMPUTIL_TLS_SESSION_H

#include <librtmp/rtmp.h>

#include <cstddef>

namespace tavrel {

// The certificates a link trusts, loaded at its first TLS connection and
// kept as long as its record: every session of the record refers to them.
struct TlsTrust;

void tls_trust_free(TlsTrust *trust);

struct TlsPolicy {
    bool verify;          // false only by the URL's explicit tlsVerify=0
    const char *ca_file;  // a PEM bundle trusted instead of the system's store, or null
};

// Starts TLS on r's connected socket towards host (the URL's host without
// brackets): the server name unless host is an address, the certificate
// checked against the trust and host, the handshake bounded by timeout_ms.
// TAVREL_CONNECT_OK with the session in r->m_sb.sb_ssl, or
// TAVREL_CONNECT_TLS_VERIFY, TAVREL_CONNECT_HANDSHAKE or (the CA file cannot
// be read) TAVREL_CONNECT_BAD_URL, logged; the socket is left to the caller.
int tls_start(RTMP *r, const char *host, const TlsPolicy &policy, TlsTrust **trust, int timeout_ms);

// The verification failures of a status (gnutls_certificate_status_t bits)
// in words: "unknown issuer, expired", "host name mismatch", ...
void tls_verify_reasons(unsigned status, char *buf, size_t size);

}  // namespace tavrel

#endif
