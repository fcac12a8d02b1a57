// The gate API's own rules, with a fake line behind its callbacks: the
// status code of each failure, the bearer check, the JSON of an answer, and
// a slow read that holds no other request.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "http/gate_api.h"
#include "http/http_server.h"

namespace {

using namespace qel::http;
using qel::session::GateFailure;
using qel::session::GateResult;

TEST(GateApi, StatusOfEachFailure) {
    const std::pair<GateFailure, int> table[] = {
        {GateFailure::None, 200},       {GateFailure::BadGate, 400},    {GateFailure::BadValue, 400},
        {GateFailure::NotAllowed, 403}, {GateFailure::StationDown, 503}, {GateFailure::NoAnswer, 504},
        {GateFailure::LineError, 502}};
    for (const auto& [failure, status] : table) EXPECT_EQ(StatusOf(failure), status) << GateFailureKey(failure);
}

TEST(GateApi, BearerMustMatchWhole) {
    const std::string token = "0123456789abcdef";
    const std::string good = "Bearer " + token, lower = "bearer " + token, longer = good + "x", shorter = good.substr(0, 20),
                      basic = "Basic " + token;
    EXPECT_TRUE(BearerMatches(&good, token));
    EXPECT_TRUE(BearerMatches(&lower, token));
    EXPECT_FALSE(BearerMatches(&longer, token));
    EXPECT_FALSE(BearerMatches(&shorter, token));
    EXPECT_FALSE(BearerMatches(&basic, token));
    EXPECT_FALSE(BearerMatches(nullptr, token));
    EXPECT_FALSE(BearerMatches(&good, ""));  // no token: no write
}

TEST(GateApi, AnswerCarriesTheDiagnosis) {
    GateResult r;
    r.gas = "005DR0001";
    r.failure = GateFailure::NoAnswer;
    qel::session::Diagnosis d;
    d.station = 5;
    d.outcome = {qel::session::DriverResult::LineFailure, qel::session::FailureKind::NoAnswer};
    d.hint = qel::session::Hint::NoAnswer;
    r.line = d;
    const Response response = GateResponse(r, "no answer from station 5");
    EXPECT_EQ(response.status, 504);
    const auto body = nlohmann::json::parse(response.body);
    EXPECT_EQ(body, nlohmann::json::parse(R"({"gate":"005DR0001","error":"no_answer","failure":"no_answer",
        "station":5,"hint":"no_answer","message":"no answer from station 5"})"));

    GateResult ok;
    ok.gas = "001DR0010";
    ok.count = 2;
    ok.values = {7, 65535};
    EXPECT_EQ(nlohmann::json::parse(GateResponse(ok, "").body),
              nlohmann::json::parse(R"({"gate":"001DR0010","count":2,"values":[7,65535]})"));
}

TEST(GateApi, SlowReadHoldsNoOtherRequestAndWritesNeedTheToken) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> writes = 0;
    GateSource source;
    source.read = [released](const std::string& gas, int count) {
        if (gas == "009DR0000") released.wait();  // a station that takes its time
        GateResult r;
        r.gas = gas;
        r.count = count;
        r.values.assign(static_cast<std::size_t>(count), 42);
        return r;
    };
    source.write = [&writes](const std::string& gas, long long value) {
        ++writes;
        GateResult r;
        r.gas = gas;
        r.values = {static_cast<std::uint16_t>(value)};
        return r;
    };
    source.token = "0123456789abcdef";
    StatusSource status;
    status.now = [] { return 0.0; };
    HttpServer server(status);
    server.ServeGates(source);
    std::string error;
    ASSERT_TRUE(server.Listen("127.0.0.1:0", error)) << error;
    server.Start();

    auto slow = std::async(std::launch::async, [&] {
        httplib::Client c("127.0.0.1", server.Port());
        c.set_read_timeout(10);
        return c.Get("/api/gates/009DR0000");
    });
    httplib::Client client("127.0.0.1", server.Port());
    const auto start = std::chrono::steady_clock::now();
    auto quick = client.Get("/api/gates/001DR0000?count=3");
    ASSERT_TRUE(quick);
    EXPECT_EQ(quick->status, 200);
    EXPECT_EQ(nlohmann::json::parse(quick->body)["values"], nlohmann::json::parse("[42,42,42]"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    auto denied = client.Put("/api/gates/001DR0000", R"({"v":5})", "application/json");
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->status, 401);
    EXPECT_EQ(writes.load(), 0);
    httplib::Headers bearer = {{"Authorization", "Bearer 0123456789abcdef"}};
    auto badBody = client.Put("/api/gates/001DR0000", bearer, R"({"v":"5"})", "application/json");
    ASSERT_TRUE(badBody);
    EXPECT_EQ(badBody->status, 400);
    auto written = client.Put("/api/gates/001DR0000", bearer, R"({"v":5})", "application/json");
    ASSERT_TRUE(written);
    EXPECT_EQ(written->status, 200);
    EXPECT_EQ(writes.load(), 1);
    auto method = client.Delete("/api/gates/001DR0000");
    ASSERT_TRUE(method);
    EXPECT_EQ(method->status, 405);

    release.set_value();
    auto late = slow.get();
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, 200);
    server.Stop();
}

}  // namespace
