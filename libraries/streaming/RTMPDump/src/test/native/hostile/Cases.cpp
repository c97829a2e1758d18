#include "Cases.h"

#include <cstdlib>

namespace hostile {

namespace {

constexpr int kConnectFailed = -3;  // RTMP_Connect (TCP, handshake, the connect command's write)
constexpr int kNotPublished = -4;   // anything between connect and the start of the publish

}  // namespace

const std::vector<Case> &cases()
{
    static const std::vector<Case> all = [] {
        std::vector<Case> out;
        // Scenarios in this order, each group with its outcome and results.
        auto add = [&out](Outcome outcome, int result, std::initializer_list<const char *> scenarios) {
            for (const char *scenario : scenarios)
                out.push_back({scenario, outcome, {result}});
        };
        add(Outcome::kHealthy, 0, {"ok"});
        // Handshake: RTMP_Connect fails at the step the server left.
        add(Outcome::kRefused, kConnectFailed,
            {"close-on-accept", "close-before-s0", "close-after-s0", "close-mid-s1", "close-after-s0s1",
             "silent-before-s0"});
        // librtmp only warns about a version it did not ask for.
        add(Outcome::kHealthy, 0, {"wrong-version"});
        // The handshake is done and connect is written: the rest is the
        // stream connection's.
        add(Outcome::kRefused, kNotPublished,
            {"close-after-s2", "close-at-connect", "reset-at-connect", "silent-at-connect", "close-at-createstream",
             "close-at-publish", "silent-at-publish", "publish-rejected"});
        // Broken chunks and messages (after a length change mid-message, or
        // with interleaved messages, librtmp would write the following
        // chunks past the old body).
        add(Outcome::kRefused, kNotPublished,
            {"garbage-after-handshake", "truncated-chunk-header", "truncated-chunk-body", "truncated-continuation",
             "length-change-mid-message", "interleaved-messages", "truncated-chunk-stall", "huge-message-length",
             "orphan-continuation"});
        add(Outcome::kHealthy, 0, {"huge-chunk-size"});
        add(Outcome::kRefused, kNotPublished, {"negative-chunk-size", "zero-chunk-size"});
        add(Outcome::kHealthy, 0, {"unknown-message-types", "short-control-messages"});
        // _error answers to connect: never an authentication loop, never a
        // read of a value that is not there.
        add(Outcome::kRefused, kNotPublished,
            {"error-info-number", "error-info-missing", "error-info-empty", "error-wrong-types",
             "error-truncated-amf", "error-name-not-string", "error-txn-unmatched", "error-txn-not-number",
             "error-huge-description", "error-empty-challenge", "error-unknown-authmod", "needauth-forever-adobe",
             "needauth-forever-llnw", "needauth-first-stage-forever"});
        // Published, then the server fails.
        add(Outcome::kDies, 0, {"close-after-publish", "close-mid-stream", "reset-mid-stream", "stop-reading"});
        // The server talks while the client publishes: pings and a small
        // acknowledgement window are answered; a status that ends the
        // publish (or the connection) reaches the next send.
        add(Outcome::kHealthy, 0, {"ping-mid-stream", "small-ack-window", "flood"});
        add(Outcome::kEndedByServer, 0, {"publish-failed-mid-stream", "connect-closed-mid-stream"});
        return out;
    }();
    return all;
}

const std::vector<const char *> &mid_stream_faults()
{
    static const std::vector<const char *> faults = {"stop-reading", "close-mid-stream", "reset-mid-stream",
                                                     "publish-failed-mid-stream"};
    return faults;
}

const char *skip_reason(const Case &c)
{
    const char *all = std::getenv("TAVREL_HOSTILE_ALL");
    return (all && std::string(all) == "1") ? nullptr : c.librtmp_fault;
}

std::string codes_text(const std::vector<int> &codes)
{
    std::string out;
    for (size_t i = 0; i < codes.size(); i++)
        out += (i ? " or " : "") + std::to_string(codes[i]);
    return out;
}

}  // namespace hostile
