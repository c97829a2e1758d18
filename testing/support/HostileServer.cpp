#include "HostileServer.h"

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavrel_testing {

namespace {

std::string script()
{
    return env_or("TAVREL_SOURCE_DIR", TAVREL_SOURCE_DIR_DEFAULT) + "/testing/hostile-server/hostile-server";
}

}  // namespace

HostileServer::HostileServer(const std::string &scenario, bool tunnel) : dir_("hostile"), tunnel_(tunnel)
{
    // The server picks its port and writes it once it listens: no probe
    // connection, which some scenarios would take for a client.
    const std::string port_file = dir_.file("port");
    std::vector<std::string> args = {"python3", script(), "--scenario", scenario, "--port-file", port_file,
                                     "--log", dir_.file("events.log")};
    if (tunnel)
        args.push_back("--tunnel");
    process_ = std::make_unique<Process>(args, dir_.file("stderr.log"));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!file_exists(port_file)) {
        if (!process_->running() || std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("hostile server (" + scenario + ") did not start: " +
                                     read_file(dir_.file("stderr.log")));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    port_ = std::stoi(read_file(port_file));
}

std::vector<HostileScenario> HostileServer::scenarios()
{
    std::string out;
    if (run({"python3", script(), "--list"}, 15000, &out) != 0)
        throw std::runtime_error("hostile-server --list failed: " + out);
    std::vector<HostileScenario> list;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t tab = line.find('\t');
        if (tab != std::string::npos)
            list.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    return list;
}

std::string HostileServer::url(const std::string &options) const
{
    std::string url = std::string(tunnel_ ? "rtmpt" : "rtmp") + "://127.0.0.1:" + std::to_string(port_) + "/live/stream";
    return options.empty() ? url : url + " " + options;
}

std::string HostileServer::log() const { return read_file(dir_.file("events.log")); }

int HostileServer::count(const std::string &what) const
{
    std::istringstream lines(log());
    int n = 0;
    for (std::string line; std::getline(lines, line);)
        n += line.find(what) != std::string::npos;
    return n;
}

}  // namespace tavrel_testing
