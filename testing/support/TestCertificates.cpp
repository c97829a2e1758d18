#include "TestCertificates.h"

#include <stdexcept>

namespace tavrel_testing {

namespace {

const char *stem(TestCert which)
{
    switch (which) {
    case TestCert::kLocalhost:
        return "localhost";
    case TestCert::kSelfSigned:
        return "self-signed";
    case TestCert::kOtherHost:
        return "other-host";
    case TestCert::kExpired:
        return "expired";
    }
    return "?";
}

void openssl(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    if (run(argv, 60000, &out) != 0)
        throw std::runtime_error("openssl " + args[0] + " failed: " + out);
}

}  // namespace

const TestCertificates &TestCertificates::shared()
{
    static const TestCertificates certificates;
    return certificates;
}

TestCertificates::TestCertificates() : dir_("certs"), ca_file_(dir_.file("ca.pem"))
{
    make_ca();
    const std::string local = "DNS:localhost,IP:127.0.0.1,IP:::1";
    issue(TestCert::kLocalhost, local, 2, false);
    issue(TestCert::kSelfSigned, local, 2, true);
    issue(TestCert::kOtherHost, "DNS:ingest.example.com", 2, false);
    // A negative validity: the certificate ended a day before it was made.
    issue(TestCert::kExpired, local, -1, false);
}

void TestCertificates::make_ca()
{
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
             "-subj", "/CN=Tavrel Test CA", "-keyout", dir_.file("ca.key"), "-out", ca_file_});
}

void TestCertificates::issue(TestCert which, const std::string &names, int days, bool self_signed)
{
    const CertFiles f = files(which);
    const std::string subject = "/CN=" + std::string(stem(which));
    const std::string ext = dir_.file(std::string(stem(which)) + ".ext");
    write_file(ext, "subjectAltName=" + names + "\nextendedKeyUsage=serverAuth\n");
    if (self_signed) {
        openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
                 std::to_string(days), "-subj", subject, "-addext", "subjectAltName=" + names, "-keyout", f.key,
                 "-out", f.cert});
        return;
    }
    const std::string csr = dir_.file(std::string(stem(which)) + ".csr");
    openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", subject,
             "-keyout", f.key, "-out", csr});
    openssl({"x509", "-req", "-in", csr, "-CA", ca_file_, "-CAkey", dir_.file("ca.key"), "-CAcreateserial",
             "-days", std::to_string(days), "-extfile", ext, "-out", f.cert});
}

CertFiles TestCertificates::files(TestCert which) const
{
    const std::string base = dir_.file(stem(which));
    return CertFiles{base + ".pem", base + ".key"};
}

}  // namespace tavrel_testing
