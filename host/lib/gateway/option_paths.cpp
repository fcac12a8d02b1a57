#include "gateway/option_paths.h"

#include <set>

namespace qel::gateway {

namespace fs = std::filesystem;

namespace {

bool PortIsPath(const std::string& port) {
    return port.find('/') != std::string::npos && port.rfind("tcp:", 0) != 0;
}

}  // namespace

void ForEachPath(Options& o, const std::function<void(const std::string& key, std::string& value)>& visit) {
    session::SessionOptions& s = o.session;
    mqtt::MqttOptions& m = o.mqtt;
    visit("config", o.configFile);
    if (PortIsPath(s.line.port)) visit("port", s.line.port);
    visit("models", s.modelsFile);
    visit("driver", s.driverPath);
    visit("log", s.logFile);
    visit("write-allow", o.writeAllowFile);
    visit("poll", o.pollFile);
    visit("record", o.recordFile);
    visit("http-token-file", o.httpTokenFile);
    visit("http-tls-cert", o.httpTlsCert);
    visit("http-tls-key", o.httpTlsKey);
    visit("http-tls-client-ca", o.httpTlsClientCa);
    visit("publish", m.publishFile);
    visit("mqtt-password-file", m.passwordFile);
    visit("mqtt-cafile", m.cafile);
    visit("mqtt-cert", m.cert);
    visit("mqtt-key", m.key);
    if (m.buffer != "off") visit("buffer", m.buffer);
}

void ResolvePaths(Options& o, const fs::path& base) {
    ForEachPath(o, [&base](const std::string&, std::string& value) {
        if (!value.empty() && fs::path(value).is_relative()) value = (base / value).lexically_normal().string();
    });
}

std::vector<std::string> AbsoluteCommandLine(const std::vector<std::string>& args, const fs::path& base) {
    const auto resolved = [&base](const std::string& key, const std::string& value) {
        return IsPathKey(key, value) && !value.empty() && fs::path(value).is_relative()
                   ? (base / value).lexically_normal().string()
                   : value;
    };
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            out.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            const std::string key = arg.substr(2, equals - 2);
            out.push_back(arg.substr(0, equals + 1) + resolved(key, arg.substr(equals + 1)));
            continue;
        }
        out.push_back(arg);
        const std::string key = arg.substr(2);
        // A value that starts with '-' is the next option: the missing value is the parser's to name.
        if (i + 1 < args.size() && IsPathKey(key, args[i + 1]) && args[i + 1].rfind("-", 0) != 0)
            out.push_back(resolved(key, args[++i]));
    }
    return out;
}

bool IsPathKey(const std::string& key, const std::string& value) {
    static const std::set<std::string> keys = [] {
        std::set<std::string> names;
        Options probe;
        probe.session.line.port = "/";
        ForEachPath(probe, [&names](const std::string& k, std::string&) { names.insert(k); });
        return names;
    }();
    return keys.count(key) != 0 && (key != "port" || PortIsPath(value)) && (key != "buffer" || value != "off");
}

const fs::path& StartDirectory() {
    static const fs::path start = [] {
        std::error_code ec;
        fs::path here = fs::current_path(ec);
        return ec ? fs::path("/") : here;
    }();
    return start;
}

}  // namespace qel::gateway
