#include "mqtt/mqtt_options.h"

#include "common/secret_file.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace qel::mqtt {

void AddMqttOptions(CLI::App& app, MqttOptions& o) {
    const char* group = "MQTT";
    auto* url = app.add_option("--mqtt", o.url, "publish to the MQTT broker at mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
                    ->group(group);
    auto* publish = app.add_option("--publish", o.publishFile,
                                   "the gates to publish, one per line: GAS [COUNT] [bit|word] [PERIOD, e.g. 5s or 250ms]")
                        ->check(CLI::ExistingFile)
                        ->group(group);
    (void)url;
    (void)publish;  // each needs the other: CheckMqttPair, which sees an inline list too
    app.add_option("--publish-period", o.publishPeriod, "seconds between two reads of a gate without its own period (default 1)")
        ->check(CLI::Range(0.05, 86400.0))
        ->group(group);
    app.add_option("--publish-every", o.publishEvery,
                   "seconds after which an unchanged value is published again (default 60)")
        ->check(CLI::Range(1.0, 86400.0))
        ->group(group);
    app.add_option("--mqtt-prefix", o.prefix, "the topics' prefix (default fa/LINE-NAME)")->group(group);
    app.add_option("--line-name", o.lineName, "the line's name in the topics (default the port's base name)")
        ->group(group);
    app.add_option("--mqtt-user", o.user, "user name at the broker")->group(group);
    auto* password = app.add_option("--mqtt-password", o.password,
                                    "password at the broker (better: --mqtt-password-file or QELGATE_MQTT_PASSWORD)")
                         ->group(group);
    app.add_option("--mqtt-password-file", o.passwordFile, "a file whose first line is the password")
        ->check(CLI::ExistingFile)
        ->excludes(password)
        ->group(group);
    app.add_option("--mqtt-cafile", o.cafile, "TLS: the certificate authorities that the broker's certificate must chain to")
        ->check(CLI::ExistingFile)
        ->group(group);
    auto* cert = app.add_option("--mqtt-cert", o.cert, "TLS: this client's certificate")->check(CLI::ExistingFile)->group(group);
    auto* key = app.add_option("--mqtt-key", o.key, "TLS: this client's private key")->check(CLI::ExistingFile)->group(group);
    cert->needs(key);
    key->needs(cert);
    app.add_option("--mqtt-client-id", o.clientId, "the client id at the broker (default qelgate-LINE-NAME-PID)")
        ->group(group);
    app.add_flag("--mqtt-writes", o.writes, "write a published gate on a message to its .../set topic (default: never)")
        ->group(group);
    app.add_option("--buffer", o.buffer,
                   "keep value messages in an on-disk queue in DIR until the broker acknowledges them, so that none "
                   "is lost while it is away (default: systemd's STATE_DIRECTORY when set, else off; \"off\": off)")
        ->group(group);
    app.add_option("--buffer-max", o.bufferMax,
                   "the queue's bound: a size (100MB, 1GB), an age (24h, 7d) or both (500MB,24h); beyond it the "
                   "oldest messages are dropped (default 100MB)")
        ->group(group);
    app.add_option("--buffer-rate", o.bufferRate,
                   "messages a second at most from the queue to the broker, backlog and live together (default 500)")
        ->check(CLI::Range(1.0, 100000.0))
        ->group(group);
}

std::string DefaultLineName(const std::string& port) {
    std::string name = port.rfind("tcp:", 0) == 0 ? port.substr(4) : std::filesystem::path(port).filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') c = '_';
    return name;
}

bool CheckLineName(const std::string& name, std::string& error) {
    if (name.size() > kMaxLineName) {
        error = "--line-name: " + std::to_string(name.size()) + " bytes; a line's name has at most " +
                std::to_string(kMaxLineName);
        return false;
    }
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            error = "--line-name: a control character cannot stand in a topic or a file name";
            return false;
        }
    return true;
}

bool CheckMqttPair(const MqttOptions& o, std::string& error) {
    const bool listed = !o.publishFile.empty() || !o.publishLines.empty();
    if (o.url.empty() == !listed) return true;
    error = o.url.empty() ? "--publish needs --mqtt: the broker to publish the gates to"
                          : "--mqtt needs --publish: the gates to publish (a file, or an inline list in the "
                            "configuration file)";
    return false;
}

broker::BrokerSettings BrokerSettingsOf(const MqttOptions& o) {
    // With writes on, a retained set must be told apart however it arrives.
    return {o.url, o.user, o.password, o.cafile, o.cert, o.key, o.clientId, o.keepalive, o.writes};
}

bool CompleteMqttOptions(MqttOptions& o, const std::string& port, std::string& error) {
    if (o.url.empty()) return true;
    // Named from where the program started; the session may change the directory.
    for (std::string* path : {&o.publishFile, &o.passwordFile, &o.cafile, &o.cert, &o.key})
        if (!path->empty()) *path = std::filesystem::absolute(*path).string();
    BrokerAddress address;
    if (!ParseBrokerUrl(o.url, address, error)) return false;
    if (o.lineName.empty()) o.lineName = DefaultLineName(port);
    if (!CheckLineName(o.lineName, error)) return false;
    // The TLS files are read by the broker library, without a bound of its
    // own: a FIFO or a device named here would hold it for ever.
    for (const auto& [option, path] : {std::pair<const char*, const std::string*>{"--mqtt-cafile", &o.cafile},
                                       {"--mqtt-cert", &o.cert},
                                       {"--mqtt-key", &o.key}}) {
        std::string bytes;
        if (!path->empty() && !common::ReadBoundedFile(*path, common::kCertificateFile, bytes, error)) {
            error = std::string(option) + " " + error;
            return false;
        }
    }
    if (o.lineName.empty() || o.lineName.find_first_of("+#/") != std::string::npos) {
        error = "--line-name: \"" + o.lineName + "\" cannot stand in a topic (no /, + or #)";
        return false;
    }
    if (o.prefix.empty()) o.prefix = "fa/" + o.lineName;
    while (!o.prefix.empty() && o.prefix.back() == '/') o.prefix.pop_back();
    if (o.prefix.empty() || o.prefix.find_first_of("+#") != std::string::npos) {
        error = "--mqtt-prefix: a topic prefix without + or #";
        return false;
    }
    if (!o.passwordFile.empty()) {
        common::Secret secret;
        if (!common::ReadSecretFile(o.passwordFile, secret, error)) {
            error = "--mqtt-password-file " + error;
            return false;
        }
        o.password = secret.text;
        o.passwordWarning = secret.warning;
    } else if (o.password.empty()) {
        if (const char* fromEnvironment = std::getenv("QELGATE_MQTT_PASSWORD")) o.password = fromEnvironment;
    }
    if (!o.password.empty() && o.user.empty()) {
        error = "a password for the broker needs --mqtt-user";
        return false;
    }
    if (o.clientId.empty()) o.clientId = "qelgate-" + o.lineName + "-" + std::to_string(getpid());
    if (!store::ParseStoreLimits(o.bufferMax, o.bufferLimits, error)) {
        error = "--buffer-max: " + error;
        return false;
    }
    if (o.buffer.empty()) {
        // systemd's StateDirectory=: one or more directories, colon-separated.
        if (const char* state = std::getenv("STATE_DIRECTORY")) {
            o.buffer = state;
            o.buffer = o.buffer.substr(0, o.buffer.find(':'));
        }
    } else if (o.buffer == "off") {
        o.buffer.clear();
    }
    if (!o.buffer.empty()) {
        std::error_code failed;
        if (!std::filesystem::exists(o.buffer, failed)) {
            error = "--buffer: the folder " + o.buffer + " does not exist; make it (mkdir -p " + o.buffer +
                    "), name another, or write --buffer off";
            return false;
        }
        if (!std::filesystem::is_directory(o.buffer, failed)) {
            error = "--buffer: " + o.buffer + " is not a folder; name a folder, where the buffer's file is made";
            return false;
        }
        o.buffer = std::filesystem::absolute(o.buffer).string();
        o.bufferFile = (std::filesystem::path(o.buffer) / ("mqtt-" + o.lineName + ".db")).string();
    }
    return true;
}

}  // namespace qel::mqtt
