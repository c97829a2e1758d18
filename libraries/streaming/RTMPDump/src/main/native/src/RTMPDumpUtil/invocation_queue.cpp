// The invocation queue: entries in librtmp's layout, names as heap texts
// that whoever takes an entry off frees.
#include "RTMPDumpUtil/invocation_queue.h"

#include "RTMPDumpUtil/counted_text.h"

#include <librtmp/log.h>

#include <cstdlib>

extern "C" {

void AV_queue_v2(RTMP_METHOD **vals, int *num, AVal *av, int txn)
{
    if (!vals || !num || !av || *num < 0 || av->av_len < 0 || (!av->av_val && av->av_len > 0))
        return;
    // The array grows in blocks of 16 entries, as librtmp's own queue does,
    // so both may append to the same queue.
    if (*num % 16 == 0) {
        auto *grown = static_cast<RTMP_METHOD *>(std::realloc(*vals, sizeof(RTMP_METHOD) * size_t(*num + 16)));
        if (!grown) {
            RTMP_Log(RTMP_LOGERROR, "AV_queue_v2: no memory; %.*s not queued", av->av_len, av->av_val);
            return;
        }
        *vals = grown;
    }
    // The reader prints the name as a C string and frees it.
    char *copy = tavrel::owned_text(av->av_val, size_t(av->av_len));
    if (!copy) {
        RTMP_Log(RTMP_LOGERROR, "AV_queue_v2: no memory; %.*s not queued", av->av_len, av->av_val);
        return;
    }
    RTMP_METHOD &entry = (*vals)[*num];
    entry.name.av_val = copy;
    entry.name.av_len = av->av_len;
    entry.num = txn;
    ++*num;
}

// librtmp keeps its own queue append private; ours does the same job.
void AV_queue(RTMP_METHOD **vals, int *num, AVal *av, int txn) { AV_queue_v2(vals, num, av, txn); }

void AV_erase(RTMP_METHOD *vals, int *num, int i, int freeit)
{
    if (!vals || !num || i < 0 || i >= *num)
        return;
    if (freeit)
        std::free(vals[i].name.av_val);
    (*num)--;
    for (; i < *num; i++)
        vals[i] = vals[i + 1];
    vals[i].name.av_val = nullptr;
    vals[i].name.av_len = 0;
    vals[i].num = 0;
}

}  // extern "C"
