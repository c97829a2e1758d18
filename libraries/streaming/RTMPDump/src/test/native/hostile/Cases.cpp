#include "Cases.h"

#include <cstdlib>

namespace hostile {

namespace {

constexpr int kConnectFailed = -3;  // RTMP_Connect (TCP, handshake, the connect command's write)
constexpr int kNotPublished = -4;   // anything between connect and the start of the publish

}  // namespace

const std::vector<Case> &cases()
{
    static const std::vector<Case> all = {
        {"ok", Outcome::kHealthy, {0}},
        // Handshake: RTMP_Connect fails at the step the server left.
        {"close-on-accept", Outcome::kRefused, {kConnectFailed}},
        {"close-before-s0", Outcome::kRefused, {kConnectFailed}},
        {"close-after-s0", Outcome::kRefused, {kConnectFailed}},
        {"close-mid-s1", Outcome::kRefused, {kConnectFailed}},
        {"close-after-s0s1", Outcome::kRefused, {kConnectFailed}},
        {"silent-before-s0", Outcome::kRefused, {kConnectFailed}},
        // librtmp only warns about a version it did not ask for.
        {"wrong-version", Outcome::kHealthy, {0}},
        // The handshake is done and connect is written: the rest is the
        // stream connection's.
        {"close-after-s2", Outcome::kRefused, {kNotPublished}},
        {"close-at-connect", Outcome::kRefused, {kNotPublished}},
        {"reset-at-connect", Outcome::kRefused, {kNotPublished}},
        {"silent-at-connect", Outcome::kRefused, {kNotPublished}},
        {"close-at-createstream", Outcome::kRefused, {kNotPublished}},
        {"close-at-publish", Outcome::kRefused, {kNotPublished}},
        {"silent-at-publish", Outcome::kRefused, {kNotPublished}},
        {"publish-rejected", Outcome::kRefused, {kNotPublished}},
        // Broken chunks and messages.
        {"garbage-after-handshake", Outcome::kRefused, {kNotPublished}},
        {"truncated-chunk-header", Outcome::kRefused, {kNotPublished}},
        {"truncated-chunk-body", Outcome::kRefused, {kNotPublished}},
        {"truncated-continuation", Outcome::kRefused, {kNotPublished}},
        // librtmp would write the following chunks past the old body.
        {"length-change-mid-message", Outcome::kRefused, {kNotPublished}},
        {"interleaved-messages", Outcome::kRefused, {kNotPublished}},
        {"truncated-chunk-stall", Outcome::kRefused, {kNotPublished}},
        {"huge-message-length", Outcome::kRefused, {kNotPublished}},
        {"orphan-continuation", Outcome::kRefused, {kNotPublished}},
        {"huge-chunk-size", Outcome::kHealthy, {0}},
        {"negative-chunk-size", Outcome::kRefused, {kNotPublished}},
        {"zero-chunk-size", Outcome::kRefused, {kNotPublished}},
        {"unknown-message-types", Outcome::kHealthy, {0}},
        {"short-control-messages", Outcome::kHealthy, {0}},
        // _error answers to connect: never an authentication loop, never a
        // read of a value that is not there.
        {"error-info-number", Outcome::kRefused, {kNotPublished}},
        {"error-info-missing", Outcome::kRefused, {kNotPublished}},
        {"error-info-empty", Outcome::kRefused, {kNotPublished}},
        {"error-wrong-types", Outcome::kRefused, {kNotPublished}},
        {"error-truncated-amf", Outcome::kRefused, {kNotPublished}},
        {"error-name-not-string", Outcome::kRefused, {kNotPublished}},
        {"error-txn-unmatched", Outcome::kRefused, {kNotPublished}},
        {"error-txn-not-number", Outcome::kRefused, {kNotPublished}},
        {"error-huge-description", Outcome::kRefused, {kNotPublished}},
        {"error-empty-challenge", Outcome::kRefused, {kNotPublished}},
        {"error-unknown-authmod", Outcome::kRefused, {kNotPublished}},
        {"needauth-forever-adobe", Outcome::kRefused, {kNotPublished}},
        {"needauth-forever-llnw", Outcome::kRefused, {kNotPublished}},
        {"needauth-first-stage-forever", Outcome::kRefused, {kNotPublished}},
        // Published, then the server fails.
        {"close-after-publish", Outcome::kDies, {0}},
        {"close-mid-stream", Outcome::kDies, {0}},
        {"reset-mid-stream", Outcome::kDies, {0}},
        {"stop-reading", Outcome::kDies, {0}},
    };
    return all;
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
