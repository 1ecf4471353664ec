#pragma once

// Certificates for TLS tests, made when the test runs: no key material lives in the tree.

#include <string>

namespace cstest {

/// A certificate and its private key, as PEM text and as files in the owning TestCertificates' directory.
struct CertificateFiles {
    std::string certificatePem;
    std::string privateKeyPem;
    std::string certificateFile;
    std::string privateKeyFile;
};

/// A test CA, a server certificate and a client certificate it signed, and a self-signed certificate that no CA
/// vouches for, all with
/// ECDSA P-256 keys, valid from an hour ago for a day. The PEM files live in a temporary directory that the
/// object owns and removes in its destructor.
class TestCertificates {
public:
    /// @brief Makes the CA and both certificates; throws std::runtime_error when OpenSSL or the file system fails.
    /// @param dnsName subjectAltName DNS entry of both server certificates; none when empty.
    /// @param ipAddress subjectAltName IP entry (dotted IPv4 or IPv6) of both server certificates; none when empty.
    TestCertificates(const std::string& dnsName, const std::string& ipAddress);
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    /// @return the CA: self-signed, CA:TRUE; its file is what a client passes as its CA bundle.
    const CertificateFiles& Ca() const { return ca_; }
    /// @return the server certificate signed by Ca(), for serverAuth, with the names given to the constructor.
    const CertificateFiles& Server() const { return server_; }
    /// @return a client certificate signed by Ca(), for clientAuth (mutual TLS), named "cstest client".
    const CertificateFiles& Client() const { return client_; }
    /// @return a self-signed server certificate with the same names, from a CA no client trusts.
    const CertificateFiles& Unknown() const { return unknown_; }
    /// @return the temporary directory that holds the files.
    const std::string& Directory() const { return directory_; }

private:
    std::string directory_;
    CertificateFiles ca_;
    CertificateFiles server_;
    CertificateFiles client_;
    CertificateFiles unknown_;
};

}  // namespace cstest
