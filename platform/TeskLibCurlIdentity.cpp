// The client certificate of mutual TLS: read from its PEM files before anything is sent, and added
// with the extra CA certificates to each TLS context curl creates.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "TeskLibCurlParts.h"

namespace teskcurl {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { static_cast<void>(std::fclose(file)); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File Open(const std::string& path, const char* what, std::string& error) {
    File file(std::fopen(path.c_str(), "re"));
    if (!file) error = std::string("cannot read the ") + what + " file '" + path + "': " + std::strerror(errno);
    return file;
}

// Without a callback OpenSSL would ask for a passphrase on the process's terminal.
int NoPassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*user*/) {
    return -1;
}

}  // namespace

void ClientIdentity::Clear() {
    X509_free(m_Certificate);
    m_Certificate = nullptr;
    for (X509* certificate : m_Chain) X509_free(certificate);
    m_Chain.clear();
    EVP_PKEY_free(m_Key);
    m_Key = nullptr;
}

bool ClientIdentity::Load(const std::string& certFile, const std::string& keyFile, std::string& error) {
    Clear();
    ERR_clear_error();
    const File certificates = Open(certFile, "client certificate", error);
    if (!certificates) return false;
    m_Certificate = PEM_read_X509(certificates.get(), nullptr, NoPassphrase, nullptr);
    if (m_Certificate == nullptr) {
        ERR_clear_error();
        error = "no PEM certificate in the client certificate file '" + certFile + "'";
        return false;
    }
    while (X509* next = PEM_read_X509(certificates.get(), nullptr, NoPassphrase, nullptr)) m_Chain.push_back(next);
    // Reading stops with an error at the end of the file, or at the key that follows.
    ERR_clear_error();

    const std::string& keyPath = keyFile.empty() ? certFile : keyFile;
    const File key = Open(keyPath, "client key", error);
    if (!key) {
        Clear();
        return false;
    }
    m_Key = PEM_read_PrivateKey(key.get(), nullptr, NoPassphrase, nullptr);
    ERR_clear_error();
    if (m_Key == nullptr) {
        Clear();
        error = "no unencrypted PEM private key in the client key file '" + keyPath + "'";
        return false;
    }
    if (X509_check_private_key(m_Certificate, m_Key) != 1) {
        ERR_clear_error();
        Clear();
        error = "the private key in '" + keyPath + "' does not belong to the client certificate in '" + certFile + "'";
        return false;
    }
    return true;
}

bool ClientIdentity::AddTo(SSL_CTX* context) const {
    if (m_Certificate == nullptr) return true;
    bool added = SSL_CTX_use_certificate(context, m_Certificate) == 1 && SSL_CTX_use_PrivateKey(context, m_Key) == 1;
    for (X509* certificate : m_Chain) added = added && SSL_CTX_add1_chain_cert(context, certificate) == 1;
    ERR_clear_error();
    return added;
}

CURLcode TlsAdditions::AddToContext(CURL* /*easy*/, void* context, void* user) {
    const auto* self = static_cast<const TlsAdditions*>(user);
    auto* ssl = static_cast<SSL_CTX*>(context);
    X509_STORE* store = SSL_CTX_get_cert_store(ssl);
    if (store == nullptr) return CURLE_SSL_CERTPROBLEM;
    self->caCertificates.AddTo(store);
    return self->identity.AddTo(ssl) ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}

}  // namespace teskcurl

using namespace teskcurl;

void TeskLibCurl::Impl::ReadIdentity() {
    tlsAdditions.identity.Clear();
    strIdentityError.clear();
    if (!strCertFile.empty()) tlsAdditions.identity.Load(strCertFile, strKeyFile, strIdentityError);
    bIdentityRead = true;
}

void TeskLibCurl::SetClientCertificate(const std::string& certFile, const std::string& keyFile) {
    Impl& impl = *m_pImpl;
    if (certFile == impl.strCertFile && keyFile == impl.strKeyFile) return;
    impl.strCertFile = certFile;
    impl.strKeyFile = keyFile;
    impl.bIdentityRead = false;
    impl.bTlsChanged = true;
}

bool TeskLibCurl::LoadClientCertificate(std::string& error) {
    Impl& impl = *m_pImpl;
    // Nothing named and nothing held: the open connection may stay.
    if (impl.strCertFile.empty() && impl.tlsAdditions.identity.Empty() && impl.bIdentityRead) {
        error.clear();
        return true;
    }
    impl.ReadIdentity();
    impl.bTlsChanged = true;
    error = impl.strIdentityError;
    return error.empty();
}
