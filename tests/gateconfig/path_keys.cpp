#include "path_keys.h"

#include <fstream>

namespace qel::gateway {

const std::vector<PathKey>& PathKeys() {
    using F = const std::string&;
    static const std::vector<PathKey> keys = {
        {"models", "davEV01.int", [](const Options& o) -> F { return o.session.modelsFile; }},
        {"driver", "libdriver.so", [](const Options& o) -> F { return o.session.driverPath; }},
        {"log", "driver.log", [](const Options& o) -> F { return o.session.logFile; }},
        {"write-allow", "allow.txt", [](const Options& o) -> F { return o.writeAllowFile; }},
        {"poll", "poll.txt", [](const Options& o) -> F { return o.pollFile; }},
        {"record", "night.db", [](const Options& o) -> F { return o.recordFile; }},
        {"http-token-file", "token", [](const Options& o) -> F { return o.httpTokenFile; }},
        {"publish", "publish.txt", [](const Options& o) -> F { return o.mqtt.publishFile; }},
        {"mqtt-password-file", "password", [](const Options& o) -> F { return o.mqtt.passwordFile; }},
        {"mqtt-cafile", "ca.pem", [](const Options& o) -> F { return o.mqtt.cafile; }},
        {"mqtt-cert", "client.pem", [](const Options& o) -> F { return o.mqtt.cert; }},
        {"mqtt-key", "client.key", [](const Options& o) -> F { return o.mqtt.key; }},
        {"buffer", "buffer", [](const Options& o) -> F { return o.mqtt.buffer; }},
        // A port with a folder in its name is a path; a bare name is the driver's /dev.
        {"port", "dev/ttyQ0", [](const Options& o) -> F { return o.session.line.port; }},
        {"http-tls-cert", "server.pem", [](const Options& o) -> F { return o.httpTlsCert; }},
        {"http-tls-key", "server.key", [](const Options& o) -> F { return o.httpTlsKey; }},
        {"http-tls-client-ca", "clients.pem", [](const Options& o) -> F { return o.httpTlsClientCa; }},
    };
    return keys;
}

void MakePathKeyFiles(const std::filesystem::path& folder) {
    for (const PathKey& key : PathKeys()) {
        const std::filesystem::path path = folder / key.name;
        std::filesystem::create_directories(path.parent_path());
        if (std::string(key.key) == "buffer") std::filesystem::create_directory(path);
        else std::ofstream(path) << "001DR0010\n";
    }
}

}  // namespace qel::gateway
