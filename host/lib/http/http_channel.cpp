#include "http/http_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qel::http {

namespace {

Io TlsOutcome(ssl_st* tls, int result) {
    switch (SSL_get_error(tls, result)) {
    case SSL_ERROR_WANT_READ:
        return Io::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return Io::WantWrite;
    default:
        // A client that does not speak TLS, a bad certificate, an end: the
        // queue of errors is this connection's, not the next one's.
        ERR_clear_error();
        return Io::Closed;
    }
}

}  // namespace

Io ChannelRead(int fd, ssl_st* tls, char* data, std::size_t size, std::size_t& got) {
    got = 0;
    if (tls) {
        ERR_clear_error();
        const int result = SSL_read_ex(tls, data, size, &got);
        return result == 1 ? Io::Done : TlsOutcome(tls, result);
    }
    for (;;) {
        const auto n = ::recv(fd, data, size, 0);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::Done;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::WantRead;
        return Io::Closed;
    }
}

Io ChannelWrite(int fd, ssl_st* tls, const char* data, std::size_t size, std::size_t& put) {
    put = 0;
    if (tls) {
        ERR_clear_error();
        const int result = SSL_write_ex(tls, data, size, &put);
        return result == 1 ? Io::Done : TlsOutcome(tls, result);
    }
    for (;;) {
        const auto n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            put = static_cast<std::size_t>(n);
            return Io::Done;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::WantWrite;
        return Io::Closed;
    }
}

Io ChannelHandshake(ssl_st* tls) {
    ERR_clear_error();
    const int result = SSL_do_handshake(tls);
    return result == 1 ? Io::Done : TlsOutcome(tls, result);
}

bool ChannelPending(ssl_st* tls) { return tls && SSL_pending(tls) > 0; }

void ChannelShutdown(ssl_st* tls) {
    if (!tls) return;
    ERR_clear_error();
    SSL_shutdown(tls);
    ERR_clear_error();
}

void ChannelClose(int fd, ssl_st*& tls) {
    SSL_free(tls);
    tls = nullptr;
    if (fd >= 0) ::close(fd);
}

}  // namespace qel::http
