// The challenge server (testing/challenge-server) on a free loopback port,
// for one test: an RTMP server that demands adobe or llnw publisher
// authentication and records what it receives, one JSON object per line.
#pragma once

#include "Process.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tavrel_testing {

struct ChallengeServerOptions {
    std::string auth = "adobe";  // "adobe", "llnw" or "none"
    std::vector<std::pair<std::string, std::string>> users;  // name, password
    bool no_opaque = false;            // adobe: no opaque, clients hash the challenge
    bool salt_padding = false;         // adobe: a salt that ends in "=="
    bool endless_needauth = false;     // every response draws another challenge
    bool stall_after_publish = false;  // stops reading once the publish started
    bool payloads = false;             // media payloads recorded in hex
    int idle_seconds = 30;             // a connection quiet this long is dropped
};

class ChallengeServer {
public:
    explicit ChallengeServer(ChallengeServerOptions options = {});
    ~ChallengeServer();
    ChallengeServer(const ChallengeServer &) = delete;
    ChallengeServer &operator=(const ChallengeServer &) = delete;

    int port() const { return port_; }
    // rtmp://[user:password@]127.0.0.1:PORT/app/stream
    std::string url(const std::string &app, const std::string &stream, const std::string &user = "",
                    const std::string &password = "") const;

    // Recorded lines whose "event" is `event` (all lines for an empty one).
    std::vector<std::string> events(const std::string &event = "") const;
    // Waits until a recorded line contains every one of `parts`.
    bool wait_for(const std::vector<std::string> &parts, int timeout_ms = 5000) const;
    std::string record() const { return read_file(record_path_); }

private:
    ChallengeServerOptions options_;
    TempDir dir_;
    std::string record_path_;
    int port_;
    std::unique_ptr<Process> process_;
};

// The text of a string field ("key": "value") of one recorded line; empty
// when absent. JSON escapes are undone for quotes and backslashes only.
std::string json_field(const std::string &line, const std::string &key);

}  // namespace tavrel_testing
