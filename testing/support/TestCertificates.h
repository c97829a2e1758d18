// Certificates made at test time with openssl: a test CA and server
// certificates it issued (or not) for the TLS cases.
#pragma once

#include "Process.h"

#include <string>

namespace tavrel_testing {

enum class TestCert {
    kLocalhost,   // issued by the test CA for localhost, 127.0.0.1 and ::1
    kSelfSigned,  // for the same names, signed by itself
    kOtherHost,   // issued by the test CA for another host name only
    kExpired,     // issued by the test CA for localhost, expired yesterday
};

struct CertFiles {
    std::string cert;
    std::string key;
};

class TestCertificates {
public:
    // Made on first use (a few hundred ms of key generation), for the whole
    // test program; the folder goes when the program ends.
    static const TestCertificates &shared();

    // The test CA's certificate: what a client trusts with tlsCAFile.
    const std::string &ca_file() const { return ca_file_; }
    CertFiles files(TestCert which) const;

private:
    TestCertificates();
    void make_ca();
    void issue(TestCert which, const std::string &names, int days, bool self_signed);

    TempDir dir_;
    std::string ca_file_;
};

}  // namespace tavrel_testing
