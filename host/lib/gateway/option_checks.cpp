#include "gateway/option_checks.h"

#include <fstream>
#include <vector>

#include "cli/setting_words.h"
#include "common/secret_file.h"
#include "mqtt/mqtt_options.h"
#include "sparkplug/sparkplug_options.h"
#include "session/stations/model_directory.h"
#include "session/stations/station_option.h"

namespace qel::gateway {

bool CheckCombination(const Options& o, std::string& error) {
    if (o.session.line.port.empty()) {
        error = "--port is required: the serial port of the FA line, e.g. --port ttyUSB0";
        return false;
    }
    if (!mqtt::CheckMqttPair(o.mqtt, error)) {
        error += KeyOrigins(o, {"mqtt", "publish"});
        return false;
    }
    if (!o.sparkplug.group.empty() && o.mqtt.url.empty()) {
        error = "--sparkplug needs --mqtt and --publish: the broker and the gates of the node" +
                KeyOrigins(o, {"sparkplug"});
        return false;
    }
    if (HasWriteAllow(o) && !o.allowWrites && !o.mqtt.writes && !o.httpWrites) {
        error = "--write-allow needs --allow-writes, --mqtt-writes or --http-writes" + KeyOrigins(o, {"write-allow"});
        return false;
    }
    if (o.httpWrites && (o.http.empty() || o.httpTokenFile.empty())) {
        error = "--http-writes needs --http and --http-token-file (the bearer token the writes carry)" +
                KeyOrigins(o, {"http-writes", "http", "http-token-file"});
        return false;
    }
    if (!o.recordFile.empty() && o.pollFile.empty() && o.mqtt.url.empty()) {
        // The recording shares the rounds' reads: without a list there are
        // none, and a Modbus client's reads come as it pleases.
        error = "--record keeps what the gate lists read, and none is given: name the gates to record with --poll "
                "FILE (or publish a list with --mqtt and --publish)" + KeyOrigins(o, {"record"});
        return false;
    }
    if (!o.recordMax.empty() && o.recordFile.empty()) {
        error = "--record-max bounds --record, which is not given" + KeyOrigins(o, {"record-max"});
        return false;
    }
    store::StoreLimits limits;
    if (!RecordLimits(o, limits, error)) return false;
    return CheckHttpTls(o, error);
}

bool RecordLimits(const Options& o, store::StoreLimits& limits, std::string& error) {
    limits = {};
    if (o.recordMax.empty() || store::ParseStoreLimits(o.recordMax, limits, error)) return true;
    error = "--record-max: " + error + KeyOrigins(o, {"record-max"});
    return false;
}

bool CompletePublishing(const Options& o, mqtt::MqttOptions& m, sparkplug::SparkplugOptions& node, std::string& error) {
    if (!mqtt::CompleteMqttOptions(m, o.session.line.port, error)) {
        error += KeyOrigins(o, {"mqtt", "line-name", "buffer", "buffer-max", "mqtt-password-file"});
        return false;
    }
    if (!sparkplug::CompleteSparkplugOptions(node, m.lineName, error)) {
        error += KeyOrigins(o, {"sparkplug", "sparkplug-node", "line-name", "sparkplug-primary-host"});
        return false;
    }
    return true;
}

bool UnitsOf(const Options& o, const session::StationModels& models, std::bitset<256>& units, std::string& error) {
    units.set();
    if (!o.units.empty()) {
        std::vector<unsigned> stations;
        if (!session::ParseStationList(o.units, stations)) {
            error = cli::StationListWords("--units", o.units);
            return false;
        }
        units.reset();
        for (const unsigned station : stations) units.set(station);
    } else if (o.knownUnitsOnly) {
        units.reset();
        for (unsigned station = 0; station < units.size(); ++station)
            if (models.named[station]) units.set(station);
        if (units.none()) {
            error = "--known-units-only: neither --models nor --station names a station";
            return false;
        }
    }
    return true;
}

bool LoadWriteAllow(const Options& o, const session::GateCheck& check, session::WriteAllowList& list,
                    std::string& error) {
    if (!o.writeAllowLines.empty()) return list.Load(o.writeAllowLines, o.writeAllowOrigin, check, error);
    if (!o.writeAllowFile.empty()) return list.Load(o.writeAllowFile, check, error);
    return true;
}

bool ReadHttpToken(const std::string& path, std::string& token, std::string& warning, std::string& error) {
    common::Secret secret;
    if (!common::ReadSecretFile(path, secret, error)) {
        error = "--http-token-file " + error;
        return false;
    }
    if (!secret.warning.empty()) warning = "--http-token-file " + secret.warning;
    token = secret.text;
    if (token.size() < 16) {
        error = "--http-token-file " + path + ": the token on its first line has fewer than 16 characters";
        return false;
    }
    return true;
}

session::LineOptions ReopenSettings(const session::LineOptions& running, const std::string& runningPort,
                                    const std::string& runningPath, const session::LineOptions& wanted) {
    session::LineOptions settings = wanted;
    settings.qel = running.qel;
    if (wanted.port == runningPort) settings.port = runningPath;
    else if (wanted.port.find('/') != std::string::npos) settings.port = session::Absolute(wanted.port);
    return settings;
}

}  // namespace qel::gateway
