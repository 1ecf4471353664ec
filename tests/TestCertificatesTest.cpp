// The certificates that TLS tests build on: a fault here would make those tests pass or fail for the wrong reason.

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "TestCertificates.h"

namespace {

using cstest::CertificateFiles;
using cstest::TestCertificates;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Certificate ReadCertificate(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    return Certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
}

Key ReadKey(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    return Key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// X509_V_OK, or the reason verification of leafPem against the trusted caPem failed, for @p purpose.
int Verify(const std::string& leafPem, const std::string& caPem, int purpose = X509_PURPOSE_SSL_SERVER) {
    const Certificate leaf = ReadCertificate(leafPem);
    const Certificate ca = ReadCertificate(caPem);
    if (!leaf || !ca) return -1;
    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (X509_STORE_add_cert(store.get(), ca.get()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), nullptr) != 1 ||
        X509_STORE_CTX_set_purpose(context.get(), purpose) != 1) {
        return -1;
    }
    return X509_verify_cert(context.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context.get());
}

bool NamesHost(const std::string& pem, const std::string& host) {
    const Certificate cert = ReadCertificate(pem);
    return cert &&
           X509_check_host(cert.get(), host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

bool NamesIp(const std::string& pem, const std::string& ip) {
    const Certificate cert = ReadCertificate(pem);
    return cert && X509_check_ip_asc(cert.get(), ip.c_str(), 0) == 1;
}

TEST(TestCertificatesTest, ServerCertificateChainsToTheCaAndNamesExactlyTheGivenHostAndAddress) {
    const TestCertificates certs("tls.cstest", "127.3.4.5");
    EXPECT_EQ(X509_V_OK, Verify(certs.Server().certificatePem, certs.Ca().certificatePem));
    EXPECT_TRUE(NamesHost(certs.Server().certificatePem, "tls.cstest"));
    EXPECT_TRUE(NamesIp(certs.Server().certificatePem, "127.3.4.5"));
    EXPECT_FALSE(NamesHost(certs.Server().certificatePem, "other.cstest"));
    EXPECT_FALSE(NamesIp(certs.Server().certificatePem, "127.3.4.6"));

    // Two sets never trust each other, so a test cannot pass with the wrong CA by accident.
    const TestCertificates others("tls.cstest", "127.3.4.5");
    EXPECT_NE(X509_V_OK, Verify(certs.Server().certificatePem, others.Ca().certificatePem));
}

TEST(TestCertificatesTest, UnknownCertificateNamesTheSameServerButIsTrustedByNoCa) {
    const TestCertificates certs("", "127.3.4.5");
    EXPECT_TRUE(NamesIp(certs.Unknown().certificatePem, "127.3.4.5"));
    EXPECT_FALSE(NamesHost(certs.Unknown().certificatePem, "localhost"));
    EXPECT_EQ(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT,
              Verify(certs.Unknown().certificatePem, certs.Ca().certificatePem));
}

TEST(TestCertificatesTest, ClientCertificateChainsToTheCaForClientsOnly) {
    const TestCertificates certs("", "127.3.4.5");
    EXPECT_EQ(X509_V_OK, Verify(certs.Client().certificatePem, certs.Ca().certificatePem, X509_PURPOSE_SSL_CLIENT));
    EXPECT_EQ(X509_V_ERR_INVALID_PURPOSE, Verify(certs.Client().certificatePem, certs.Ca().certificatePem));
    EXPECT_NE(X509_V_OK, Verify(certs.Server().certificatePem, certs.Ca().certificatePem, X509_PURPOSE_SSL_CLIENT));
}

TEST(TestCertificatesTest, KeysMatchTheirCertificatesAndTheFilesLiveAsLongAsTheObject) {
    std::string directory;
    {
        const TestCertificates certs("localhost", "");
        directory = certs.Directory();
        for (const CertificateFiles* files : {&certs.Ca(), &certs.Server(), &certs.Client(), &certs.Unknown()}) {
            const Certificate cert = ReadCertificate(files->certificatePem);
            const Key key = ReadKey(files->privateKeyPem);
            ASSERT_TRUE(cert && key);
            EXPECT_EQ(1, X509_check_private_key(cert.get(), key.get()));
            EXPECT_EQ(files->certificatePem, ReadFile(files->certificateFile));
            EXPECT_EQ(files->privateKeyPem, ReadFile(files->privateKeyFile));
            EXPECT_EQ(0u, files->certificateFile.rfind(directory + "/", 0));
        }
        EXPECT_NE(certs.Server().privateKeyPem, certs.Unknown().privateKeyPem);
    }
    EXPECT_FALSE(std::filesystem::exists(directory));
}

}  // namespace
