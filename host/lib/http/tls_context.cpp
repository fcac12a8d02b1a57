#include "http/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace qel::http {

namespace {

// OpenSSL's queue of errors as one line (emptied on the way).
std::string OpenSslErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        text += (text.empty() ? "" : "; ") + std::string(line);
    }
    return text.empty() ? "unknown error" : text;
}

std::string NameOf(const X509_NAME* name) {
    char text[256] = {};
    X509_NAME_oneline(name, text, sizeof text);
    return text;
}

std::string TimeOf(const ASN1_TIME* time) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return "?";
    ASN1_TIME_print(bio, time);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(size > 0 ? size : 0));
    BIO_free(bio);
    return text;
}

}  // namespace

TlsContext::TlsContext() = default;

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

bool TlsContext::Load(const TlsFiles& files, std::string& error) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        error = "TLS: " + OpenSslErrors();
        return false;
    }
    // TLS 1.2 and later; no renegotiation, which a client could use to make
    // the server work at will; no session tickets to keep a key for.
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    const auto fail = [&](const std::string& what) {
        error = what + ": " + OpenSslErrors();
        SSL_CTX_free(context);
        return false;
    };
    if (SSL_CTX_use_certificate_chain_file(context, files.cert.c_str()) != 1)
        return fail("--http-tls-cert " + files.cert);
    if (SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH)
            return fail("--http-tls-key " + files.key + " does not belong to --http-tls-cert " + files.cert);
        return fail("--http-tls-key " + files.key);
    }
    if (SSL_CTX_check_private_key(context) != 1)
        return fail("--http-tls-key " + files.key + " does not belong to --http-tls-cert " + files.cert);
    if (!files.clientCa.empty()) {
        if (SSL_CTX_load_verify_locations(context, files.clientCa.c_str(), nullptr) != 1)
            return fail("--http-tls-client-ca " + files.clientCa);
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.clientCa.c_str());
        if (!names) return fail("--http-tls-client-ca " + files.clientCa + ": no certificate in it");
        SSL_CTX_set_client_CA_list(context, names);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    std::string described = "TLS";
    if (const X509* cert = SSL_CTX_get0_certificate(context))
        described += " as " + NameOf(X509_get_subject_name(cert)) + " until " + TimeOf(X509_get0_notAfter(cert));
    described += files.clientCa.empty() ? ", no client certificates" : ", client certificates of " + files.clientCa + " required";
    std::lock_guard lock(mutex_);
    SSL_CTX_free(context_);
    context_ = context;
    files_ = files;
    described_ = described;
    return true;
}

bool TlsContext::Reload(std::string& error) {
    TlsFiles files;
    {
        std::lock_guard lock(mutex_);
        files = files_;
    }
    return Load(files, error);
}

ssl_st* TlsContext::NewSession(int fd) const {
    std::lock_guard lock(mutex_);
    if (!context_) return nullptr;
    SSL* session = SSL_new(context_);  // holds a reference to the context: a reload does not pull it away
    if (!session) return nullptr;
    if (SSL_set_fd(session, fd) != 1) {
        SSL_free(session);
        return nullptr;
    }
    SSL_set_accept_state(session);
    return session;
}

std::string TlsContext::Describe() const {
    std::lock_guard lock(mutex_);
    return described_;
}

}  // namespace qel::http
