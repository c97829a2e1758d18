#include "ServerTalkChecks.h"
#include "../common/FuzzCheck.h"

#include "LoopbackLink.h"
#include "RTMPDumpUtil/graceful_close.h"
#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/server_reader.h"

#include <librtmp/log.h>
#include <signal.h>

#include <algorithm>

namespace {

// Within a socket pair's buffer, so that the server's write never waits.
constexpr size_t kMaxInput = 64 * 1024;
constexpr int kWindows[] = {0, 1, 64, 4096};
// What one look can make the reader answer: a pong or an acknowledgement
// for each of the few chunks it reads, far below this.
constexpr size_t kMaxAnswersPerLook = 4096;
// The graceful end's bound when the server closes: everything has arrived
// by then, so only a reader that cannot see the close waits it out.
constexpr int kCloseBoundMs = 2000;

// Where the reader stands in what the server sent: a look that leaves it
// unchanged took nothing.
struct ReadState {
    const char *start;
    int buffered;
    int bytes_in;
    bool operator==(const ReadState &o) const
    {
        return start == o.start && buffered == o.buffered && bytes_in == o.bytes_in;
    }
};

ReadState read_state(const RTMP *r) { return {r->m_sb.sb_start, r->m_sb.sb_size, r->m_nBytesIn}; }

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

    // The answers are decoded after every look, so no reader thread is
    // needed: starting one per input cost more than the reader under test.
    LoopbackLink link(kMaxAnswersPerLook);
    RTMP *r = link.rtmp();
    r->m_nServerBW = kWindows[selector & 3];
    tavrel::MessageWriter *w = tavrel::message_writer_new(r);
    tavrel::ServerReader *sr = tavrel::server_reader_new(r);
    CHECK(w && sr);

    link.server_sends(talk, first_part);
    uint64_t acked = 0;
    // Each look reads at least a chunk or a part of what has arrived, or
    // finds nothing: a few looks per byte are plenty. Once everything has
    // been sent, a look that takes nothing ends the input (a cut chunk
    // stays cut). With a graceful end, the end reads what two looks left.
    const size_t looks = (selector & 8) ? 2 : 2 * talk_len + 16;
    for (size_t i = 0; i < looks && !tavrel::server_reader_is_link_done(sr); i++) {
        if (i == 1) {
            link.server_sends(talk + first_part, talk_len - first_part);
            if (selector & 4)
                link.server_closes();
        }
        const ReadState before = read_state(r);
        const uint64_t written = tavrel::message_writer_bytes_written(w);
        tavrel::server_reader_pump(sr, w, r, 0);
        if (tavrel::message_writer_bytes_written(w) != written)
            link.drain();
        const uint64_t now = tavrel::server_reader_bytes_acked(sr);
        CHECK(now >= acked);
        acked = now;
        if (i >= 1 && read_state(r) == before)
            break;
    }
    if (selector & 8) {
        // A server that never closes is given no time: the end is only read.
        const bool closed = tavrel::end_publish(r, w, sr, (selector & 4) ? kCloseBoundMs : 0);
        // Not closed also when we cut the link on what the server sent.
        CHECK(!closed || tavrel::server_reader_is_link_done(sr));
        CHECK(tavrel::server_reader_bytes_acked(sr) >= acked);
        link.drain();
    }
    // A server that shut its side is seen to have gone, whatever it sent.
    if (selector & 4)
        CHECK(tavrel::server_reader_is_link_done(sr));
    tavrel::server_reader_free(sr);
    tavrel::message_writer_free(w);
    link.finish();
    CHECK(link.decoded_cleanly());
}
