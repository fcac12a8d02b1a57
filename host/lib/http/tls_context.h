// The server side of TLS for the HTTP loop, on OpenSSL's libssl: the
// certificate chain, its key and, when given, the CAs whose client
// certificates are required. Loaded whole or not at all: a reload that
// fails (a file missing, a key that does not match) leaves the one in use,
// and new connections take the new one only once it is complete;
// connections already open keep theirs. Thread-safe: the loop makes
// sessions while a reload swaps the context.
#pragma once

#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;
struct ssl_st;

namespace qel::http {

struct TlsFiles {
    std::string cert;      // PEM: the server's certificate, then its chain
    std::string key;       // PEM: its private key
    std::string clientCa;  // PEM: CAs of the client certificates required; empty: none asked for
};

class TlsContext {
public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Reads the files; false with a reason naming the file, the one in use kept.
    bool Load(const TlsFiles& files, std::string& error);
    // The same files again (after they were replaced on disk).
    bool Reload(std::string& error);
    // A server session on a connected socket; null when none is loaded or
    // out of memory. The caller frees it (SSL_free).
    ssl_st* NewSession(int fd) const;
    // One line: the certificate's subject and expiry, whether clients must show theirs.
    std::string Describe() const;

private:
    mutable std::mutex mutex_;
    ssl_ctx_st* context_ = nullptr;  // under mutex_; one reference ours
    TlsFiles files_;
    std::string described_;
};

}  // namespace qel::http
