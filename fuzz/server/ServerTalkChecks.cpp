#include "ServerTalkChecks.h"
#include "../common/FuzzCheck.h"

#include "LoopbackLink.h"
#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/server_reader.h"

#include <librtmp/log.h>
#include <signal.h>

#include <algorithm>

namespace {

// Within a socket pair's buffer, so that the server's write never waits.
constexpr size_t kMaxInput = 64 * 1024;
constexpr int kWindows[] = {0, 1, 64, 4096};

}  // namespace

void server_talk_checks_init()
{
    signal(SIGPIPE, SIG_IGN);
    RTMP_LogSetLevel(RTMP_LOGCRIT);
}

void check_server_talk(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kMaxInput)
        return;
    const uint8_t selector = data[0];
    const uint8_t *talk = data + 1;
    const size_t talk_len = size - 1;
    const size_t first_part = std::min(talk_len, size_t(selector >> 4) * 16);

    LoopbackLink link;
    RTMP *r = link.rtmp();
    r->m_nServerBW = kWindows[selector & 3];
    tavrel::MessageWriter *w = tavrel::message_writer_new(r);
    tavrel::ServerReader *sr = tavrel::server_reader_new(r);
    CHECK(w && sr);

    link.server_sends(talk, first_part);
    uint64_t acked = 0;
    // Each look reads at least a chunk or a part of what has arrived, or
    // finds nothing: a few looks per byte are plenty.
    const size_t looks = 2 * talk_len + 16;
    for (size_t i = 0; i < looks && !tavrel::server_reader_is_link_done(sr); i++) {
        if (i == 1) {
            link.server_sends(talk + first_part, talk_len - first_part);
            if (selector & 4)
                link.server_closes();
        }
        tavrel::server_reader_pump(sr, w, r, 0);
        const uint64_t now = tavrel::server_reader_bytes_acked(sr);
        CHECK(now >= acked);
        acked = now;
    }
    tavrel::server_reader_free(sr);
    tavrel::message_writer_free(w);
    link.finish();
    CHECK(link.decoded_cleanly());
}
