#include "gateway/reload_rules.h"

#include <set>

namespace qel::gateway {

ReloadKind ReloadKindOf(const std::string& key) {
    static const std::set<std::string> reopen = {"port", "baud", "data-bits", "parity", "stop-bits", "timeout"};
    static const std::set<std::string> restart = {"listen", "qel",           "models",        "station",
                                                  "driver", "driver-retries", "probe-timeout", "down-hold",
                                                  "sparkplug", "sparkplug-node", "sparkplug-primary-host",
                                                  "sparkplug-only", "sparkplug-hold-max", "max-age",
                                                  "poll", "record", "record-max", "http-writes", "http-token-file",
                                                  // The files' paths; the files themselves are read again on every reload.
                                                  "http-tls-cert", "http-tls-key", "http-tls-client-ca",
                                                  "http-plaintext-writes"};
    if (reopen.count(key)) return ReloadKind::Reopen;
    if (restart.count(key)) return ReloadKind::Restart;
    return ReloadKind::InPlace;
}

std::vector<OptionChange> CompareOptions(const Options& running, const Options& next) {
    const std::vector<OptionValue> before = OptionValues(running);
    const std::vector<OptionValue> after = OptionValues(next);
    std::vector<OptionChange> changes;
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
        if (before[i].value == after[i].value) continue;
        OptionChange change{before[i].key, ReloadKindOf(before[i].key), before[i].value, after[i].value};
        const bool tcpBefore = running.session.line.port.rfind("tcp:", 0) == 0;
        const bool tcpAfter = next.session.line.port.rfind("tcp:", 0) == 0;
        if (change.key == "port" && (tcpBefore || tcpAfter)) change.kind = ReloadKind::Restart;
        changes.push_back(change);
    }
    // A new password in the same file is read again on every reload; a
    // password's text is never logged.
    for (OptionChange& change : changes)
        if (change.key == "mqtt-password") change.before = change.after = "(hidden)";
    return changes;
}

std::string ChangesText(const std::vector<OptionChange>& changes) {
    std::string text;
    for (const OptionChange& change : changes)
        text += (text.empty() ? "" : ", ") + change.key + " " + change.before + " -> " + change.after;
    return text;
}

}  // namespace qel::gateway
