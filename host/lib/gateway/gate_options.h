// qelgate's options: the record the command line and the configuration file
// fill, and their definitions (CLI11), the one place that names them.
#pragma once

#include <CLI/CLI.hpp>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "common/line_file.h"
#include "mqtt/mqtt_options.h"
#include "sparkplug/sparkplug_options.h"
#include "session/session_options.h"

namespace qel::gateway {

struct Options {
    session::SessionOptions session;  // the line, the station models, the driver and its log, -v
    std::string listen = "127.0.0.1:1502";
    int maxClients = 8;
    int clientIdleSeconds = 300;
    std::string units;
    bool knownUnitsOnly = false;
    bool allowWrites = false;
    std::string writeAllowFile;
    // Or the write allow-list given inline in the configuration file, and
    // where it came from for the errors.
    std::vector<common::TextLine> writeAllowLines;
    std::string writeAllowOrigin;
    double downHoldSeconds = 10;
    double statsInterval = 0;
    bool map = false;
    std::string http;  // empty: no HTTP diagnostics
    int maxAgeMs = 0;       // the line image: reads answered from values this young (0: off)
    std::string pollFile;   // gates read in the background for the image, at their periods
    bool httpWrites = false;    // PUT /api/gates/... with the bearer token
    std::string httpTokenFile;  // the token, on the file's first line
    std::string httpTlsCert;      // TLS only on --http: the certificate (chain), PEM
    std::string httpTlsKey;       // and its private key
    std::string httpTlsClientCa;  // client certificates of these CAs required; empty: none asked for
    bool httpPlaintextWrites = false;  // --http-writes off loopback without TLS, knowingly
    // A recording of every change the gate lists' rounds read (--poll, the
    // publish list), in SQLite, within its bound.
    std::string recordFile;
    std::string recordMax;
    mqtt::MqttOptions mqtt;
    sparkplug::SparkplugOptions sparkplug;
    std::string configFile;  // --config
    bool check = false;      // --check
    // Where each key of the configuration file was given, FILE:LINE:COLUMN,
    // for the errors that concern more than one key; none for the command line's.
    std::map<std::string, std::string> keyOrigins;
};

// " (FILE:LINE:COLUMN: key, ...)" for the keys the configuration file gave,
// "" when none did (the command line's, or defaults): for the errors that
// concern these keys.
std::string KeyOrigins(const Options& o, std::initializer_list<const char*> keys);

// Adds every option of qelgate to app, filling o.
void AddOptions(CLI::App& app, Options& o);

// Each key of the configuration file with its value in TOML, in the order
// of qelgate --help: what --check prints and what a reload compares. The
// MQTT password is shown as "(set)" or "".
struct OptionValue {
    std::string key;
    std::string value;
};
std::vector<OptionValue> OptionValues(const Options& o);

// The TLS options of --http together, and --http-writes off loopback only
// with TLS or --http-plaintext-writes; false with a reason.
bool CheckHttpTls(const Options& o, std::string& error);

// Whether a write allow-list is given, by a file or inline.
inline bool HasWriteAllow(const Options& o) { return !o.writeAllowFile.empty() || !o.writeAllowLines.empty(); }

}  // namespace qel::gateway
