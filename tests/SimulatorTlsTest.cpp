#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "LoopbackAddress.h"
#include "Simulator.h"

namespace {

using nlohmann::json;

/// A self-signed certificate for one IP address and its key, as PEM files that live as long as the object.
class SelfSignedCertificate {
public:
    explicit SelfSignedCertificate(const std::string& ipAddress) {
        const std::string stem =
            ::testing::TempDir() + "simulator-tls-" + std::to_string(getpid()) + "-" + std::to_string(counter_++);
        certificateFile_ = stem + "-cert.pem";
        keyFile_ = stem + "-key.pem";
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* certificate = X509_new();
        if (key == nullptr || certificate == nullptr) throw std::runtime_error("OpenSSL allocation failed");
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("simulator"), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate, name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
        const std::string altName = "IP:" + ipAddress;
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altName.c_str());
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
        X509_sign(certificate, key, EVP_sha256());
        FILE* out = std::fopen(certificateFile_.c_str(), "w");
        PEM_write_X509(out, certificate);
        std::fclose(out);
        out = std::fopen(keyFile_.c_str(), "w");
        PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(out);
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    ~SelfSignedCertificate() {
        std::remove(certificateFile_.c_str());
        std::remove(keyFile_.c_str());
    }
    SelfSignedCertificate(const SelfSignedCertificate&) = delete;
    SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;

    const std::string& CertificateFile() const { return certificateFile_; }
    const std::string& KeyFile() const { return keyFile_; }

private:
    static inline int counter_ = 0;
    std::string certificateFile_;
    std::string keyFile_;
};

class SimulatorTlsTest : public ::testing::Test {
protected:
    // HTTPS on a port the system picks, with the certificate and @p keyFile.
    cssim::SimulatorOptions TlsOptions(const std::string& keyFile) const {
        cssim::SimulatorOptions options;
        options.port = 0;
        options.tlsCertificateFile = certificate_.CertificateFile();
        options.tlsKeyFile = keyFile;
        return options;
    }

    const std::string address_ = cstest::ProcessLoopbackAddress();
    const SelfSignedCertificate certificate_{address_};
};

TEST_F(SimulatorTlsTest, ServesHttpsThatAVerifyingClientAccepts) {
    cssim::Simulator simulator(TlsOptions(certificate_.KeyFile()));
    ASSERT_TRUE(simulator.Start(address_));

    httplib::SSLClient client(address_, simulator.Port());
    client.set_ca_cert_path(certificate_.CertificateFile().c_str());
    client.enable_server_certificate_verification(true);
    const auto login = client.Post("/client/api?command=login&response=json", "username=admin&password=password",
                                   "application/x-www-form-urlencoded");
    ASSERT_TRUE(login) << httplib::to_string(login.error());
    ASSERT_EQ(login->status, 200);
    const std::string key = json::parse(login->body)["loginresponse"]["sessionkey"];
    const std::string setCookie = login->get_header_value("Set-Cookie", 0);
    const std::string sessionId = setCookie.substr(11, setCookie.find(';') - 11);
    const auto zones = client.Get(("/client/api?command=listZones&response=json&sessionkey=" + key).c_str(),
                                  {{"Cookie", "JSESSIONID=" + sessionId + "; sessionkey=" + key}});
    ASSERT_TRUE(zones);
    EXPECT_EQ(zones->status, 200);
    EXPECT_EQ(json::parse(zones->body)["listzonesresponse"]["count"], 2);
    client.stop();
    simulator.Stop();
}

TEST_F(SimulatorTlsTest, PlainHttpGetsNoAnswer) {
    cssim::Simulator simulator(TlsOptions(certificate_.KeyFile()));
    ASSERT_TRUE(simulator.Start(address_));
    httplib::Client plain(address_, simulator.Port());
    const auto result = plain.Get("/client/api?command=listCapabilities&response=json");
    EXPECT_TRUE(!result || result->status != 200);
    EXPECT_EQ(simulator.RequestCount(), 0u);
}

TEST_F(SimulatorTlsTest, KeyOfAnotherCertificateFailsTheStart) {
    const SelfSignedCertificate other(address_);
    cssim::Simulator simulator(TlsOptions(other.KeyFile()));
    EXPECT_FALSE(simulator.Start(address_));
}

}  // namespace
