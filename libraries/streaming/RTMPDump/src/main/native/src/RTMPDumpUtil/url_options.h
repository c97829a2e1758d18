// The connection options of our own among librtmp's URL options ("URL
// key=value key=value"): they are taken out before the URL reaches
// librtmp, which refuses options it does not know.
#ifndef TAVREL_RTMPDUMPUTIL_URL_OPTIONS_H
#define TAVREL_RTMPDUMPUTIL_URL_OPTIONS_H

namespace tavrel {

struct UrlOptions {
    char *librtmp_url = nullptr;  // the URL with librtmp's options, ours taken out
    char *ca_file = nullptr;      // tlsCAFile, unescaped; null: the system's trust store
    bool tls_verify = true;       // tlsVerify
};

enum class UrlOptionsStatus {
    kOk,
    kBadValue,  // one of our options has a value we do not understand (logged)
    kNoMemory,
};

// Splits url into *out (freed with url_options_free in every case). Keys
// are matched as librtmp matches its own: exactly, up to the "=", and a
// value runs to the next space, with "\XX" (two hexadecimal digits) for a
// byte, "\20" for a space. The last of repeated options counts.
UrlOptionsStatus url_options_take(const char *url, UrlOptions *out);

void url_options_free(UrlOptions *options);

}  // namespace tavrel

#endif
