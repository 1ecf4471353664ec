#include "TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace cstest {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using Extensions = std::vector<std::pair<int, std::string>>;

[[noreturn]] void Fail(const std::string& what) {
    char text[256] = "no OpenSSL error";
    if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, text, sizeof(text));
    ERR_clear_error();
    throw std::runtime_error("test certificates: " + what + ": " + text);
}

Key NewKey() {
    char curve[] = "P-256";  // read through varargs as char*
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve), EVP_PKEY_free);
    if (!key) Fail("key generation");
    return key;
}

// Signed by issuerKey under issuer's name; self-signed when issuer is null.
Certificate NewCertificate(EVP_PKEY* key, const std::string& commonName, const Extensions& extensions, X509* issuer,
                           EVP_PKEY* issuerKey) {
    Certificate cert(X509_new(), X509_free);
    std::uint64_t serial = 0;
    if (!cert || RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof(serial)) != 1) Fail("certificate");
    // Distinct random serials: a client that caches certificates by issuer and serial never mixes two runs up.
    if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial >> 1) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600) == nullptr ||
        X509_set_pubkey(cert.get(), key) != 1) {
        Fail("certificate fields");
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* cn = reinterpret_cast<const unsigned char*>(commonName.c_str());
    const auto* org = reinterpret_cast<const unsigned char*>("cstest");
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, org, -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, cn, -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) != 1) {
        Fail("certificate names");
    }
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
        const bool added = extension != nullptr && X509_add_ext(cert.get(), extension, -1) == 1;
        X509_EXTENSION_free(extension);
        if (!added) Fail("extension " + value);
    }
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0) Fail("signature");
    return cert;
}

std::string ToPem(const std::function<int(BIO*)>& write) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || write(bio.get()) != 1) Fail("PEM encoding");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

CertificateFiles ToPem(X509* cert, EVP_PKEY* key) {
    CertificateFiles out;
    out.certificatePem = ToPem([cert](BIO* bio) { return PEM_write_bio_X509(bio, cert); });
    out.privateKeyPem =
        ToPem([key](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); });
    return out;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("test certificates: cannot write " + path.string());
}

}  // namespace

TestCertificates::TestCertificates(const std::string& dnsName, const std::string& ipAddress) {
    std::string altNames;
    if (!dnsName.empty()) altNames = "DNS:" + dnsName;
    if (!ipAddress.empty()) altNames += (altNames.empty() ? "IP:" : ",IP:") + ipAddress;
    Extensions leaf{{NID_basic_constraints, "critical,CA:FALSE"},
                    {NID_key_usage, "critical,digitalSignature"},
                    {NID_ext_key_usage, "serverAuth"},
                    {NID_subject_key_identifier, "hash"}};
    if (!altNames.empty()) leaf.emplace_back(NID_subject_alt_name, altNames);
    const std::string serverName = !dnsName.empty() ? dnsName : !ipAddress.empty() ? ipAddress : "cstest server";

    const Key caKey = NewKey();
    const Certificate caCert = NewCertificate(caKey.get(), "cstest CA",
                                              {{NID_basic_constraints, "critical,CA:TRUE"},
                                               {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                               {NID_subject_key_identifier, "hash"}},
                                              nullptr, nullptr);
    Extensions signedLeaf = leaf;
    signedLeaf.emplace_back(NID_authority_key_identifier, "keyid:always");
    const Key serverKey = NewKey();
    const Certificate serverCert = NewCertificate(serverKey.get(), serverName, signedLeaf, caCert.get(), caKey.get());
    const Key clientKey = NewKey();
    const Certificate clientCert = NewCertificate(clientKey.get(), "cstest client",
                                                  {{NID_basic_constraints, "critical,CA:FALSE"},
                                                   {NID_key_usage, "critical,digitalSignature"},
                                                   {NID_ext_key_usage, "clientAuth"},
                                                   {NID_subject_key_identifier, "hash"},
                                                   {NID_authority_key_identifier, "keyid:always"}},
                                                  caCert.get(), caKey.get());
    const Key unknownKey = NewKey();
    const Certificate unknownCert = NewCertificate(unknownKey.get(), serverName, leaf, nullptr, nullptr);
    ca_ = ToPem(caCert.get(), caKey.get());
    server_ = ToPem(serverCert.get(), serverKey.get());
    client_ = ToPem(clientCert.get(), clientKey.get());
    unknown_ = ToPem(unknownCert.get(), unknownKey.get());

    std::string pattern = (std::filesystem::temp_directory_path() / "cstest-certs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("test certificates: cannot make " + pattern);
    directory_ = pattern;
    try {
        using Named = std::pair<CertificateFiles*, const char*>;
        for (const auto& [files, stem] :
             {Named{&ca_, "ca"}, Named{&server_, "server"}, Named{&client_, "client"}, Named{&unknown_, "unknown"}}) {
            const std::filesystem::path base = std::filesystem::path(directory_) / stem;
            files->certificateFile = base.string() + "-cert.pem";
            files->privateKeyFile = base.string() + "-key.pem";
            WriteFile(files->certificateFile, files->certificatePem);
            WriteFile(files->privateKeyFile, files->privateKeyPem);
        }
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
        throw;
    }
}

TestCertificates::~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

}  // namespace cstest
