// The Modbus TCP side: libmodbus's listener, its request framing and its
// replies, for many clients on one thread. Requests go to the line worker
// and are answered in each client's order when it hands them back.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <map>
#include <string>

#include "line_worker.h"
#include "request_planner.h"

namespace qelgate {

class GatewayServer {
public:
    GatewayServer(const RequestPlanner& planner, LineWorker& worker, const DownHold& hold, int maxClients);
    ~GatewayServer();
    GatewayServer(const GatewayServer&) = delete;
    GatewayServer& operator=(const GatewayServer&) = delete;

    // listen is ADDR:PORT ([v6addr]:PORT for IPv6); false with a reason.
    bool Listen(const std::string& listen, std::string& error);
    // Serves until stopFd becomes readable.
    void Run(int stopFd);

private:
    struct Client {
        int fd = -1;
        std::string peer;
        std::size_t pending = 0;  // requests given to the line worker, not yet answered
    };
    void Accept();
    void Receive(std::uint64_t id, Client& client);
    void Answer(Job& job);
    void Disconnect(std::uint64_t id, const char* why);
    void Exception(int fd, const std::uint8_t* request, int code);

    const RequestPlanner& planner_;
    LineWorker& worker_;
    const DownHold& hold_;
    std::size_t maxClients_;
    modbus_t* ctx_ = nullptr;
    int listenFd_ = -1;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, Client> clients_;
};

}  // namespace qelgate
