#include "ChallengeServer.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavrel_testing {

namespace {

std::string source_dir() { return env_or("TAVREL_SOURCE_DIR", TAVREL_SOURCE_DIR_DEFAULT); }

std::string python()
{
    // Debian's interpreter: the server needs nothing beyond its standard
    // library, and a user's PATH may lead elsewhere.
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

}  // namespace

ChallengeServer::ChallengeServer(ChallengeServerOptions options)
    : options_(std::move(options)), dir_("challenge"), record_path_(dir_.file("record.jsonl")), port_(free_port())
{
    std::vector<std::string> argv = {python(), source_dir() + "/testing/challenge-server/challenge-server",
                                     "--port", std::to_string(port_), "--auth", options_.auth,
                                     "--record", record_path_, "--idle-seconds",
                                     std::to_string(options_.idle_seconds), "--max-seconds", "600"};
    for (const auto &u : options_.users)
        argv.insert(argv.end(), {"--user", u.first + ":" + u.second});
    if (options_.no_opaque)
        argv.push_back("--no-opaque");
    if (options_.salt_padding)
        argv.push_back("--salt-padding");
    if (options_.endless_needauth)
        argv.push_back("--endless-needauth");
    if (options_.stall_after_publish)
        argv.push_back("--stall-after-publish");
    if (options_.payloads)
        argv.push_back("--payloads");
    process_ = std::make_unique<Process>(argv, dir_.file("server.log"));
    // The server says so in its record once it listens; no probe connection
    // ends up in the record.
    if (!wait_for({"\"listening\""}, 10000)) {
        std::string log = read_file(dir_.file("server.log"));
        process_->stop(SIGKILL, 2000);
        throw std::runtime_error("challenge server did not start: " + log);
    }
}

ChallengeServer::~ChallengeServer()
{
    if (process_)
        process_->stop(SIGTERM, 5000);
}

std::string ChallengeServer::url(const std::string &app, const std::string &stream, const std::string &user,
                                 const std::string &password) const
{
    std::string credentials = user.empty() ? "" : user + ":" + password + "@";
    return "rtmp://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/" + app + "/" + stream;
}

std::vector<std::string> ChallengeServer::events(const std::string &event) const
{
    std::vector<std::string> out;
    std::istringstream in(record());
    const std::string tag = "\"event\": \"" + event + "\"";
    for (std::string line; std::getline(in, line);)
        if (event.empty() || line.find(tag) != std::string::npos)
            out.push_back(line);
    return out;
}

bool ChallengeServer::wait_for(const std::vector<std::string> &parts, int timeout_ms) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        for (const std::string &line : events()) {
            bool all = true;
            for (const std::string &p : parts)
                all = all && line.find(p) != std::string::npos;
            if (all)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::string json_field(const std::string &line, const std::string &key)
{
    const std::string tag = "\"" + key + "\": \"";
    size_t at = line.find(tag);
    if (at == std::string::npos)
        return "";
    std::string out;
    for (size_t i = at + tag.size(); i < line.size(); i++) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            out += line[++i];
            continue;
        }
        if (line[i] == '"')
            break;
        out += line[i];
    }
    return out;
}

}  // namespace tavrel_testing
