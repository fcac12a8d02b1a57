// --write-allow FILE: the gates a client may write, whichever front-end it
// comes through (Modbus TCP, MQTT). One gate per line, "GAS [COUNT]" (COUNT
// consecutive elements from GAS); blank lines and '#' comments are skipped
// (common/line_file.h). Entries are checked by the driver, so IM0400 and IR0400 name the
// same relay.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>

#include "common/line_file.h"
#include "session/gates/gate_address.h"
#include "session/driver/qel_session.h"

namespace qel::session {

// The driver's single-gate check (QEL_CHECK_GATE, or QEL_CHECK_BLOCK for a
// count above 1): true when it accepts the gate and stored its definition.
// Whoever makes it may give the words of a refusal too, the reason a
// program gives for the gate ("gate 001DR0400 is illegal: element 400 is
// outside DR ... (legal: 0-399)"), which the lists that name gates then
// give with their file and line; this library does not word diagnoses.
class GateCheck {
public:
    using Accepts = std::function<bool(Gate&)>;
    using Words = std::function<std::string(const Gate&)>;

    GateCheck() = default;
    // Any callable that checks a gate, without words of its own.
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, GateCheck> && std::is_invocable_r_v<bool, F&, Gate&>)
    GateCheck(F accepts) : accepts_(std::move(accepts)) {}  // NOLINT(google-explicit-constructor)
    GateCheck(Accepts accepts, Words refusal) : accepts_(std::move(accepts)), refusal_(std::move(refusal)) {}

    bool operator()(Gate& gate) const { return accepts_(gate); }
    explicit operator bool() const { return static_cast<bool>(accepts_); }
    // Why the check refuses the gate: the maker's words, or "GAS is not a
    // gate the driver accepts" without them.
    std::string Refusal(const Gate& gate) const;

private:
    Accepts accepts_;
    Words refusal_;
};

class WriteAllowList {
public:
    // False with "file:line: reason" in error.
    bool Load(const std::string& path, const GateCheck& check, std::string& error);
    // The same for entries already split into lines; `origin` names where
    // they came from in the errors.
    bool Load(const std::vector<common::TextLine>& lines, const std::string& origin, const GateCheck& check,
              std::string& error);
    bool Allows(const GateDefinition& gate) const;
    std::size_t Size() const { return gates_.size(); }

private:
    std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> gates_;  // station, area, element
};

}  // namespace qel::session
