#include "Nginx.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace tavrel_testing {

namespace {

void replace_all(std::string &text, const std::string &key, const std::string &value)
{
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
}

std::string source_dir() { return env_or("TAVREL_SOURCE_DIR", TAVREL_SOURCE_DIR_DEFAULT); }

std::string read_template(const std::string &name)
{
    std::string text = read_file(source_dir() + "/testing/nginx/" + name);
    if (text.empty())
        throw std::runtime_error("testing/nginx/" + name + " not found");
    return text;
}

}  // namespace

Nginx::Nginx(NginxOptions options) : options_(options), dir_("nginx"), port_(free_port())
{
    ::mkdir(record_dir().c_str(), 0777);
    ::chmod(record_dir().c_str(), 0777);
    std::string stream_modules;
    std::string streams;
    if (options_.tls) {
        tls_port_ = free_port();
        stream_modules = "load_module /usr/lib/nginx/modules/ngx_stream_module.so;";
        streams = stream_block();
    }
    std::string conf = read_template("rtmp.conf.in");
    replace_all(conf, "@USER_DIRECTIVE@", ::geteuid() == 0 ? "user root;" : "");
    replace_all(conf, "@PREFIX@", dir_.path());
    replace_all(conf, "@LISTEN_HOST@", options_.host);
    replace_all(conf, "@PORT@", std::to_string(port_));
    replace_all(conf, "@RECORD_DIR@", record_dir());
    replace_all(conf, "@LOAD_STREAM_MODULE@", stream_modules);
    replace_all(conf, "@STREAM_BLOCK@", streams);
    replace_all(conf, "@ACK_WINDOW@", std::to_string(options_.ack_window));
    write_file(dir_.file("nginx.conf"), conf);
    start();
}

std::string Nginx::stream_block()
{
    const CertFiles cert = TestCertificates::shared().files(options_.certificate);
    const std::string upstream =
        options_.host + ":" + std::to_string(options_.tls_upstream_port ? options_.tls_upstream_port : port_);
    // Behind an SNI front the terminator has a port of its own.
    const std::string terminator = options_.host + ":" + std::to_string(options_.sni_name.empty() ? tls_port_ : free_port());
    std::string tls = read_template("tls-terminator.conf.in");
    replace_all(tls, "@TLS_LISTEN@", terminator);
    replace_all(tls, "@CERT@", cert.cert);
    replace_all(tls, "@KEY@", cert.key);
    replace_all(tls, "@UPSTREAM@", upstream);
    std::string router;
    if (!options_.sni_name.empty()) {
        router = read_template("sni-router.conf.in");
        replace_all(router, "@SNI_NAME@", options_.sni_name);
        replace_all(router, "@TERMINATOR@", terminator);
        replace_all(router, "@NOWHERE@", options_.host + ":" + std::to_string(free_port()));
        replace_all(router, "@FRONT_LISTEN@", options_.host + ":" + std::to_string(tls_port_));
    }
    return "stream {\n" + router + tls + "}\n";
}

void Nginx::start()
{
    if (process_ && process_->running())
        return;
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"nginx", "-p", dir_.path(), "-e", dir_.file("error.log"), "-c",
                                 dir_.file("nginx.conf")},
        dir_.file("stdout.log"));
    bool up = wait_for_port(port_, 10000, options_.host) &&
              (!options_.tls || wait_for_port(tls_port_, 10000, options_.host));
    if (!up)
        throw std::runtime_error("nginx did not start: " + error_log() + read_file(dir_.file("stdout.log")));
}

void Nginx::stop(int sig)
{
    if (!process_)
        return;
    process_->stop(sig, 10000);
    // The worker, killed with its master, may hold the listening socket a
    // moment longer on a busy machine: stopped means nobody answers.
    for (int i = 0; i < 200 && wait_for_port(port_, 0, options_.host); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool Nginx::running() { return process_ && process_->running(); }

std::string Nginx::url(const std::string &app, const std::string &stream) const
{
    return "rtmp://" + options_.host + ":" + std::to_string(port_) + "/" + app + "/" + stream;
}

std::string Nginx::tls_url(const std::string &app, const std::string &stream) const
{
    return "rtmps://" + options_.host + ":" + std::to_string(tls_port_) + "/" + app + "/" + stream +
           " tlsCAFile=" + TestCertificates::shared().ca_file();
}

std::string Nginx::error_log() const { return read_file(dir_.file("error.log")); }

}  // namespace tavrel_testing
