// The Modbus TCP side, for many clients on one thread: each client's bytes
// are received on their own (non-blocking sockets), cut into requests by
// their MBAP headers, handed to the line worker, and answered in each
// client's order through a bounded output buffer. A client whose replies go
// unread (more than ServerLimits::unread bytes of them waiting on its side,
// in its socket and in the gateway), or that sends more requests than it is
// answered (more than ServerLimits::waiting waiting), is held: its requests
// get only the line time no other client wants, until it has read its
// replies and few of its requests wait; it is the first to go when a new
// client needs a slot.
// Clients that stall, idle or vanish are closed; at the client limit a new
// client evicts a client that does not read, else the one idle longest.
#pragma once

#include <modbus/modbus.h>

#include <bitset>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "modbus/gateway_log.h"
#include "session/line/line_stats.h"
#include "modbus/line_worker.h"
#include "modbus/mbap_framer.h"
#include "modbus/request_planner.h"

namespace qel::modbus {

struct ServerLimits {
    std::size_t maxClients = 8;
    std::chrono::seconds clientIdle{300};     // nothing sent or received, nothing under way
    std::chrono::seconds incomplete{5};       // a request begun and not finished
    std::size_t maxOutput = 16 * 1024;        // replies waiting for a client that does not read
    std::size_t unread = 4 * 1024;            // reply bytes unread (its side, the socket, the gateway) above which a client is held
    std::size_t waiting = 64;                 // requests waiting (under way and in its socket) above which it is held
    std::bitset<256> units = std::bitset<256>().set();  // the units served; others get exception 0x0A
    std::string http;  // --http ADDR:PORT, where the diagnostics are served; empty: none
};

enum class ListenResult { Ok, BadAddress, Failed };

class GatewayServer {
public:
    // report: where the server tells of its clients (connects, closes,
    // refusals, each host's burst limited) and of its stop.
    GatewayServer(const RequestPlanner& planner, LineWorker& worker, ServerLimits limits, session::ReportSink report);
    ~GatewayServer();
    GatewayServer(const GatewayServer&) = delete;
    GatewayServer& operator=(const GatewayServer&) = delete;

    // listen is ADDR:PORT ([v6addr]:PORT for IPv6); BadAddress when it is not
    // of that form, Failed when it cannot be listened on, with a reason.
    ListenResult Listen(const std::string& listen, std::string& error);
    // Serves until stopFd becomes readable; then takes no new requests. It
    // may be called again to go on serving (after a reload).
    void Run(int stopFd);
    // After the line worker stopped: sends the replies that are finished
    // (for at most a second) and logs what was not done.
    void Finish();

    // A reload, between two Runs: the limits from now on. The listener and
    // the clients stay; above a lowered --max-clients they leave as usual.
    void Reconfigure(const ServerLimits& limits) { limits_ = limits; }
    const ServerLimits& Limits() const { return limits_; }

    // The front-end's counters, for whoever reports them.
    session::FrontEndStats& Stats() { return stats_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        std::string peer;  // address:port
        std::string host;  // address
        MbapFramer framer;
        std::vector<std::uint8_t> out;  // replies not yet taken by the socket
        std::size_t pending = 0;        // requests given to the line worker, not yet answered
        Clock::time_point heard;        // the last byte moved either way
        bool partial = false;           // part of a request is held ...
        Clock::time_point partialSince; // ... since then
        bool unread = false;            // its replies go unread: held ...
        Clock::time_point unreadSince;  // ... since then
        std::uint32_t widest = 0;       // the widest receive window it advertised
        Clock::time_point holdUntil;    // held: not let go before then
    };
    // Holds a client whose replies go unread, lets one go that read them;
    // false when the client was closed.
    bool CheckReading(std::uint64_t id, Client& client);
    void Accept();
    bool MakeRoom(const std::string& peer, const std::string& host);
    void Receive(std::uint64_t id, Client& client);
    // Take the whole requests the client's buffer holds; false when the
    // client was closed.
    bool Process(std::uint64_t id, Client& client);
    bool Handle(std::uint64_t id, Client& client, const std::vector<std::uint8_t>& request);
    void Answer(Job& job);
    bool Send(std::uint64_t id, Client& client, const std::vector<std::uint8_t>& reply);
    bool Flush(std::uint64_t id, Client& client);
    void Sweep(Clock::time_point now);
    std::vector<std::uint8_t> Reply(const Job& job);
    // After a stream that is not Modbus: where HTTP is served, when it was HTTP.
    std::string HttpHint(const Client& client) const;
    // reason names the kind of close for the log's limit; message is the line.
    void Close(std::uint64_t id, const char* reason, const std::string& message);

    const RequestPlanner& planner_;
    LineWorker& worker_;
    ServerLimits limits_;
    modbus_t* ctx_ = nullptr;  // libmodbus's TCP context: it resolves --listen and opens the listening socket
    int listenFd_ = -1;
    std::uint64_t nextId_ = 1;
    std::map<std::uint64_t, Client> clients_;
    session::FrontEndStats stats_;
    session::ReportSink report_;
    ClientLog clientLog_;
};

}  // namespace qel::modbus
