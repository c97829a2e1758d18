// nginx with its RTMP module on a free loopback port, for one test.
#pragma once

#include "Process.h"
#include "TestCertificates.h"

#include <memory>
#include <string>

namespace tavrel_testing {

struct NginxOptions {
    bool tls = false;  // also an RTMPS port: TLS terminated by the stream module
    // Where every port listens: "[::1]" for a server reachable over IPv6 only.
    std::string host = "127.0.0.1";
    // What the TLS port presents (made by TestCertificates::shared()).
    TestCert certificate = TestCert::kLocalhost;
    // Behind TLS: this nginx's RTMP port, or another server's (0: ours).
    int tls_upstream_port = 0;
    // Set: the TLS port is an ingest front that routes by server name
    // (ssl_preread); only this name reaches TLS and RTMP, any other or none
    // reaches nothing.
    std::string sni_name;
    // Bytes between the server's Acknowledgements.
    int ack_window = 5000000;
};

class Nginx {
public:
    // Starts it; throws when it does not come up. Killed (SIGKILL) and its
    // folder removed at the end of the scope.
    explicit Nginx(NginxOptions options = {});

    // Starts (again) on the same ports; throws when it does not come up.
    void start();
    // SIGKILL: the server vanishes as if it crashed; SIGQUIT: graceful
    // (recordings are closed properly).
    void stop(int sig);
    bool running();

    int port() const { return port_; }
    int tls_port() const { return tls_port_; }
    // rtmp://HOST:PORT/app/stream
    std::string url(const std::string &app, const std::string &stream) const;
    // rtmps://HOST:TLS_PORT/app/stream with tlsCAFile= the test CA.
    std::string tls_url(const std::string &app, const std::string &stream) const;
    std::string record_dir() const { return dir_.file("records"); }
    std::string recording(const std::string &stream) const { return record_dir() + "/" + stream + ".flv"; }
    std::string error_log() const;  // the whole error log so far

private:
    std::string stream_block();

    NginxOptions options_;
    TempDir dir_;
    int port_;
    int tls_port_ = 0;
    std::unique_ptr<Process> process_;
};

}  // namespace tavrel_testing
