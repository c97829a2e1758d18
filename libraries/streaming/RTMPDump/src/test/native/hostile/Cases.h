// What the client must make of each hostile-server scenario.
#pragma once

#include <string>
#include <vector>

namespace hostile {

enum class Outcome {
    kRefused,  // the connection ends with a failure code
    kHealthy,  // the stream is published and media keeps flowing
    kDies,     // the stream is published, then a send fails: reconnect
};

struct Case {
    const char *scenario;
    Outcome outcome;
    // The connect_rtmp_w results allowed (0 for kHealthy and kDies).
    std::vector<int> connect_results;
};

const std::vector<Case> &cases();

// "-3", "-3 or -4".
std::string codes_text(const std::vector<int> &codes);

}  // namespace hostile
