// A line for the scheduler's tests: an AttemptRunner whose stations answer,
// stay silent, Nak or refuse as the test says, without a driver or a port.
// Reads give station * 100 + slot; every attempt and probe is logged.
// Header only: the suites that use it link host_session themselves.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "session/line/attempt_runner.h"
#include "session/gates/gate_address.h"

namespace testsupport {

class FakeLine final : public qel::session::AttemptRunner {
public:
    // Short: an answer that stopped part way (a line failure, but the station is there).
    enum class Act { Answer, Silent, Nak, Refuse, Port, Short };

    // From now on: the station does `first` in turn, then `steady` for good.
    void Set(unsigned station, Act steady, std::vector<Act> first = {}) {
        std::lock_guard lock(mutex_);
        Script& script = stations_[station];
        script.steady = steady;
        script.first.assign(first.begin(), first.end());
    }

    // From now on the station's reads give base + slot (by default
    // station * 100 + slot), so that a value can change between rounds.
    void SetBase(unsigned station, std::uint16_t base) {
        std::lock_guard lock(mutex_);
        bases_[station] = base;
    }

    // The block check the line reports for the station (by default Learning).
    void SetCheck(unsigned station, qel::session::BlockCheck check) {
        std::lock_guard lock(mutex_);
        checks_[station] = check;
    }

    // The exchanges tried, in order: the gas, "+" for a retry of the one before.
    std::vector<std::string> Log() const {
        std::lock_guard lock(mutex_);
        return log_;
    }
    int Attempts(unsigned station) const { return Count(attempts_, station); }
    int Probes(unsigned station) const { return Count(probes_, station); }
    int Reopens() const {
        std::lock_guard lock(mutex_);
        return reopens_;
    }
    // The last value written to a gas.
    std::map<std::string, std::uint16_t> Written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }

    qel::session::AttemptOutcome Exchange(qel::session::LineExchange& exchange, qel::session::Millis) override {
        std::lock_guard lock(mutex_);
        const unsigned station = exchange.transfer.station;
        ++attempts_[station];
        log_.push_back(exchange.attempts > 0 ? "+" + exchange.gas : exchange.gas);
        const Act act = Next(station);
        if (act == Act::Answer) {
            if (exchange.write) {
                written_[exchange.gas] = exchange.slots.size() > 1 ? exchange.slots[1] : 0;
            } else {
                const auto base = bases_.find(station);
                const unsigned first = base == bases_.end() ? station * 100 : base->second;
                for (std::size_t i = 0; i < exchange.slots.size(); ++i)
                    exchange.slots[i] = static_cast<std::uint16_t>(first + i);
            }
        }
        return OutcomeOf(act);
    }

    qel::session::AttemptOutcome Probe(unsigned station, qel::session::Millis) override {
        std::lock_guard lock(mutex_);
        ++probes_[station];
        return OutcomeOf(Next(station));
    }

    bool Reopen() override {
        std::lock_guard lock(mutex_);
        ++reopens_;
        return true;
    }

    std::string StationModel(unsigned) const override { return "FA3"; }
    qel::session::BlockCheck TrailerCheck(unsigned station) const override {
        std::lock_guard lock(mutex_);
        const auto found = checks_.find(station);
        return found == checks_.end() ? qel::session::BlockCheck::Learning : found->second;
    }

private:
    struct Script {
        Act steady = Act::Answer;
        std::deque<Act> first;
    };

    Act Next(unsigned station) {
        Script& script = stations_[station];
        if (script.first.empty()) return script.steady;
        const Act act = script.first.front();
        script.first.pop_front();
        return act;
    }

    static qel::session::AttemptOutcome OutcomeOf(Act act) {
        using qel::session::DriverResult;
        using qel::session::FailureKind;
        const std::chrono::duration<double> took(0.001);
        switch (act) {
            case Act::Answer: return {DriverResult::Done, FailureKind::None, took};
            case Act::Silent: return {DriverResult::LineFailure, FailureKind::NoAnswer, took};
            case Act::Nak: return {DriverResult::Refused, FailureKind::Nak, took};
            case Act::Refuse: return {DriverResult::Refused, FailureKind::Refused, took};
            case Act::Port: return {DriverResult::LineFailure, FailureKind::Port, took};
            case Act::Short: return {DriverResult::LineFailure, FailureKind::ShortAnswer, took};
        }
        return {};
    }

    int Count(const std::map<unsigned, int>& counts, unsigned station) const {
        std::lock_guard lock(mutex_);
        const auto found = counts.find(station);
        return found == counts.end() ? 0 : found->second;
    }

    mutable std::mutex mutex_;
    std::map<unsigned, Script> stations_;
    std::map<unsigned, int> attempts_, probes_;
    std::map<std::string, std::uint16_t> written_;
    std::map<unsigned, std::uint16_t> bases_;
    std::map<unsigned, qel::session::BlockCheck> checks_;
    std::vector<std::string> log_;
    int reopens_ = 0;
};

// An exchange of the fake line: a read of `count` values (or a write of
// `value`) at `gas` on `station`.
inline qel::session::LineExchange FakeRead(unsigned station, const std::string& gas, int count = 1) {
    qel::session::LineExchange exchange;
    exchange.gas = gas;
    exchange.transfer.station = station;
    exchange.transfer.count = count;
    // Its area and element from the address, so that reads of different
    // gates are not taken for one another's (shared exchanges).
    if (const auto address = qel::session::GateAddress::Parse(gas); address && address->area.size() == 2) {
        exchange.transfer.areaCode = static_cast<std::uint32_t>(address->area[0]) << 8 | address->area[1];
        exchange.transfer.element = address->element;
    }
    exchange.slots.assign(static_cast<std::size_t>(count < 2 ? 2 : count), 0);
    return exchange;
}

inline qel::session::LineExchange FakeWrite(unsigned station, const std::string& gas, std::uint16_t value) {
    qel::session::LineExchange exchange = FakeRead(station, gas);
    exchange.write = true;
    exchange.slots[1] = value;
    return exchange;
}

}  // namespace testsupport
