/* Uses one call of each of the three libraries, as a program outside the
 * project would: the FLV file header, a null AAC record released, and a
 * connect refused for a bad URL (librtmp and its TLS libraries load). */
#include <stdio.h>
#include <string.h>

#include "Mirabe.h"
#include "Quorlen.h"
#include "Tavrel.h"

int main(void)
{
    static const uint8_t expected[13] = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
    uint8_t header[13];
    if (write_flv_header(header, 1, 1) != 13 || memcmp(header, expected, sizeof expected) != 0) {
        fprintf(stderr, "write_flv_header wrote the wrong bytes\n");
        return 1;
    }
    free_aac_data(NULL);
    int rc = tavrel_test_connect("not a url");
    if (rc != -2) {
        fprintf(stderr, "tavrel_test_connect(\"not a url\") gave %d, not -2\n", rc);
        return 1;
    }
    puts("consumer: ok");
    return 0;
}
