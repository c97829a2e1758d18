// The client's TLS session with GnuTLS (librtmp's own TLS library here).
#include "RTMPDumpUtil/tls_session.h"

#include "RTMPDumpUtil/address_dialer.h"
#include "RTMPDumpUtil/url_host.h"
#include "Tavrel.h"

#include <gnutls/gnutls.h>
#include <librtmp/log.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavrel {

struct TlsTrust {
    gnutls_certificate_credentials_t credentials;
};

namespace {

// Made once per record: the system store takes a few milliseconds to load.
int load_trust(const TlsPolicy &policy, TlsTrust **trust)
{
    if (*trust)
        return TAVREL_CONNECT_OK;
    auto *made = static_cast<TlsTrust *>(std::calloc(1, sizeof(TlsTrust)));
    if (!made || gnutls_certificate_allocate_credentials(&made->credentials) < 0) {
        std::free(made);
        RTMP_Log(RTMP_LOGERROR, "%s, out of memory for the TLS credentials", "connect_rtmp_w");
        return TAVREL_CONNECT_HANDSHAKE;
    }
    if (policy.verify && policy.ca_file) {
        const int n = gnutls_certificate_set_x509_trust_file(made->credentials, policy.ca_file, GNUTLS_X509_FMT_PEM);
        if (n <= 0) {
            RTMP_Log(RTMP_LOGERROR, "%s, no certificate read from tlsCAFile %s: %s", "connect_rtmp_w", policy.ca_file,
                     n < 0 ? gnutls_strerror(n) : "none in it");
            tls_trust_free(made);
            return TAVREL_CONNECT_BAD_URL;
        }
    } else if (policy.verify && gnutls_certificate_set_x509_system_trust(made->credentials) <= 0) {
        // Every certificate will then fail as of an unknown issuer.
        RTMP_Log(RTMP_LOGWARNING, "%s, the system's trust store holds no certificate", "connect_rtmp_w");
    }
    *trust = made;
    return TAVREL_CONNECT_OK;
}

gnutls_session_t new_session(RTMP *r, const char *host, const TlsPolicy &policy, TlsTrust *trust, int timeout_ms)
{
    gnutls_session_t session = nullptr;
    if (gnutls_init(&session, GNUTLS_CLIENT) < 0)
        return nullptr;
    const bool ok = gnutls_set_default_priority(session) >= 0 &&
                    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, trust->credentials) >= 0 &&
                    (is_ip_literal(host) ||
                     gnutls_server_name_set(session, GNUTLS_NAME_DNS, host, std::strlen(host)) >= 0);
    if (!ok) {
        gnutls_deinit(session);
        return nullptr;
    }
    if (policy.verify)
        gnutls_session_set_verify_cert(session, host, 0);
    gnutls_transport_set_int(session, r->m_sb.sb_socket);
    gnutls_handshake_set_timeout(session, static_cast<unsigned>(timeout_ms));
    return session;
}

int handshake(gnutls_session_t session, int timeout_ms)
{
    const long long deadline = monotonic_ms() + timeout_ms;
    int rc;
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && !gnutls_error_is_fatal(rc) && monotonic_ms() < deadline);
    return rc;
}

}  // namespace

void tls_trust_free(TlsTrust *trust)
{
    if (!trust)
        return;
    gnutls_certificate_free_credentials(trust->credentials);
    std::free(trust);
}

void tls_verify_reasons(unsigned status, char *buf, size_t size)
{
    static const struct {
        unsigned bit;
        const char *words;
    } kReasons[] = {
        {GNUTLS_CERT_SIGNER_NOT_FOUND, "unknown issuer"},
        {GNUTLS_CERT_EXPIRED, "expired"},
        {GNUTLS_CERT_NOT_ACTIVATED, "not yet valid"},
        {GNUTLS_CERT_UNEXPECTED_OWNER, "host name mismatch"},
        {GNUTLS_CERT_REVOKED, "revoked"},
        {GNUTLS_CERT_SIGNER_NOT_CA, "issuer is not a CA"},
        {GNUTLS_CERT_INSECURE_ALGORITHM, "insecure algorithm"},
        {GNUTLS_CERT_SIGNATURE_FAILURE, "bad signature"},
        {GNUTLS_CERT_SIGNER_CONSTRAINTS_FAILURE, "issuer constraints violated"},
        {GNUTLS_CERT_PURPOSE_MISMATCH, "not for a TLS server"},
    };
    size_t used = 0;
    buf[0] = '\0';
    for (const auto &r : kReasons) {
        if (!(status & r.bit) || used >= size)
            continue;
        const int n = std::snprintf(buf + used, size - used, "%s%s", used ? ", " : "", r.words);
        used += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (!used)
        std::snprintf(buf, size, "not trusted");
}

int tls_start(RTMP *r, const char *host, const TlsPolicy &policy, TlsTrust **trust, int timeout_ms)
{
    const int loaded = load_trust(policy, trust);
    if (loaded != TAVREL_CONNECT_OK)
        return loaded;
    if (!policy.verify)
        RTMP_Log(RTMP_LOGWARNING, "%s, tlsVerify=0: the certificate of %s is not verified; anyone on the path can "
                 "pose as the server", "connect_rtmp_w", host);
    gnutls_session_t session = new_session(r, host, policy, *trust, timeout_ms);
    if (!session) {
        RTMP_Log(RTMP_LOGERROR, "%s, cannot set up a TLS session", "connect_rtmp_w");
        return TAVREL_CONNECT_HANDSHAKE;
    }
    const int rc = handshake(session, timeout_ms);
    if (rc >= 0) {
        r->m_sb.sb_ssl = session;
        return TAVREL_CONNECT_OK;
    }
    int result = TAVREL_CONNECT_HANDSHAKE;
    if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        char reasons[160];
        tls_verify_reasons(gnutls_session_get_verify_cert_status(session), reasons, sizeof reasons);
        RTMP_Log(RTMP_LOGERROR, "%s, server certificate of %s not verified: %s", "connect_rtmp_w", host, reasons);
        result = TAVREL_CONNECT_TLS_VERIFY;
    } else {
        RTMP_Log(RTMP_LOGERROR, "%s, TLS handshake with %s failed: %s", "connect_rtmp_w", host, gnutls_strerror(rc));
    }
    gnutls_deinit(session);
    return result;
}

}  // namespace tavrel
