// Publisher authentication: the token for the application name and tcUrl
// when a server's _error answer to connect demands authmod=adobe or
// authmod=llnw.
#ifndef TAVREL_RTMPDUMPUTIL_PUBLISHER_AUTH_H
#define TAVREL_RTMPDUMPUTIL_PUBLISHER_AUTH_H

#include <librtmp/rtmp.h>

extern "C" {

/* 1 (first-stage token) or 2 (second-stage token) with *pubToken a heap
 * text the caller frees; -1 to -6 for the refusals, logged. */
int PublisherAuth_v2(RTMP *r, AVal *description, AVal *username, AVal *password, AVal *pubToken);

/* Base64 of length bytes with a NUL; 1, or 0 when it fails. */
int b64enc(const unsigned char *input, int length, char *output, int maxsize);
/* 2 * len lower-case hexadecimal digits and a NUL. */
void hexenc(unsigned char *inbuf, int len, char *dst);
/* The first c among the av_len characters of av, or null. */
char *AValChr(AVal *av, char c);

}  // extern "C"

#endif
