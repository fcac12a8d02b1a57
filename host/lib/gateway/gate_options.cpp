#include "gateway/gate_options.h"

#include <sstream>

#include "cli/session_cli.h"
#include "http/http_server.h"

namespace qel::gateway {

void AddOptions(CLI::App& app, Options& o) {
    cli::AddSessionOptions(app, o.session);
    app.add_option("--config", o.configFile,
                   "read the options from this TOML file (keys are the long options' names); the command line "
                   "wins over it; SIGHUP reads it again")
        ->check(CLI::ExistingFile);
    app.add_flag("--check", o.check,
                 "check the options, the station models and every listed gate, print the configuration in effect "
                 "and exit (0: good, 64: not)");
    app.add_option("--listen", o.listen, "Modbus TCP address and port (default 127.0.0.1:1502)");
    app.add_option("--max-clients", o.maxClients,
                   "clients served at once; a new one evicts the client idle longest (default 8)")
        ->check(CLI::Range(1, 1000));
    app.add_option("--client-idle", o.clientIdleSeconds,
                   "seconds a client may send nothing, with nothing under way, before it is closed (default 300)")
        ->check(CLI::Range(1, 86400));
    auto* units = app.add_option("--units", o.units,
                                 "the only units served, e.g. 1,2,7-9; others get exception 0x0A at once");
    app.add_flag("--known-units-only", o.knownUnitsOnly,
                 "serve only the stations named by --models or --station; others get exception 0x0A at once")
        ->excludes(units);
    app.add_flag("--allow-writes", o.allowWrites, "serve the Modbus write functions (default: read-only)");
    app.add_option("--write-allow", o.writeAllowFile,
                   "only the gates in FILE may be written, by Modbus or MQTT (lines: GAS [COUNT])")
        ->check(CLI::ExistingFile);
    app.add_option("--down-hold", o.downHoldSeconds,
                   "longest pause in seconds between two probes of a station that stopped answering; until a "
                   "probe is answered its requests get exception 0x0B at once (default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--stats-interval", o.statsInterval,
                   "log a one-line summary of the line every SECONDS (default 0: never)")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_flag("--map", o.map, "print the Modbus address map and exit");
    app.add_option("--http", o.http,
                   "serve the diagnostics (/metrics, /api/status, a status page) on ADDR:PORT, or PORT on "
                   "127.0.0.1 (default: off); it serves the gates too: GET /api/gates/001DR0010?count=10");
    app.add_flag("--http-writes", o.httpWrites,
                 "serve PUT /api/gates/GAS {\"v\": VALUE} on --http, for clients that send the bearer token of "
                 "--http-token-file; obeys --write-allow. Without TLS: for a trusted network only");
    app.add_option("--http-token-file", o.httpTokenFile, "the bearer token of --http-writes, on the file's first line")
        ->check(CLI::ExistingFile);
    app.add_option("--http-tls-cert", o.httpTlsCert,
                   "serve --http over TLS only (https), with this certificate (PEM, the chain after it); needs "
                   "--http-tls-key; both files are read again on SIGHUP")
        ->check(CLI::ExistingFile);
    app.add_option("--http-tls-key", o.httpTlsKey, "the private key of --http-tls-cert (PEM)")->check(CLI::ExistingFile);
    app.add_option("--http-tls-client-ca", o.httpTlsClientCa,
                   "require a client certificate issued by a CA of FILE (PEM) on every HTTPS connection")
        ->check(CLI::ExistingFile);
    app.add_flag("--http-plaintext-writes", o.httpPlaintextWrites,
                 "allow --http-writes on an address other than loopback without TLS, the bearer token in clear text "
                 "(refused at start otherwise)");
    app.add_option("--max-age", o.maxAgeMs,
                   "answer a read from memory when every gate of it has a good value read at most MS "
                   "milliseconds ago, without the line; never for a station that is down; a write removes its "
                   "gates (default 0: every read goes to the line)")
        ->check(CLI::Range(0, 86400000));
    app.add_option("--poll", o.pollFile,
                   "read the gates of FILE (the publish list's format: GAS [COUNT] [bit|word] [PERIOD]) at their "
                   "periods in the background, keeping them fresh for --max-age; with or without MQTT")
        ->check(CLI::ExistingFile);
    app.add_option("--record", o.recordFile,
                   "keep every change of the gates the rounds of --poll and the publish list read, with its time, "
                   "in FILE.db (SQLite; made or continued) for fasim --replay; it shares their reads and adds no "
                   "exchange");
    app.add_option("--record-max", o.recordMax,
                   "bound of --record, the oldest changes dropped first: a size (100MB), an age (24h) or both "
                   "(100MB,24h); default none");
    mqtt::AddMqttOptions(app, o.mqtt);
    sparkplug::AddSparkplugOptions(app, o.sparkplug);
}

}  // namespace qel::gateway

namespace qel::gateway {
namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Number(double value) {
    std::ostringstream out;
    out.precision(15);
    out << value;
    std::string text = out.str();
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string Bool(bool value) { return value ? "true" : "false"; }

// A list: its file's path, or its lines inline as an array of strings.
std::string List(const std::string& file, const std::vector<common::TextLine>& lines) {
    if (lines.empty()) return Quoted(file);
    std::string text = "[";
    for (const common::TextLine& line : lines) text += (text.size() > 1 ? ", " : "") + Quoted(line.text);
    return text + "]";
}

}  // namespace

std::vector<OptionValue> OptionValues(const Options& o) {
    const session::SessionOptions& s = o.session;
    const mqtt::MqttOptions& m = o.mqtt;
    std::string stations = "[";
    for (const session::StationModelOption& station : s.stations)
        stations += (stations.size() > 1 ? ", " : "") + Quoted(std::to_string(station.station) + ":" + station.model);
    stations += "]";
    return {
        {"port", Quoted(s.line.port)},
        {"baud", std::to_string(s.line.baud)},
        {"data-bits", std::to_string(s.line.dataBits)},
        {"parity", Quoted(s.line.parity)},
        {"stop-bits", Quoted(s.line.stopBits)},
        {"timeout", std::to_string(s.line.timeout)},
        {"qel", std::to_string(s.line.qel)},
        {"models", Quoted(s.modelsFile)},
        {"station", stations},
        {"driver", Quoted(s.driverPath)},
        {"log", Quoted(s.logFile)},
        {"verbose", Bool(s.verbose)},
        {"driver-retries", Bool(s.driverRetries)},
        {"probe-timeout", std::to_string(s.probeTimeoutMs)},
        {"listen", Quoted(o.listen)},
        {"max-clients", std::to_string(o.maxClients)},
        {"client-idle", std::to_string(o.clientIdleSeconds)},
        {"units", Quoted(o.units)},
        {"known-units-only", Bool(o.knownUnitsOnly)},
        {"allow-writes", Bool(o.allowWrites)},
        {"write-allow", List(o.writeAllowFile, o.writeAllowLines)},
        {"down-hold", Number(o.downHoldSeconds)},
        {"stats-interval", Number(o.statsInterval)},
        {"http", Quoted(o.http)},
        {"max-age", std::to_string(o.maxAgeMs)},
        {"poll", Quoted(o.pollFile)},
        {"record", Quoted(o.recordFile)},
        {"record-max", Quoted(o.recordMax)},
        {"http-writes", Bool(o.httpWrites)},
        {"http-token-file", Quoted(o.httpTokenFile)},
        {"http-tls-cert", Quoted(o.httpTlsCert)},
        {"http-tls-key", Quoted(o.httpTlsKey)},
        {"http-tls-client-ca", Quoted(o.httpTlsClientCa)},
        {"http-plaintext-writes", Bool(o.httpPlaintextWrites)},
        {"mqtt", Quoted(m.url)},
        {"publish", List(m.publishFile, m.publishLines)},
        {"publish-period", Number(m.publishPeriod)},
        {"publish-every", Number(m.publishEvery)},
        {"mqtt-prefix", Quoted(m.prefix)},
        {"line-name", Quoted(m.lineName)},
        {"mqtt-user", Quoted(m.user)},
        {"mqtt-password", Quoted(m.password.empty() ? "" : "(set)")},
        {"mqtt-password-file", Quoted(m.passwordFile)},
        {"mqtt-cafile", Quoted(m.cafile)},
        {"mqtt-cert", Quoted(m.cert)},
        {"mqtt-key", Quoted(m.key)},
        {"mqtt-client-id", Quoted(m.clientId)},
        {"mqtt-writes", Bool(m.writes)},
        {"buffer", Quoted(m.buffer)},
        {"buffer-max", Quoted(m.bufferMax)},
        {"buffer-rate", Number(m.bufferRate)},
        {"sparkplug", Quoted(o.sparkplug.group)},
        {"sparkplug-node", Quoted(o.sparkplug.node)},
        {"sparkplug-primary-host", Quoted(o.sparkplug.primaryHost)},
        {"sparkplug-only", Bool(o.sparkplug.only)},
        {"sparkplug-hold-max", std::to_string(o.sparkplug.holdMax)},
    };
}

std::string KeyOrigins(const Options& o, std::initializer_list<const char*> keys) {
    std::string text;
    for (const char* key : keys) {
        const auto found = o.keyOrigins.find(key);
        if (found != o.keyOrigins.end()) text += (text.empty() ? "" : ", ") + found->second + ": " + key;
    }
    return text.empty() ? "" : " (" + text + ")";
}

bool CheckHttpTls(const Options& o, std::string& error) {
    const bool tls = !o.httpTlsCert.empty() || !o.httpTlsKey.empty();
    if (tls && (o.httpTlsCert.empty() || o.httpTlsKey.empty())) {
        error = "--http-tls-cert and --http-tls-key go together: the certificate and its private key";
        return false;
    }
    if (!o.httpTlsClientCa.empty() && !tls) {
        error = "--http-tls-client-ca needs --http-tls-cert and --http-tls-key";
        return false;
    }
    if (tls && o.http.empty()) {
        error = "--http-tls-cert needs --http, the address to serve HTTPS on";
        return false;
    }
    if (!o.httpWrites || tls || o.httpPlaintextWrites) return true;
    std::string host;
    int port = 0;
    if (!http::ParseHttpAddress(o.http, host, port, error)) return false;
    if (http::IsLoopbackHost(host)) return true;
    // A bearer token in clear text on a plant's network is anyone's.
    error = "--http-writes on " + o.http +
            ", not a loopback address, without TLS would send the bearer token in clear text: give "
            "--http-tls-cert and --http-tls-key, or --http-plaintext-writes to accept that";
    return false;
}

}  // namespace qel::gateway
