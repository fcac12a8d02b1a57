#include "gateway_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "gateway_log.h"

namespace qelgate {

namespace {

// A client's requests handed to the line and not yet answered; above this the
// gateway reads no more from it until some are answered.
constexpr std::size_t kMaxPendingPerClient = 16;

std::string PeerName(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return "?";
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    }
    return std::string(host) + ":" + std::to_string(port);
}

// A mapping that holds exactly the request's range: libmodbus answers from
// it (reads) or echoes into it (writes).
using Mapping = std::unique_ptr<modbus_mapping_t, decltype(&modbus_mapping_free)>;

Mapping MappingFor(const Job& job) {
    const ModbusRequest& m = job.modbus;
    const auto n = static_cast<unsigned>(m.count);
    const auto a = m.address;
    Mapping mapping(nullptr, &modbus_mapping_free);
    switch (m.table) {
        case Table::Coils: mapping.reset(modbus_mapping_new_start_address(a, n, 0, 0, 0, 0, 0, 0)); break;
        case Table::DiscreteInputs: mapping.reset(modbus_mapping_new_start_address(0, 0, a, n, 0, 0, 0, 0)); break;
        case Table::HoldingRegisters: mapping.reset(modbus_mapping_new_start_address(0, 0, 0, 0, a, n, 0, 0)); break;
        case Table::InputRegisters: mapping.reset(modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, a, n)); break;
    }
    if (!mapping || m.write) return mapping;
    for (unsigned i = 0; i < n; ++i) {
        const std::uint16_t v = job.values[i];
        switch (m.table) {
            case Table::Coils: mapping->tab_bits[i] = v != 0; break;
            case Table::DiscreteInputs: mapping->tab_input_bits[i] = v != 0; break;
            case Table::HoldingRegisters: mapping->tab_registers[i] = v; break;
            case Table::InputRegisters: mapping->tab_input_registers[i] = v; break;
        }
    }
    return mapping;
}

}  // namespace

GatewayServer::GatewayServer(const RequestPlanner& planner, LineWorker& worker, const DownHold& hold, int maxClients)
    : planner_(planner), worker_(worker), hold_(hold), maxClients_(static_cast<std::size_t>(maxClients)) {}

GatewayServer::~GatewayServer() {
    for (auto& [id, client] : clients_) close(client.fd);
    if (listenFd_ >= 0) close(listenFd_);
    if (ctx_ != nullptr) modbus_free(ctx_);
}

bool GatewayServer::Listen(const std::string& listen, std::string& error) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) {
        error = "--listen wants ADDR:PORT, e.g. 127.0.0.1:1502 or [::1]:1502, not " + listen;
        return false;
    }
    std::string node = listen.substr(0, colon);
    if (node.size() > 2 && node.front() == '[' && node.back() == ']') node = node.substr(1, node.size() - 2);
    const std::string service = listen.substr(colon + 1);
    ctx_ = modbus_new_tcp_pi(node.c_str(), service.c_str());
    if (ctx_ == nullptr) {
        error = "cannot set up Modbus TCP on " + listen + ": " + modbus_strerror(errno);
        return false;
    }
    // A client that stops in the middle of a request holds the server up for
    // at most this long per byte.
    modbus_set_byte_timeout(ctx_, 0, 200000);
    listenFd_ = modbus_tcp_pi_listen(ctx_, 16);
    if (listenFd_ < 0) {
        error = "cannot listen on " + listen + ": " + modbus_strerror(errno);
        return false;
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
            // A client with many requests under way is read again when some are answered.
            fds.push_back({client.fd, static_cast<short>(client.pending < kMaxPendingPerClient ? POLLIN : 0), 0});
            ids.push_back(id);
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            Log("poll failed: %s", std::strerror(errno));
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
            if (found != clients_.end()) Receive(found->first, found->second);
        }
    }
}

void GatewayServer::Accept() {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::string peer = PeerName(fd);
    if (clients_.size() >= maxClients_) {
        Log("refused %s: already %zu clients (--max-clients)", peer.c_str(), clients_.size());
        close(fd);
        return;
    }
    const std::uint64_t id = nextId_++;
    clients_[id] = Client{fd, peer, 0};
    Log("client %s connected (%zu of at most %zu)", peer.c_str(), clients_.size(), maxClients_);
}

void GatewayServer::Disconnect(std::uint64_t id, const char* why) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return;
    close(found->second.fd);
    // Its requests still waiting for the line are forgotten; nobody else's.
    const std::size_t dropped = worker_.DropClient(id);
    Log("client %s %s; %zu of its requests were waiting and are dropped", found->second.peer.c_str(), why, dropped);
    clients_.erase(found);
}

void GatewayServer::Exception(int fd, const std::uint8_t* request, int code) {
    modbus_set_socket(ctx_, fd);
    modbus_reply_exception(ctx_, request, static_cast<unsigned>(code));
}

void GatewayServer::Receive(std::uint64_t id, Client& client) {
    std::uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    modbus_set_socket(ctx_, client.fd);
    const int length = modbus_receive(ctx_, request);
    if (length < 0) {
        Disconnect(id, errno == EMBBADDATA || errno == EMBXILVAL ? "sent a malformed request; closed"
                                                                  : "disconnected");
        return;
    }
    if (length == 0) return;  // a request libmodbus ignores

    auto job = std::make_unique<Job>();
    job->client = id;
    job->request.assign(request, request + length);
    int code = 0;
    switch (DecodeRequest(request, length, modbus_get_header_length(ctx_), job->modbus)) {
        case Decoded::Unsupported: code = MODBUS_EXCEPTION_ILLEGAL_FUNCTION; break;
        case Decoded::BadValue: code = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE; break;
        case Decoded::Ok: code = planner_.Plan(*job); break;
    }
    // A station held down costs no line time.
    if (code == 0 && hold_.IsDown(job->modbus.unit)) code = MODBUS_EXCEPTION_GATEWAY_TARGET;
    if (code != 0 && client.pending == 0) return Exception(client.fd, request, code);
    // With requests under way, even an exception waits its turn, so that the
    // client gets its answers in the order it asked.
    job->exception = code;
    ++client.pending;
    worker_.Submit(std::move(job));
}

void GatewayServer::Answer(Job& job) {
    auto found = clients_.find(job.client);
    if (found == clients_.end()) return;  // the client went away
    Client& client = found->second;
    --client.pending;
    int sent = 0;
    if (job.exception != 0) {
        Exception(client.fd, job.request.data(), job.exception);
    } else {
        Mapping mapping = MappingFor(job);
        modbus_set_socket(ctx_, client.fd);
        sent = mapping ? modbus_reply(ctx_, job.request.data(), static_cast<int>(job.request.size()), mapping.get())
                       : modbus_reply_exception(ctx_, job.request.data(), MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    }
    if (sent < 0) Disconnect(job.client, "cannot be answered; closed");
}

}  // namespace qelgate
