#include "Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace tavrel_testing {

namespace {

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

pid_t spawn(const std::vector<std::string> &argv, int out_fd)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
        posix_spawn_file_actions_adddup2(&actions, out_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // A fresh process group, so that stopping the child stops its children
    // (nginx workers) too.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

}  // namespace

Process::Process(const std::vector<std::string> &argv, const std::string &log_path)
{
    int fd = -1;
    if (!log_path.empty()) {
        fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            throw std::runtime_error("cannot open " + log_path);
    }
    try {
        pid_ = spawn(argv, fd);
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        throw;
    }
    if (fd >= 0)
        ::close(fd);
}

Process::~Process()
{
    if (pid_ > 0 && status_ < 0)
        stop(SIGKILL, 5000);
}

Process::Process(Process &&other) noexcept : pid_(other.pid_), status_(other.status_)
{
    other.pid_ = -1;
}

Process &Process::operator=(Process &&other) noexcept
{
    if (this != &other) {
        if (pid_ > 0 && status_ < 0)
            stop(SIGKILL, 5000);
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool Process::running() { return pid_ > 0 && wait(0) < 0; }

int Process::wait(int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    if (status_ >= 0)
        return decode_status(status_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            return decode_status(status);
        }
        if (r < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Process::stop(int sig, int timeout_ms)
{
    if (pid_ <= 0)
        return -1;
    if (status_ >= 0)
        return decode_status(status_);
    ::kill(-pid_, sig);
    ::kill(pid_, sig);
    int rc = wait(timeout_ms);
    if (rc < 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        rc = wait(5000);
    }
    // Workers that outlived their master.
    ::kill(-pid_, SIGKILL);
    return rc;
}

int run(const std::vector<std::string> &argv, int timeout_ms, std::string *output, const std::string &log_path)
{
    TempDir tmp("run");
    std::string path = log_path.empty() ? tmp.file("out") : log_path;
    Process p(argv, path);
    int rc = p.wait(timeout_ms);
    if (rc < 0)
        p.stop(SIGKILL, 2000);
    if (output && log_path.empty())
        *output = read_file(path);
    return rc;
}

int free_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool wait_for_port(int port, int timeout_ms, const std::string &host)
{
    const bool is_v6 = !host.empty() && host[0] == '[';
    sockaddr_storage addr{};
    socklen_t len;
    if (is_v6) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6->sin6_addr) != 1)
            throw std::runtime_error("not an IPv6 address: " + host);
        len = sizeof *v6;
    } else {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&addr);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1)
            throw std::runtime_error("not an IPv4 address: " + host);
        len = sizeof *v4;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0;
        ::close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TempDir::TempDir(const std::string &prefix)
{
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
    // Peers may run as another user (nginx workers).
    ::chmod(path_.c_str(), 0777);
}

TempDir::~TempDir()
{
    if (std::getenv("TAVREL_KEEP_TMP"))
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

std::string env_or(const char *name, const std::string &fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

}  // namespace tavrel_testing
