// Child processes for the test peers (nginx, FFmpeg, our loopback servers).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tavrel_testing {

class Process {
public:
    Process() = default;
    // Starts argv[0] (searched in PATH) with stdout and stderr appended to
    // log_path (or /dev/null when empty).
    Process(const std::vector<std::string> &argv, const std::string &log_path = "");
    ~Process();  // kills (SIGKILL) and reaps a child still running
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running();
    // Waits up to timeout_ms; returns the exit status (WEXITSTATUS, or
    // 128 + signal), or -1 when the child is still running.
    int wait(int timeout_ms);
    // Sends `sig`, then waits up to timeout_ms (SIGKILL after that).
    int stop(int sig, int timeout_ms = 5000);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a command to completion; returns its exit status, or -1 on time-out
// (the child is killed). Output is appended to log_path when given, else
// captured into *output when that is not null.
int run(const std::vector<std::string> &argv, int timeout_ms, std::string *output = nullptr,
        const std::string &log_path = "");

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_port();

// True once something accepts connections on host:port (an address:
// "127.0.0.1", "[::1]"), polling until timeout_ms.
bool wait_for_port(int port, int timeout_ms, const std::string &host = "127.0.0.1");

// A fresh directory under the system temp dir, removed with its contents by
// the destructor.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "tavrel");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

// Environment variable or a default.
std::string env_or(const char *name, const std::string &fallback);

}  // namespace tavrel_testing
