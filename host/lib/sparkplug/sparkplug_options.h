// The Sparkplug B node's settings and their command-line options.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace qel::sparkplug {

struct SparkplugOptions {
    std::string group;        // empty: no Sparkplug node
    std::string node;         // default the line's name
    std::string primaryHost;  // empty: no primary host to follow
    bool only = false;        // the Sparkplug node instead of the JSON topics
    std::size_t holdMax = 100000;  // messages held in memory while the primary host is offline
};

void AddSparkplugOptions(CLI::App& app, SparkplugOptions& options);

// After parsing, with the line's name: the node's default, and every id
// checked to stand in a topic. False with a reason.
bool CompleteSparkplugOptions(SparkplugOptions& options, const std::string& lineName, std::string& error);

// spBv1.0/GROUP/TYPE/NODE[/DEVICE].
std::string Topic(const SparkplugOptions& options, const std::string& type, const std::string& device = "");
// spBv1.0/STATE/HOST.
std::string StateTopic(const std::string& host);

}  // namespace qel::sparkplug
