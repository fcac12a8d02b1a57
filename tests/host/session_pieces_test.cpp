// Small pieces of the session library, table by table: how --port tells a
// TCP line from a device, and the kind of a station's model text.
#include <gtest/gtest.h>

#include "session/stations/station_kind.h"
#include "session/port/tcp_bridge.h"

namespace {

using namespace qel::session;

TEST(SessionPieces, PortTextsThatNameATcpLine) {
    struct Row {
        const char* text;
        bool parsed;  // tcp:HOST:PORT
        const char* host;
        const char* port;
        bool bare;    // HOST:PORT without tcp:
    };
    const Row rows[] = {
        {"tcp:192.0.2.10:4001", true, "192.0.2.10", "4001", false},
        {"tcp:localhost:4001", true, "localhost", "4001", false},
        {"tcp:[::1]:4001", true, "::1", "4001", false},
        {"tcp:localhost", false, "", "", false},
        {"tcp::4001", false, "", "", false},
        {"127.0.0.1:15031", false, "", "", true},
        {"server:4001", false, "", "", true},
        {"server:telnet", false, "", "", false},
        {"/tmp/a:1", false, "", "", false},
        {"ttyUSB0", false, "", "", false},
    };
    for (const Row& row : rows) {
        std::string host, port;
        EXPECT_EQ(ParseTcpAddress(row.text, host, port), row.parsed) << row.text;
        if (row.parsed) {
            EXPECT_EQ(host, row.host) << row.text;
            EXPECT_EQ(port, row.port) << row.text;
        }
        EXPECT_EQ(LooksLikeTcpAddress(row.text), row.bare) << row.text;
    }
}

TEST(SessionPieces, TheKindOfAModelText) {
    struct Row {
        const char* model;
        StationKind kind;
        const char* text;
    };
    const Row rows[] = {
        {"FA2", StationKind::FA2, "FA2"},
        {"FA3", StationKind::FA3, "FA3"},
        {"fa3", StationKind::Other, "FA3"},
        {"FA4", StationKind::Other, "FA3"},
        {"", StationKind::Other, "FA3"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(StationKindOf(row.model), row.kind) << row.model;
        EXPECT_EQ(ModelText(StationKindOf(row.model)), row.text) << row.model;
        EXPECT_EQ(IsKnownModel(row.model), row.kind != StationKind::Other) << row.model;
    }
}

}  // namespace
