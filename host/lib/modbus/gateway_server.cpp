#include "modbus/gateway_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "modbus/mbap_reply.h"
#include "modbus/peer_window.h"

namespace qel::modbus {

namespace {

// A client's requests handed to the line and not yet answered; above this the
// gateway takes no more from it until some are answered.
constexpr std::size_t kMaxPendingPerClient = 16;
// The smallest request (a read), for counting the requests a client's bytes hold.
constexpr std::size_t kReadRequestBytes = 12;
// A held client (replies unread, or requests piling up) gets only the line
// time no other client wants, for at least this long, and until its replies
// are taken and few of its requests wait.
constexpr auto kHeldAtLeast = std::chrono::seconds(1);

// Dead peers on a plant network: the first probe after 30 s of silence, then
// every 10 s, three unanswered probes close it; data unacknowledged for 60 s
// closes it as well.
constexpr int kKeepIdle = 30;
constexpr int kKeepInterval = 10;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 60000;
// The socket's own send buffer; what does not fit waits in the client's
// output buffer, bounded by ServerLimits::maxOutput.
constexpr int kSendBuffer = 16 * 1024;

void Name(const sockaddr_storage& address, std::string& peer, std::string& host) {
    char text[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    host = text;
    peer = host + ":" + std::to_string(port);
}

void TuneSocket(int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdle, sizeof kKeepIdle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepInterval, sizeof kKeepInterval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
}

long long Seconds(std::chrono::steady_clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

}  // namespace

GatewayServer::GatewayServer(const RequestPlanner& planner, LineWorker& worker, ServerLimits limits,
                             session::ReportSink report)
    : planner_(planner), worker_(worker), limits_(limits), report_(report), clientLog_(std::move(report)) {}

GatewayServer::~GatewayServer() {
    for (auto& [id, client] : clients_) close(client.fd);
    if (listenFd_ >= 0) close(listenFd_);
    if (ctx_ != nullptr) modbus_free(ctx_);
}

ListenResult GatewayServer::Listen(const std::string& listen, std::string& error) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) {
        error = "--listen wants ADDR:PORT, e.g. 127.0.0.1:1502 or [::1]:1502, not " + listen;
        return ListenResult::BadAddress;
    }
    std::string node = listen.substr(0, colon);
    if (node.size() > 2 && node.front() == '[' && node.back() == ']') node = node.substr(1, node.size() - 2);
    const std::string service = listen.substr(colon + 1);
    ctx_ = modbus_new_tcp_pi(node.c_str(), service.c_str());
    if (ctx_ == nullptr) {
        error = "--listen " + listen + ": cannot set up Modbus TCP: " + modbus_strerror(errno);
        return ListenResult::BadAddress;
    }
    listenFd_ = modbus_tcp_pi_listen(ctx_, 16);
    if (listenFd_ < 0) {
        const int why = errno;
        std::string reason = modbus_strerror(why);
        if (why == EADDRINUSE) {
            reason = "the port is taken by another program";
        } else if (why == EACCES || why == EPERM) {
            // Ports below 1024 need root or the capability; the unit has it.
            reason += ": ports below 1024 need the capability CAP_NET_BIND_SERVICE (run it as the qelgate@ or "
                      "qelgate service, which has it, or: sudo setcap cap_net_bind_service=+ep $(command -v "
                      "qelgate)), or listen on a port from 1024 up, such as 1502";
        }
        error = "--listen " + listen + ": cannot listen there: " + reason;
        return ListenResult::Failed;
    }
    fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    return ListenResult::Ok;
}

// Reply bytes that the client has not taken: in the socket (sent, not yet
// acknowledged by its reading) and in the gateway's buffer.
std::size_t Unsent(int fd, std::size_t buffered) {
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) queued = 0;
    return buffered + static_cast<std::size_t>(queued);
}

// Request bytes the client sent that the gateway has not taken yet.
std::size_t Unreceived(int fd) {
    int queued = 0;
    if (ioctl(fd, SIOCINQ, &queued) != 0 || queued < 0) queued = 0;
    return static_cast<std::size_t>(queued);
}

bool GatewayServer::CheckReading(std::uint64_t id, Client& client) {
    const auto now = Clock::now();
    // Its replies unread: what it has not taken yet, and what sits on its
    // side unread, as the window it advertises shrinks from the widest seen.
    std::size_t unsent = Unsent(client.fd, client.out.size());
    if (const auto window = PeerWindow(client.fd)) {
        client.widest = std::max(client.widest, *window);
        unsent += client.widest - *window;
    }
    // Its requests waiting: those under way, those taken and not yet
    // handed on, and those still in its socket (a read is 12 bytes).
    const std::size_t inbound = Unreceived(client.fd);
    const std::size_t waiting = client.pending + (client.framer.Buffered() + inbound) / kReadRequestBytes;
    if (!client.unread && (unsent > limits_.unread || waiting > limits_.waiting)) {
        client.unread = true;
        client.unreadSince = now;
        client.holdUntil = now + kHeldAtLeast;
        worker_.Hold(id, true);
        const std::string why = unsent > limits_.unread ? std::to_string(unsent) + " bytes unread"
                                                        : std::to_string(waiting) + " requests waiting";
        clientLog_.Line(client.host, "not reading",
                        "held client " + client.peer + ": it does not read its replies (" + why +
                            "); its requests wait until it reads, and it is the first to go at --max-clients");
    } else if (client.unread && now >= client.holdUntil && unsent <= limits_.unread / 2 &&
               waiting <= limits_.waiting / 2) {
        // It took its replies and has few requests waiting.
        client.unread = false;
        worker_.Hold(id, false);
        clientLog_.Line(client.host, "reading again", "client " + client.peer + " reads its replies again");
        return Process(id, client);
    }
    return true;
}

void GatewayServer::Run(int stopFd) {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    for (;;) {
        fds.assign({{stopFd, POLLIN, 0}, {worker_.WakeFd(), POLLIN, 0}, {listenFd_, POLLIN, 0}});
        ids.assign(3, 0);
        for (const auto& [id, client] : clients_) {
            // A client with many requests under way, or a whole request held,
            // is read again when some are answered: what it sends meanwhile
            // waits in its socket, not in the gateway's memory.
            const bool room = client.pending < kMaxPendingPerClient && client.framer.Buffered() < kMaxAduLength;
            short events = room ? POLLIN : 0;
            if (!client.out.empty()) events = static_cast<short>(events | POLLOUT);
            fds.push_back({client.fd, events, 0});
            ids.push_back(id);
        }
        // Woken at least once a second for the time limits, and often
        // while a client is held, to see whether it reads again.
        const bool watch = std::any_of(clients_.begin(), clients_.end(), [](const auto& c) {
            return c.second.unread || c.second.pending >= kMaxPendingPerClient;
        });
        if (poll(fds.data(), fds.size(), watch ? 100 : 1000) < 0) {
            if (errno == EINTR) continue;
            Log(report_, session::Severity::Error, "poll failed: %s", std::strerror(errno));
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) {
            for (auto& job : worker_.TakeFinished()) Answer(*job);
        }
        if (fds[2].revents != 0) Accept();
        for (std::size_t i = 3; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto found = clients_.find(ids[i]);
            if (found == clients_.end()) continue;
            if ((fds[i].revents & POLLOUT) != 0 && !Flush(found->first, found->second)) continue;
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) Receive(found->first, found->second);
        }
        // Held clients, to see whether they read again; and those with as
        // many requests under way as they may have, to see whether they pile
        // up more.
        for (std::size_t i = 3; i < fds.size(); ++i) {
            auto found = clients_.find(ids[i]);
            if (found == clients_.end()) continue;
            if (found->second.unread || found->second.pending >= kMaxPendingPerClient)
                CheckReading(found->first, found->second);
        }
        const auto now = Clock::now();
        Sweep(now);
        clientLog_.Flush(now);
    }
}

void GatewayServer::Accept() {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    std::string peer, host;
    Name(address, peer, host);
    if (clients_.size() >= limits_.maxClients && !MakeRoom(peer, host)) {
        stats_.Refused();
        clientLog_.Line(host, "refused", "refused " + peer + ": " + std::to_string(clients_.size()) +
                                             " clients (--max-clients), each with requests under way");
        close(fd);
        return;
    }
    TuneSocket(fd);
    const std::uint64_t id = nextId_++;
    Client& client = clients_[id];
    client.fd = fd;
    client.peer = peer;
    client.host = host;
    client.heard = Clock::now();
    stats_.Connected();
    clientLog_.Line(host, "connected", "client " + peer + " connected (" + std::to_string(clients_.size()) +
                                           " of at most " + std::to_string(limits_.maxClients) + ")");
}

bool GatewayServer::MakeRoom(const std::string& peer, const std::string& host) {
    (void)host;
    // First a client that does not read its replies, the one longest so.
    auto victim = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (!it->second.unread) continue;
        if (victim == clients_.end() || it->second.unreadSince < victim->second.unreadSince) victim = it;
    }
    if (victim != clients_.end()) {
        stats_.Evicted();
        Close(victim->first, "evicted",
              "evicted client " + victim->second.peer + " (its replies unread for " +
                  std::to_string(Seconds(Clock::now() - victim->second.unreadSince)) + " s) to make room for " +
                  peer + " (--max-clients)");
        return true;
    }
    // Else the client idle longest, of those with nothing under way.
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->second.pending != 0 || !it->second.out.empty()) continue;
        if (victim == clients_.end() || it->second.heard < victim->second.heard) victim = it;
    }
    if (victim == clients_.end()) return false;
    stats_.Evicted();
    const std::string message = "evicted client " + victim->second.peer + " (idle " +
                                std::to_string(Seconds(Clock::now() - victim->second.heard)) +
                                " s, the longest) to make room for " + peer + " (--max-clients)";
    Close(victim->first, "evicted", message);
    return true;
}

std::string GatewayServer::HttpHint(const Client& client) const {
    if (!client.framer.Http()) return {};
    if (limits_.http.empty())
        return "; this is the Modbus TCP port, and no HTTP is served: start qelgate with --http ADDR:PORT for the "
               "status page and /metrics";
    return "; this is the Modbus TCP port; HTTP is served on --http " + limits_.http;
}

void GatewayServer::Close(std::uint64_t id, const char* reason, const std::string& message) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return;
    Client& client = found->second;
    // Its requests still waiting for the line are forgotten; nobody else's.
    const std::size_t dropped = worker_.DropClient(id);
    std::string line = message;
    if (dropped > 0) line += "; " + std::to_string(dropped) + " of its requests were waiting and are dropped";
    // Logged before the client sees the close.
    clientLog_.Line(client.host, reason, line);
    close(client.fd);
    stats_.Disconnected();
    clients_.erase(found);
}

void GatewayServer::Receive(std::uint64_t id, Client& client) {
    std::uint8_t bytes[4096];
    const ssize_t got = recv(client.fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (got == 0) return Close(id, "disconnected", "client " + client.peer + " disconnected");
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        return Close(id, "lost", "client " + client.peer + " lost: " + std::strerror(errno));
    }
    client.heard = Clock::now();
    client.framer.Append(bytes, static_cast<std::size_t>(got));
    Process(id, client);
}

bool GatewayServer::Process(std::uint64_t id, Client& client) {
    while (client.pending < kMaxPendingPerClient) {
        switch (client.framer.Next()) {
            case MbapFramer::Status::NeedMore:
                if (client.framer.Buffered() == 0) {
                    client.partial = false;
                } else if (!client.partial) {
                    client.partial = true;
                    client.partialSince = Clock::now();
                }
                return true;
            case MbapFramer::Status::Bad:
                Close(id, "bad frame", "closed client " + client.peer + ": " + client.framer.Reason() + HttpHint(client));
                return false;
            case MbapFramer::Status::Whole:
                client.partial = false;
                if (!Handle(id, client, client.framer.Request())) return false;
                break;
        }
    }
    // Not reading from it now: what it holds is not its delay.
    client.partial = false;
    return true;
}

bool GatewayServer::Handle(std::uint64_t id, Client& client, const std::vector<std::uint8_t>& request) {
    stats_.Request(request[kMbapHeaderLength]);
    auto job = std::make_unique<Job>();
    job->client = id;
    job->request = request;
    const unsigned unit = request[kMbapHeaderLength - 1];
    int code = 0;
    if (!limits_.units.test(unit)) {
        code = MODBUS_EXCEPTION_GATEWAY_PATH;
    } else {
        switch (DecodeRequest(request.data(), static_cast<int>(request.size()), kMbapHeaderLength, job->modbus)) {
            case Decoded::Unsupported: code = MODBUS_EXCEPTION_ILLEGAL_FUNCTION; break;
            case Decoded::BadValue: code = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE; break;
            case Decoded::Ok: code = planner_.Plan(*job); break;
        }
    }
    if (!job->refusal.empty()) {
        clientLog_.Line(client.host, "write refused",
                        "refused a write from " + client.peer + " to unit " + std::to_string(unit) + " at " +
                            std::to_string(job->modbus.address) + ": " + job->refusal);
    }
    // A station held down costs no line time.
    if (code == 0 && worker_.StationDown(job->modbus.unit)) code = MODBUS_EXCEPTION_GATEWAY_TARGET;
    if (code != 0 && client.pending == 0) return Send(id, client, ExceptionReply(request.data(), request.size(), code));
    // With requests under way, even an exception waits its turn, so that the
    // client gets its answers in the order it asked.
    job->exception = code;
    ++client.pending;
    worker_.Submit(std::move(job));
    return true;
}

std::vector<std::uint8_t> GatewayServer::Reply(const Job& job) {
    if (job.exception != 0) return ExceptionReply(job.request.data(), job.request.size(), job.exception);
    return NormalReply(job.request, job.modbus, job.values);
}

void GatewayServer::Answer(Job& job) {
    auto found = clients_.find(job.client);
    if (found == clients_.end()) return;  // the client went away
    Client& client = found->second;
    --client.pending;
    if (Send(job.client, client, Reply(job))) Process(job.client, client);
}

bool GatewayServer::Send(std::uint64_t id, Client& client, const std::vector<std::uint8_t>& reply) {
    if (reply.size() > kMbapHeaderLength && (reply[kMbapHeaderLength] & 0x80) != 0) stats_.Exception(reply.back());
    client.out.insert(client.out.end(), reply.begin(), reply.end());
    if (!Flush(id, client)) return false;
    if (client.out.size() > limits_.maxOutput) {
        Close(id, "not reading", "closed client " + client.peer + ": it does not read its replies (" +
                                     std::to_string(client.out.size()) + " bytes waiting)");
        return false;
    }
    return CheckReading(id, client);
}

bool GatewayServer::Flush(std::uint64_t id, Client& client) {
    std::size_t done = 0;
    while (done < client.out.size()) {
        const ssize_t sent = send(client.fd, client.out.data() + done, client.out.size() - done,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            client.heard = Clock::now();
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        Close(id, "lost", "client " + client.peer + " cannot be answered: " + std::strerror(errno));
        return false;
    }
    client.out.erase(client.out.begin(), client.out.begin() + static_cast<std::ptrdiff_t>(done));
    return true;
}

void GatewayServer::Sweep(Clock::time_point now) {
    std::vector<std::pair<std::uint64_t, std::string>> stale;
    for (const auto& [id, client] : clients_) {
        if (client.partial && now - client.partialSince >= limits_.incomplete) {
            stale.emplace_back(id, "closed client " + client.peer + ": a request left incomplete for " +
                                       std::to_string(limits_.incomplete.count()) + " s");
        } else if ((client.pending == 0 || client.unread) && now - client.heard >= limits_.clientIdle) {
            stale.emplace_back(id, "closed client " + client.peer + ": idle for " +
                                       std::to_string(limits_.clientIdle.count()) + " s (--client-idle)");
        }
    }
    for (const auto& [id, message] : stale)
        Close(id, message.find("incomplete") != std::string::npos ? "incomplete" : "idle", message);
}

void GatewayServer::Finish() {
    for (auto& job : worker_.TakeFinished()) Answer(*job);
    // The replies already made, for at most a second.
    const auto end = Clock::now() + std::chrono::seconds(1);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<std::uint64_t> ids;
        for (const auto& [id, client] : clients_) {
            if (client.out.empty()) continue;
            fds.push_back({client.fd, POLLOUT, 0});
            ids.push_back(id);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (fds.empty() || left <= 0) break;
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            auto found = clients_.find(ids[i]);
            if (fds[i].revents != 0 && found != clients_.end()) Flush(found->first, found->second);
        }
    }
    std::size_t notDone = 0, undelivered = 0, waiting = 0;
    for (const auto& [id, client] : clients_) {
        notDone += client.pending;
        if (!client.out.empty()) ++undelivered;
        if (client.pending != 0) ++waiting;
    }
    clientLog_.Flush(Clock::now() + ClientLog::kWindow);
    Log(report_, session::Severity::Info, "stopping: %zu requests of %zu clients were not done and are not answered; replies to %zu clients could "
        "not be delivered",
        notDone, waiting, undelivered);
}

}  // namespace qel::modbus
