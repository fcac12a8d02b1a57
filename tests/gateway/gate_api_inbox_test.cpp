// The HTTP gate API of an in-process Gateway: its reads wait on an inbox of
// the line scheduler of their own, beside the Modbus side's, and neither
// side ever gets the other's answers.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "gateway_rig.h"
#include "support/free_port.h"

namespace {

using gatewaytest::GatewayRig;
using gatewaytest::ModbusClient;
using qel::session::OpenResult;

TEST(GatewayGateApi, HttpAndModbusReadsTakeTurnsAndKeepTheirOwnAnswers) {
    GatewayRig rig(false);
    const int httpPort = testsupport::FreeLoopbackPort();
    rig.WriteConfig("http = \"127.0.0.1:" + std::to_string(httpPort) + "\"\n");
    for (unsigned n = 0; n < 8; ++n) rig.Sim().Set(1, "DR", 10 + n, static_cast<std::uint16_t>(100 + n));
    rig.Sim().Set(1, "DR", 40, 4000);
    std::string error;
    ASSERT_EQ(rig.Start(error), OpenResult::Ready) << error;

    constexpr int kRounds = 25;
    auto modbus = std::async(std::launch::async, [&] {
        ModbusClient client(rig.ModbusPort(), 1);
        int good = 0;
        for (int i = 0; i < kRounds; ++i) {
            std::vector<std::uint16_t> values;
            if (client.Read(40, 1, values) == 1 && values == std::vector<std::uint16_t>{4000}) ++good;
        }
        return good;
    });
    auto http = [&](int offset) {
        httplib::Client client("127.0.0.1", httpPort);
        client.set_read_timeout(10);
        int good = 0;
        for (int i = 0; i < kRounds; ++i) {
            const auto answer = client.Get("/api/gates/001DR00" + std::to_string(10 + offset) + "?count=4");
            if (!answer || answer->status != 200) continue;
            const auto body = nlohmann::json::parse(answer->body);
            if (body["values"] == nlohmann::json::array({100 + offset, 101 + offset, 102 + offset, 103 + offset}))
                ++good;
        }
        return good;
    };
    auto first = std::async(std::launch::async, http, 0);
    auto second = std::async(std::launch::async, http, 4);
    EXPECT_EQ(first.get(), kRounds);
    EXPECT_EQ(second.get(), kRounds);
    EXPECT_EQ(modbus.get(), kRounds);

    // A gate the driver refuses is answered at once, without the line.
    httplib::Client client("127.0.0.1", httpPort);
    const auto bad = client.Get("/api/gates/001XY0010");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_TRUE(rig.Gate().Stop());
}

}  // namespace
