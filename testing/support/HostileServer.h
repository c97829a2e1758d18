// The hostile RTMP server (testing/hostile-server) on a loopback port, for
// one test: a server that misbehaves in the way its scenario names.
#pragma once

#include "Process.h"

#include <memory>
#include <string>
#include <vector>

namespace tavrel_testing {

struct HostileScenario {
    std::string name;
    std::string description;
};

class HostileServer {
public:
    // Starts the server with one scenario (see scenarios()), speaking
    // through the RTMPT HTTP tunnel when `tunnel` is set; throws when it
    // does not come up. Killed (SIGKILL) at the end of the scope.
    explicit HostileServer(const std::string &scenario, bool tunnel = false);

    // Every scenario the server knows, as its --list prints them.
    static std::vector<HostileScenario> scenarios();

    int port() const { return port_; }
    // rtmp://127.0.0.1:PORT/live/stream (rtmpt:// through the tunnel)
    // followed by librtmp URL options
    // ("timeout=2" keeps every wait of the client short).
    std::string url(const std::string &options = "timeout=2") const;
    // The server's event log so far ("conn N: ..." lines).
    std::string log() const;
    // How many log lines contain `what` (e.g. "accepted", "command connect").
    int count(const std::string &what) const;

private:
    TempDir dir_;
    std::unique_ptr<Process> process_;
    int port_ = 0;
    bool tunnel_ = false;
};

}  // namespace tavrel_testing
