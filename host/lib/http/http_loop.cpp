#include "http/http_loop.h"

#include "http/http_channel.h"
#include "http/tls_context.h"

#include <netdb.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace qel::http {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kListener = ~std::uint64_t{0};
constexpr std::uint64_t kWake = kListener - 1;
constexpr std::uint64_t kWatched = kListener - 2;
constexpr std::size_t kReadChunk = 16384;

// Once, never waiting: an answer before a close. Over TLS only after the
// handshake: a plain answer would mean nothing to the client.
void SendBestEffort(int fd, ssl_st* tls, const std::string& bytes) {
    if (tls && !SSL_is_init_finished(tls)) return;
    std::size_t put = 0;
    ChannelWrite(fd, tls, bytes.data(), bytes.size(), put);
}

}  // namespace

// Answers posted to the loop, from any thread.
class Mailbox {
public:
    struct Posted {
        std::uint64_t connection;
        std::uint64_t request;
        Response response;
    };
    explicit Mailbox(int wake) : wake_(wake) {}
    void Post(Posted posted) {
        std::lock_guard lock(mutex_);
        if (wake_ < 0) return;
        posted_.push_back(std::move(posted));
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
    }
    std::vector<Posted> Take() {
        std::lock_guard lock(mutex_);
        std::vector<Posted> taken;
        taken.swap(posted_);
        return taken;
    }
    // No more posts; the loop closes the eventfd itself.
    void Shut() {
        std::lock_guard lock(mutex_);
        wake_ = -1;
        posted_.clear();
    }

private:
    std::mutex mutex_;
    int wake_;
    std::vector<Posted> posted_;
};

void Responder::operator()(Response response) const {
    if (mailbox_) mailbox_->Post({connection_, request_, std::move(response)});
}

struct HttpLoop::Connection {
    enum class State { Handshaking, Reading, Answering, Writing };
    int fd = -1;
    ssl_st* tls = nullptr;  // with TLS: the session
    std::uint64_t id = 0;
    State state = State::Reading;
    std::string in;
    std::string out;
    std::size_t sent = 0;
    bool keepAlive = true;  // after the answer being written
    bool head = false;      // the request being answered was HEAD
    bool ended = false;     // the peer has shut its side
    std::uint64_t request = 0;
    Clock::time_point idleSince;  // when it began to wait for a request (the eviction order)
    Clock::time_point deadline;
    std::uint32_t watching = 0;
};

struct HttpLoop::Table {
    std::unordered_map<std::uint64_t, Connection> byId;
};

HttpLoop::HttpLoop(Handler handler, ConnectionLimits limits)
    : handler_(std::move(handler)), limits_(limits), connections_(std::make_unique<Table>()) {}

HttpLoop::~HttpLoop() {
    Stop();
    if (listener_ >= 0) ::close(listener_);
}

bool HttpLoop::Listen(const std::string& host, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); failure != 0) {
        error = "cannot listen for HTTP on " + host + ": " + ::gai_strerror(failure);
        return false;
    }
    std::string why = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            sockaddr_storage bound{};
            socklen_t size = sizeof bound;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
            port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            listener_ = fd;
            break;
        }
        why = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (listener_ < 0) {
        error = "cannot listen for HTTP on " + host + ":" + service + ": " + why;
        return false;
    }
    return true;
}

void HttpLoop::UseTls(std::shared_ptr<TlsContext> tls) { tls_ = std::move(tls); }

void HttpLoop::Start() {
    if (thread_.joinable() || listener_ < 0) return;
    // libssl writes with write(2), which raises SIGPIPE on a connection the
    // peer closed; a plain socket's send says MSG_NOSIGNAL instead.
    if (tls_) std::signal(SIGPIPE, SIG_IGN);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    mailbox_ = std::make_shared<Mailbox>(wake_);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = kListener;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &e);
    e.data.u64 = kWake;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &e);
    if (watched_ >= 0) {
        e.data.u64 = kWatched;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, watched_, &e);
    }
    stopping_ = false;
    thread_ = std::thread([this] {
        Run();
        mailbox_->Shut();
        ::close(wake_);
        wake_ = -1;
    });
}

void HttpLoop::WatchFd(int fd, std::function<void()> onReadable) {
    watched_ = fd;
    onWatched_ = std::move(onReadable);
}

void HttpLoop::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    mailbox_->Post({0, 0, {}});  // only to wake the loop: no connection has id 0
    thread_.join();
    ::close(epoll_);
    epoll_ = -1;
    // No one waits in the backlog for a server that has stopped.
    ::close(listener_);
    listener_ = -1;
}

void HttpLoop::Run() {
    std::vector<epoll_event> events(64);
    while (!stopping_) {
        const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), NextTimeout());
        if (n < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == kListener) {
                Accept();
            } else if (id == kWatched) {
                onWatched_();
            } else if (id == kWake) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto r = ::read(wake_, &count, sizeof count);
                DrainMailbox();
            } else if (auto it = connections_->byId.find(id); it != connections_->byId.end()) {
                Connection& c = it->second;
                const auto what = events[i].events;
                // A TLS session may wait for the other direction: what is
                // watched is what the state needs (see Watch's callers).
                if (c.state == Connection::State::Handshaking) {
                    Handshake(c);
                } else if (c.state == Connection::State::Reading &&
                           (what & (EPOLLIN | EPOLLOUT | EPOLLHUP | EPOLLERR))) {
                    OnReadable(c);
                } else if (c.state == Connection::State::Writing &&
                           (what & (EPOLLIN | EPOLLOUT | EPOLLHUP | EPOLLERR))) {
                    Flush(c);
                } else if (what & (EPOLLHUP | EPOLLERR)) {
                    Close(id);
                }
            }
        }
        Expire();
        if (listenerPaused_ && Clock::now() >= listenerResume_) {
            listenerPaused_ = false;
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = kListener;
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &e);
        }
    }
    for (auto& [id, c] : connections_->byId) ChannelClose(c.fd, c.tls);
    connections_->byId.clear();
    counts_.open = 0;
}

int HttpLoop::NextTimeout() const {
    auto next = Clock::time_point::max();
    for (const auto& [id, c] : connections_->byId) next = std::min(next, c.deadline);
    if (listenerPaused_) next = std::min(next, listenerResume_);
    if (next == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

void HttpLoop::Accept() {
    // A bounded batch, so that the connections already open are served meanwhile.
    for (int batch = 0; batch < 64; ++batch) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: pause the listener a moment rather than spin on it.
                listenerPaused_ = true;
                listenerResume_ = Clock::now() + std::chrono::milliseconds(100);
                epoll_event e{};
                e.data.u64 = kListener;
                ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &e);
            }
            return;
        }
        ++counts_.accepted;
        if (connections_->byId.size() >= limits_.maxConnections) {
            // Make room: the connection that has waited longest for a request goes.
            Connection* oldest = nullptr;
            for (auto& [id, c] : connections_->byId)
                if ((c.state == Connection::State::Reading || c.state == Connection::State::Handshaking) &&
                    (!oldest || c.idleSince < oldest->idleSince))
                    oldest = &c;
            if (!oldest) {
                ++counts_.refused;
                if (!tls_) SendBestEffort(fd, nullptr, Serialize(TextResponse(503), false, false));
                ::close(fd);
                continue;
            }
            ++counts_.evicted;
            Close(oldest->id);
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const auto now = Clock::now();
        Connection c;
        c.fd = fd;
        c.id = nextId_++;
        if (tls_) {
            // The handshake counts against the first request's deadline: a
            // client that never finishes it holds its slot no longer.
            c.tls = tls_->NewSession(fd);
            if (!c.tls) {
                ::close(fd);
                continue;
            }
            c.state = Connection::State::Handshaking;
        }
        c.idleSince = now;
        c.deadline = now + limits_.requestDeadline;
        auto& placed = connections_->byId.emplace(c.id, std::move(c)).first->second;
        ++counts_.open;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = placed.id;
        placed.watching = EPOLLIN;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) != 0) Close(placed.id);
    }
}

void HttpLoop::Watch(Connection& c, std::uint32_t events) {
    if (c.watching == events) return;
    epoll_event e{};
    e.events = events;
    e.data.u64 = c.id;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &e);
    c.watching = events;
}

void HttpLoop::Close(std::uint64_t id) {
    const auto it = connections_->byId.find(id);
    if (it == connections_->byId.end()) return;
    // Counted first: a peer that sees its connection closed sees the count without it.
    --counts_.open;
    ChannelClose(it->second.fd, it->second.tls);  // also takes it out of the epoll set
    connections_->byId.erase(it);
}

void HttpLoop::Handshake(Connection& c) {
    switch (ChannelHandshake(c.tls)) {
    case Io::Done:
        c.state = Connection::State::Reading;
        Watch(c, EPOLLIN);
        OnReadable(c);  // the request may have come with the handshake's last flight
        return;
    case Io::WantRead:
        Watch(c, EPOLLIN);
        return;
    case Io::WantWrite:
        Watch(c, EPOLLOUT);
        return;
    case Io::Closed:
        Close(c.id);
        return;
    }
}

void HttpLoop::OnReadable(Connection& c) {
    const std::size_t bound = limits_.request.maxHead + limits_.request.maxBody + 1;
    char chunk[kReadChunk];
    Io last = Io::WantRead;
    for (;;) {
        if (c.in.size() >= bound) break;  // the parser has refused such a request already
        const std::size_t want = std::min(sizeof chunk, bound - c.in.size());
        std::size_t got = 0;
        last = ChannelRead(c.fd, c.tls, chunk, want, got);
        if (last == Io::Done) {
            if (c.in.empty()) c.deadline = Clock::now() + limits_.requestDeadline;  // a request begins
            c.in.append(chunk, got);
            // A plain socket short of the chunk is empty; a TLS session
            // hands over a record at a time, so it is read until it waits.
            if (!c.tls && got < want) break;
            continue;
        }
        if (last == Io::Closed) c.ended = true;  // the peer sends no more (or is gone)
        break;
    }
    // A session that must write before it reads on is watched for both.
    Watch(c, last == Io::WantWrite ? EPOLLIN | EPOLLOUT : EPOLLIN);
    const std::uint64_t id = c.id;
    if (!c.in.empty()) Advance(c);
    // Nothing more will come: what is not being answered now never will be.
    if (const auto it = connections_->byId.find(id); it != connections_->byId.end() && it->second.ended &&
                                                      it->second.state == Connection::State::Reading)
        Close(id);
}

// Reads the next request out of what the connection sent, if it is whole.
void HttpLoop::Advance(Connection& c) {
    Request request;
    const auto result = ParseRequest(c.in, limits_.request, request);
    if (result.kind == ParseResult::Kind::NeedMore) {
        if (c.in.size() > limits_.request.maxHead + limits_.request.maxBody) Answer(c, TextResponse(400), false, false);
        return;
    }
    if (result.kind == ParseResult::Kind::Bad) {
        Answer(c, TextResponse(result.status), false, false);
        return;
    }
    c.in.erase(0, result.used);
    Dispatch(c, request);
}

void HttpLoop::Dispatch(Connection& c, const Request& request) {
    ++counts_.requests;
    c.state = Connection::State::Answering;
    c.keepAlive = request.keepAlive && !c.ended;
    c.head = request.method == "HEAD";
    c.request += 1;
    c.deadline = Clock::now() + limits_.answerDeadline;
    Watch(c, 0);
    const std::uint64_t id = c.id;
    try {
        handler_(request, Responder(mailbox_, id, c.request));
    } catch (const std::exception&) {
        Responder(mailbox_, id, c.request)(TextResponse(500));
    }
    // An answer given at once is written at once, not after another turn of the loop.
    DrainMailbox();
}

void HttpLoop::DrainMailbox() {
    for (auto& posted : mailbox_->Take()) {
        const auto it = connections_->byId.find(posted.connection);
        if (it == connections_->byId.end()) continue;
        Connection& c = it->second;
        if (c.state != Connection::State::Answering || c.request != posted.request) continue;
        Answer(c, posted.response, c.keepAlive, c.head);
    }
}

void HttpLoop::Answer(Connection& c, const Response& response, bool keepAlive, bool head) {
    c.state = Connection::State::Writing;
    c.keepAlive = keepAlive && !stopping_;
    c.out = Serialize(response, c.keepAlive, head);
    c.sent = 0;
    c.deadline = Clock::now() + limits_.writeDeadline;
    Flush(c);
}

void HttpLoop::Flush(Connection& c) {
    while (c.sent < c.out.size()) {
        std::size_t put = 0;
        const Io io = ChannelWrite(c.fd, c.tls, c.out.data() + c.sent, c.out.size() - c.sent, put);
        if (io == Io::Done) {
            c.sent += put;
            continue;
        }
        if (io == Io::WantWrite || io == Io::WantRead) {
            Watch(c, io == Io::WantWrite ? EPOLLOUT : EPOLLIN);
            return;
        }
        Close(c.id);
        return;
    }
    if (!c.keepAlive) {
        ChannelShutdown(c.tls);
        Close(c.id);
        return;
    }
    c.out.clear();
    c.out.shrink_to_fit();
    c.state = Connection::State::Reading;
    const auto now = Clock::now();
    c.idleSince = now;
    c.deadline = now + (c.in.empty() ? limits_.idleTimeout : limits_.requestDeadline);
    Watch(c, EPOLLIN);
    // A request sent before this answer was taken: in the buffer, or still
    // in the TLS session, where the socket no longer signals it.
    if (ChannelPending(c.tls)) OnReadable(c);
    else if (!c.in.empty()) Advance(c);
}

void HttpLoop::Expire() {
    const auto now = Clock::now();
    std::vector<std::uint64_t> late;
    for (const auto& [id, c] : connections_->byId)
        if (c.deadline <= now) late.push_back(id);
    for (const auto id : late) {
        auto& c = connections_->byId.at(id);
        ++counts_.timedOut;
        if (c.state == Connection::State::Reading && !c.in.empty()) {
            SendBestEffort(c.fd, c.tls, Serialize(TextResponse(408), false, false));
        } else if (c.state == Connection::State::Answering) {
            SendBestEffort(c.fd, c.tls, Serialize(TextResponse(503), false, c.head));
        }
        Close(id);
    }
}

}  // namespace qel::http
