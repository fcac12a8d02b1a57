// Bytes in and out of a connection of the HTTP loop: a non-blocking socket,
// plain or through a TLS session (OpenSSL). What the loop must wait for
// next is part of the answer: a TLS session may need to read while it
// writes, and to write while it reads.
#pragma once

#include <cstddef>

struct ssl_st;

namespace qel::http {

enum class Io {
    Done,       // some bytes moved (or the handshake is complete)
    WantRead,   // nothing now: wait until the socket is readable
    WantWrite,  // nothing now: wait until the socket is writable
    Closed,     // the peer is gone, ended, or broke the protocol
};

// `tls` null: the plain socket.
Io ChannelRead(int fd, ssl_st* tls, char* data, std::size_t size, std::size_t& got);
Io ChannelWrite(int fd, ssl_st* tls, const char* data, std::size_t size, std::size_t& put);
// A server's handshake, a step at a time.
Io ChannelHandshake(ssl_st* tls);
// Bytes the session has decrypted already, which the socket no longer signals.
bool ChannelPending(ssl_st* tls);
// A clean end (TLS: close_notify, best effort, never waiting).
void ChannelShutdown(ssl_st* tls);
// Frees the session and closes the socket.
void ChannelClose(int fd, ssl_st*& tls);

}  // namespace qel::http
