#include "Nginx.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace tavrel_testing {

namespace {

void replace_all(std::string &text, const std::string &key, const std::string &value)
{
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
        text.replace(at, key.size(), value);
}

std::string source_dir() { return env_or("TAVREL_SOURCE_DIR", TAVREL_SOURCE_DIR_DEFAULT); }

}  // namespace

Nginx::Nginx(NginxOptions options) : options_(options), dir_("nginx"), port_(free_port())
{
    ::mkdir(record_dir().c_str(), 0777);
    ::chmod(record_dir().c_str(), 0777);
    std::string stream_block;
    std::string load_stream;
    if (options_.tls) {
        tls_port_ = free_port();
        std::string out;
        int rc = run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                      "/CN=127.0.0.1", "-keyout", dir_.file("key.pem"), "-out", dir_.file("cert.pem")},
                     60000, &out);
        if (rc != 0)
            throw std::runtime_error("openssl req failed: " + out);
        load_stream = "load_module /usr/lib/nginx/modules/ngx_stream_module.so;";
        stream_block = "stream {\n    server {\n        listen 127.0.0.1:" + std::to_string(tls_port_) +
                       " ssl;\n        ssl_certificate " + dir_.file("cert.pem") + ";\n        ssl_certificate_key " +
                       dir_.file("key.pem") + ";\n        proxy_pass 127.0.0.1:" + std::to_string(port_) +
                       ";\n    }\n}\n";
    }
    std::string conf = read_file(source_dir() + "/testing/nginx/rtmp.conf.in");
    if (conf.empty())
        throw std::runtime_error("testing/nginx/rtmp.conf.in not found");
    replace_all(conf, "@USER_DIRECTIVE@", ::geteuid() == 0 ? "user root;" : "");
    replace_all(conf, "@PREFIX@", dir_.path());
    replace_all(conf, "@PORT@", std::to_string(port_));
    replace_all(conf, "@RECORD_DIR@", record_dir());
    replace_all(conf, "@LOAD_STREAM_MODULE@", load_stream);
    replace_all(conf, "@STREAM_BLOCK@", stream_block);
    write_file(dir_.file("nginx.conf"), conf);
    start();
}

void Nginx::start()
{
    if (process_ && process_->running())
        return;
    process_ = std::make_unique<Process>(
        std::vector<std::string>{"nginx", "-p", dir_.path(), "-e", dir_.file("error.log"), "-c",
                                 dir_.file("nginx.conf")},
        dir_.file("stdout.log"));
    bool up = wait_for_port(port_, 10000) && (!options_.tls || wait_for_port(tls_port_, 10000));
    if (!up)
        throw std::runtime_error("nginx did not start: " + error_log() + read_file(dir_.file("stdout.log")));
}

void Nginx::stop(int sig)
{
    if (process_)
        process_->stop(sig, 10000);
}

bool Nginx::running() { return process_ && process_->running(); }

std::string Nginx::url(const std::string &app, const std::string &stream) const
{
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/" + app + "/" + stream;
}

std::string Nginx::tls_url(const std::string &app, const std::string &stream) const
{
    return "rtmps://127.0.0.1:" + std::to_string(tls_port_) + "/" + app + "/" + stream;
}

std::string Nginx::error_log() const { return read_file(dir_.file("error.log")); }

}  // namespace tavrel_testing
