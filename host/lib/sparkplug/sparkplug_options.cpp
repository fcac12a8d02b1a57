#include "sparkplug/sparkplug_options.h"

#include <CLI/CLI.hpp>

namespace qel::sparkplug {

namespace {

// An id in a topic: 1 to 64 bytes, as --line-name, without a level
// separator, a wildcard or a control byte.
bool TopicSafe(const std::string& id) {
    if (id.empty() || id.size() > 64 || id.find_first_of("/+#") != std::string::npos) return false;
    for (const char c : id)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}
constexpr const char* kTopicRule = " cannot stand in a topic (1 to 64 bytes, no /, + or #, no control character)";

}  // namespace

void AddSparkplugOptions(CLI::App& app, SparkplugOptions& o) {
    const char* group = "Sparkplug B";
    app.add_option("--sparkplug", o.group,
                   "publish the --publish list as a Sparkplug B edge node of GROUP, on the --mqtt broker")
        ->group(group);
    app.add_option("--sparkplug-node", o.node, "the edge node's id (default the line's name)")->group(group);
    app.add_option("--sparkplug-primary-host", o.primaryHost,
                   "follow the primary host ID's STATE: data is held while it is offline and sent as historical "
                   "after a rebirth when it is back")
        ->group(group);
    app.add_flag("--sparkplug-only", o.only, "the Sparkplug node only, without the JSON topics")->group(group);
    app.add_option("--sparkplug-hold-max", o.holdMax,
                   "messages held in memory while the primary host is offline, without --buffer (default 100000); "
                   "beyond it the oldest are dropped")
        ->check(CLI::Range(1, 100000000))
        ->group(group);
}

bool CompleteSparkplugOptions(SparkplugOptions& o, const std::string& lineName, std::string& error) {
    if (o.group.empty()) {
        if (!o.node.empty() || !o.primaryHost.empty() || o.only) {
            error = "--sparkplug-node, --sparkplug-primary-host and --sparkplug-only need --sparkplug GROUP";
            return false;
        }
        return true;
    }
    if (o.node.empty()) o.node = lineName;
    for (const auto& [option, id] : {std::pair<const char*, const std::string*>{"--sparkplug", &o.group},
                                     {"--sparkplug-node", &o.node}}) {
        if (!TopicSafe(*id)) {
            error = std::string(option) + ": \"" + id->substr(0, 80) + "\"" + kTopicRule;
            return false;
        }
    }
    if (!o.primaryHost.empty() && !TopicSafe(o.primaryHost)) {
        error = "--sparkplug-primary-host: \"" + o.primaryHost.substr(0, 80) + "\"" + kTopicRule;
        return false;
    }
    return true;
}

std::string Topic(const SparkplugOptions& o, const std::string& type, const std::string& device) {
    return "spBv1.0/" + o.group + "/" + type + "/" + o.node + (device.empty() ? "" : "/" + device);
}

std::string StateTopic(const std::string& host) { return "spBv1.0/STATE/" + host; }

}  // namespace qel::sparkplug
