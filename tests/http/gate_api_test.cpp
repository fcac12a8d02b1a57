// The gate API's own rules, with a fake line behind its callbacks: the
// status code of each failure, the bearer check, the JSON of an answer, and
// a slow read that holds no other request.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <vector>
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

constexpr const char* kToken = "0123456789abcdef";

// A line behind the callbacks as the scheduler is: calls begun at once and
// finished later, each result posted with its tag and the wake descriptor
// made readable.
class FakeLine {
public:
    FakeLine() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~FakeLine() { close(fd_); }
    int Fd() const { return fd_; }
    void Finish(std::uint64_t tag, GateResult result) {
        {
            const std::lock_guard lock(mutex_);
            done_.emplace_back(tag, std::move(result));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(fd_, &one, sizeof one);
    }
    std::vector<std::pair<std::uint64_t, GateResult>> Collect() {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = read(fd_, &count, sizeof count);
        const std::lock_guard lock(mutex_);
        return std::move(done_);
    }

    // A gate source on this line: its wake descriptor, its results and the
    // token; the caller gives the calls.
    GateSource Source() {
        GateSource source;
        source.wakeFd = Fd();
        source.collect = [this] { return Collect(); };
        source.token = kToken;
        return source;
    }

private:
    int fd_;
    std::mutex mutex_;
    std::vector<std::pair<std::uint64_t, GateResult>> done_;
};

// The gate API of `source` served on a loopback port of its own, with a
// status page whose clock stands still.
class GateServer {
public:
    explicit GateServer(GateSource source) : server_(Status()) { server_.ServeGates(std::move(source)); }
    testing::AssertionResult Start() {
        std::string error;
        if (!server_.Listen("127.0.0.1:0", error)) return testing::AssertionFailure() << error;
        server_.Start();
        return testing::AssertionSuccess();
    }
    int Port() const { return server_.Port(); }
    void Stop() { server_.Stop(); }

private:
    static StatusSource Status() {
        StatusSource status;
        status.now = [] { return 0.0; };
        return status;
    }
    HttpServer server_;
};

TEST(GateApi, SlowReadHoldsNoOtherRequestAndWritesNeedTheToken) {
    FakeLine line;
    std::atomic<std::uint64_t> slowTag = 0;
    std::atomic<int> writes = 0;
    GateSource source = line.Source();
    source.read = [&line, &slowTag](std::uint64_t tag, const std::string& gas, int count) -> std::optional<GateResult> {
        GateResult r;
        r.gas = gas;
        r.count = count;
        if (gas == "001XX0000") {  // refused before the line: answered at once
            r.failure = GateFailure::BadGate;
            r.reason = "no such area";
            return r;
        }
        r.values.assign(static_cast<std::size_t>(count), 42);
        if (gas == "009DR0000") slowTag = tag;  // a station that takes its time
        else line.Finish(tag, r);
        return std::nullopt;
    };
    source.write = [&line, &writes](std::uint64_t tag, const std::string& gas, long long value) -> std::optional<GateResult> {
        ++writes;
        GateResult r;
        r.gas = gas;
        r.values = {static_cast<std::uint16_t>(value)};
        line.Finish(tag, r);
        return std::nullopt;
    };
    GateServer server(source);
    ASSERT_TRUE(server.Start());

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

    auto bad = client.Get("/api/gates/001XX0000");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_EQ(nlohmann::json::parse(bad->body)["message"], "no such area");

    // The slow client's thread may connect only now, on a loaded machine:
    // its read is begun within a generous bound, and held all the while.
    for (int i = 0; i < 500 && slowTag.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(slowTag.load(), 0u) << "the slow read was begun";
    GateResult slowResult;
    slowResult.gas = "009DR0000";
    slowResult.values = {7};
    line.Finish(slowTag.load(), slowResult);
    auto late = slow.get();
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, 200);
    EXPECT_EQ(nlohmann::json::parse(late->body)["v"], 7);
    server.Stop();
}

// The tag paths on the same asynchronous source: a read answered once the
// line is done, in units through finishTag; a write's body by the payload
// rule with a fraction; a name no tag has 404 at once; writes need the token.
TEST(GateApi, TagsAnswerLaterInTheirUnits) {
    FakeLine line;
    std::vector<double> written;
    GateSource source = line.Source();
    source.read = [](std::uint64_t, const std::string&, int) -> std::optional<GateResult> { return std::nullopt; };
    const auto known = [](const std::string& name, qel::session::TagResult& r) {
        r.name = name;
        if (name != "oven") {
            r.gate.failure = GateFailure::BadGate;
            r.gate.reason = "no tag \"" + name + "\"; the tags are oven";
            return false;
        }
        r.known = true;
        r.spec.type = qel::session::TagType::Int16;
        r.spec.scale = 0.1;
        r.spec.unit = "deg C";
        return true;
    };
    source.readTag = [&line, known](std::uint64_t tag, const std::string& name) -> std::optional<qel::session::TagResult> {
        qel::session::TagResult r;
        if (!known(name, r)) return r;
        GateResult words;
        words.gas = "001DR0010";
        words.values = {235};
        line.Finish(tag, words);
        return std::nullopt;
    };
    source.writeTag = [&line, &written, known](std::uint64_t tag, const std::string& name,
                                               double value) -> std::optional<qel::session::TagResult> {
        qel::session::TagResult r;
        if (!known(name, r)) return r;
        written.push_back(value);
        GateResult words;
        words.gas = "001DR0010";
        words.values = {static_cast<std::uint16_t>(std::lround(value * 10))};
        line.Finish(tag, words);
        return std::nullopt;
    };
    source.finishTag = [known](const std::string& name, const GateResult& words) {
        qel::session::TagResult r;
        known(name, r);
        r.gate = words;
        for (const std::uint16_t w : words.values) r.values.push_back(static_cast<std::int16_t>(w) * 0.1);
        return r;
    };
    GateServer server(source);
    ASSERT_TRUE(server.Start());
    httplib::Client client("127.0.0.1", server.Port());

    auto read = client.Get("/api/tags/oven");
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, 200);
    const auto body = nlohmann::json::parse(read->body);
    EXPECT_EQ(body["tag"], "oven");
    EXPECT_EQ(body["gate"], "001DR0010");
    EXPECT_EQ(body["type"], "int16");
    EXPECT_DOUBLE_EQ(body["v"].get<double>(), 23.5);
    EXPECT_EQ(body["raw"], nlohmann::json::parse("[235]"));
    EXPECT_EQ(body["u"], "deg C");

    auto unknown = client.Get("/api/tags/kiln");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(nlohmann::json::parse(unknown->body)["error"], "unknown_tag");

    EXPECT_EQ(client.Put("/api/tags/oven", R"({"v":20.5})", "application/json")->status, 401);
    httplib::Headers bearer = {{"Authorization", "Bearer 0123456789abcdef"}};
    // The one payload rule: trailing bytes, a key twice, another key, a string.
    for (const char* bad : {R"({"v":20.5} x)", R"({"v":1,"v":2})", R"({"v":1,"w":2})", R"({"v":"20"})"}) {
        auto refused = client.Put("/api/tags/oven", bearer, bad, "application/json");
        ASSERT_TRUE(refused) << bad;
        EXPECT_EQ(refused->status, 400) << bad;
        const auto why = nlohmann::json::parse(refused->body);
        EXPECT_EQ(why["error"], "bad_value") << bad;
        EXPECT_EQ(why["tag"], "oven") << bad;
    }
    EXPECT_TRUE(written.empty());
    auto put = client.Put("/api/tags/oven", bearer, R"({"v": 20.5})", "application/json");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 200);
    EXPECT_DOUBLE_EQ(nlohmann::json::parse(put->body)["v"].get<double>(), 20.5);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_DOUBLE_EQ(written.front(), 20.5);
    server.Stop();
}

}  // namespace
