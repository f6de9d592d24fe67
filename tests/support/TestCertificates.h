// Certificates for TLS tests, made by the openssl command in a temporary
// directory that goes away with the object: a test CA, a server certificate
// signed by it for 127.0.0.1 and localhost, one signed by it for ::1 only,
// one signed by it for another name only, and a self-signed one for 127.0.0.1. Each command is bounded in time; a failure throws
// std::runtime_error.
#pragma once

#include <memory>
#include <string>

class QTemporaryDir;

class TestCertificates {
public:
    TestCertificates();
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    // The CA's certificate: a trust store holding only the test CA.
    std::string CaFile() const { return Path("ca.pem"); }
    std::string SignedCertificate() const { return Path("signed.pem"); }
    std::string SignedKey() const { return Path("signed.key"); }
    std::string Signed6Certificate() const { return Path("signed6.pem"); }
    std::string Signed6Key() const { return Path("signed6.key"); }
    std::string ElsewhereCertificate() const { return Path("elsewhere.pem"); }
    std::string ElsewhereKey() const { return Path("elsewhere.key"); }
    std::string SelfSignedCertificate() const { return Path("self.pem"); }
    std::string SelfSignedKey() const { return Path("self.key"); }
    // The certificate's SHA-256 fingerprint as the openssl command gives it,
    // colons removed, in lower case.
    static std::string Fingerprint(const std::string& certificateFile);

private:
    // name.key and name.pem: a key and its certificate for altNames, signed by the CA.
    void Sign(const std::string& name, const std::string& altNames) const;
    std::string Path(const std::string& name) const;
    std::unique_ptr<QTemporaryDir> FDir;
};
