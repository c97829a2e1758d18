// What the client must make of each hostile-server scenario.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace hostile {

enum class Outcome {
    kRefused,  // the connection ends with a failure code
    kHealthy,  // the stream is published and media keeps flowing
    kDies,     // the stream is published, then a send fails: reconnect
    // The stream is published, then the server ends it by a message and
    // reads on: the publisher's next send says reconnect, as for kDies;
    // librtmp's own sender, which never reads, goes on sending.
    kEndedByServer,
};

struct Case {
    const char *scenario;
    Outcome outcome;
    // The connect_rtmp_w results allowed (0 once published).
    std::vector<int> connect_results;
    // Set when the case makes librtmp itself corrupt memory: it is skipped
    // (with this reason) unless TAVREL_HOSTILE_ALL=1, for whoever guards it.
    const char *librtmp_fault = nullptr;
};

// For test names and failure messages.
inline std::string case_words(const Case &c) { return c.scenario; }
inline void PrintTo(const Case &c, std::ostream *os) { *os << c.scenario; }

// The reason to skip c, or null when it runs.
const char *skip_reason(const Case &c);

const std::vector<Case> &cases();

// The scenarios in which the server fails once media flows.
const std::vector<const char *> &mid_stream_faults();

// "-3", "-3 or -4".
std::string codes_text(const std::vector<int> &codes);

}  // namespace hostile
