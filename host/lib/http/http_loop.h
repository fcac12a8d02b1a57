// A small HTTP/1.1 server on one thread: a non-blocking event loop (epoll)
// that accepts, reads each connection into a bounded buffer, parses whole
// requests and writes the answers. No client can hold it:
//  - a request must arrive whole within a deadline counted from its first
//    byte (from the accept for a connection's first request), not per read:
//    408 and the connection is closed;
//  - between requests a keep-alive connection may idle only so long;
//  - an answer must be taken by the client within a deadline;
//  - at most so many connections are open; a new one closes the one that has
//    been waiting for a request longest (the oldest idle), and is refused only
//    while every connection has a request being answered.
// With TLS (UseTls) it speaks TLS only, in the same loop: the handshake is
// non-blocking and counts against the first request's deadline, and a
// connection in its handshake is idle for the eviction.
// A handler gets the request and a Responder. It may answer at once or later
// from any thread: the answer is posted back to the loop (an eventfd wakes
// it). The loop reads no further request from that connection meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "http/http_request.h"
#include "http/http_response.h"

namespace qel::http {

class Mailbox;
class TlsContext;

// Answers one request. Safe to call from any thread, at any time, even after
// the server stopped; only its first call counts.
class Responder {
public:
    Responder(std::shared_ptr<Mailbox> mailbox, std::uint64_t connection, std::uint64_t request)
        : mailbox_(std::move(mailbox)), connection_(connection), request_(request) {}
    void operator()(Response response) const;

private:
    std::shared_ptr<Mailbox> mailbox_;
    std::uint64_t connection_;
    std::uint64_t request_;
};

using Handler = std::function<void(const Request&, Responder)>;

struct ConnectionLimits {
    RequestLimits request;
    std::size_t maxConnections = 128;
    std::chrono::milliseconds requestDeadline{5000};  // a whole request, from its first byte
    std::chrono::milliseconds idleTimeout{15000};     // between requests on a kept-alive connection
    std::chrono::milliseconds writeDeadline{10000};   // for the client to take an answer
    std::chrono::milliseconds answerDeadline{30000};  // for a handler to answer (503 after it)
};

// What the loop has done, for tests and diagnostics.
struct LoopCounts {
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> evicted{0};   // the oldest idle, closed for a new connection
    std::atomic<std::uint64_t> refused{0};   // new connections closed at once: every slot busy
    std::atomic<std::uint64_t> timedOut{0};  // closed at a deadline
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> open{0};
};

class HttpLoop {
public:
    explicit HttpLoop(Handler handler, ConnectionLimits limits = {});
    ~HttpLoop();
    HttpLoop(const HttpLoop&) = delete;
    HttpLoop& operator=(const HttpLoop&) = delete;

    // Binds and listens (host: a name or an address); false with a reason.
    bool Listen(const std::string& host, int port, std::string& error);
    int Port() const { return port_; }
    // TLS only on every connection, with this context (shared: a reload
    // replaces the certificate in it for new connections). Before Start.
    void UseTls(std::shared_ptr<TlsContext> tls);
    // Runs the loop on a thread of its own until Stop, which also closes the listener.
    void Start();
    void Stop();
    // Before Start: the loop waits on `fd` too and calls `onReadable` on its
    // own thread while it is readable (which it must clear): the line
    // scheduler's wake descriptor of the gate API.
    void WatchFd(int fd, std::function<void()> onReadable);
    const LoopCounts& Counts() const { return counts_; }

private:
    struct Connection;
    void Run();
    void Accept();
    void Handshake(Connection& c);
    void OnReadable(Connection& c);
    void Advance(Connection& c);
    void Dispatch(Connection& c, const Request& request);
    void Answer(Connection& c, const Response& response, bool keepAlive, bool head);
    void Flush(Connection& c);
    void Close(std::uint64_t id);
    void Watch(Connection& c, std::uint32_t events);
    void DrainMailbox();
    void Expire();
    int NextTimeout() const;

    Handler handler_;
    ConnectionLimits limits_;
    std::shared_ptr<Mailbox> mailbox_;
    std::shared_ptr<TlsContext> tls_;
    int listener_ = -1;
    int epoll_ = -1;
    int wake_ = -1;
    int watched_ = -1;
    std::function<void()> onWatched_;
    int port_ = 0;
    bool listenerPaused_ = false;
    std::chrono::steady_clock::time_point listenerResume_;
    std::uint64_t nextId_ = 1;
    struct Table;
    std::unique_ptr<Table> connections_;
    LoopCounts counts_;
    std::atomic<bool> stopping_ = false;
    std::thread thread_;
};

}  // namespace qel::http
