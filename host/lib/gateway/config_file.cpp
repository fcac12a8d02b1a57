#include "gateway/config_file.h"

#include "cli/usage_hint.h"
#include "common/nearest_word.h"
#include "gateway/option_paths.h"

#include <toml++/toml.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

namespace qel::gateway {
namespace {

namespace fs = std::filesystem;

// The files among the path keys that are read: one that is there but is not a regular
// file (a FIFO, a device, a directory) is refused here, at the key's line.
const std::set<std::string> kReadKeys = {"models",   "publish",  "write-allow", "mqtt-password-file", "mqtt-cafile",
                                         "mqtt-cert", "mqtt-key", "poll",        "http-token-file",
                                         "http-tls-cert", "http-tls-key", "http-tls-client-ca"};
// Options that have no place in the file.
const std::set<std::string> kCommandOnly = {"config", "check", "map", "help"};

std::string Where(const std::string& path, const toml::source_region& region) {
    return path + ":" + std::to_string(region.begin.line) + ":" + std::to_string(region.begin.column);
}

// The key of this app's options nearest to `key`, for "did you mean".
std::string Nearest(const CLI::App& app, const std::string& key) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options())
        for (const std::string& name : option->get_lnames())
            if (kCommandOnly.count(name) == 0) names.push_back(name);
    return common::NearestWord(key, names);
}

// A scalar as the command line would give it; false when it is none.
bool ScalarText(const toml::node& node, std::string& text) {
    if (const auto* s = node.as_string()) {
        text = s->get();
    } else if (const auto* i = node.as_integer()) {
        text = std::to_string(i->get());
    } else if (const auto* f = node.as_floating_point()) {
        std::ostringstream out;
        out.precision(15);
        out << f->get();
        text = out.str();
    } else {
        return false;
    }
    return true;
}

// Parses args as qelgate's command line into options; false with CLI11's
// message. `strict` false leaves out the checks between options.
bool Parse(std::vector<std::string> args, Options& options, bool strict, std::string& error,
           std::set<std::string>* given = nullptr) {
    CLI::App app;
    AddOptions(app, options);
    const std::vector<std::string> inOrder = args;  // CLI11 takes args up as it parses
    std::reverse(args.begin(), args.end());        // ... and last first
    try {
        app.parse(args);
    } catch (const CLI::RequiresError& e) {
        if (strict) {
            error = e.what();
            return false;
        }
    } catch (const CLI::ExcludesError& e) {
        if (strict) {
            error = e.what();
            return false;
        }
    } catch (const CLI::ParseError& e) {
        error = cli::UsageHint(app, e, inOrder);
        return false;
    }
    if (given != nullptr)
        for (const CLI::Option* option : app.get_options())
            if (option->count() > 0)
                for (const std::string& name : option->get_lnames()) given->insert(name);
    return true;
}

// One entry of an inline list: a string in the list's line format, or a
// table of the named fields.
bool InlineEntry(const std::string& path, const std::string& key, const toml::node& entry, bool publish,
                 common::TextLine& line, std::string& error) {
    const std::string where = Where(path, entry.source()) + ": " + key + ": ";
    line.number = entry.source().begin.line;
    if (const auto* text = entry.as_string()) {
        line.text = common::StripComment(text->get());
        if (line.text.empty()) {
            error = where + "an empty entry; write a gate, e.g. \"001DR0010\"";
            return false;
        }
        return true;
    }
    const auto* table = entry.as_table();
    if (table == nullptr) {
        error = where + "an entry is a string such as \"001DR0010 5\" or a table such as { gate = \"001DR0010\" }";
        return false;
    }
    const std::set<std::string> fields = publish ? std::set<std::string>{"gate",   "count",  "type", "period",   "tag", "order",
                                                                           "scale", "offset", "unit", "deadband", "desc"}
                                                 : std::set<std::string>{"gate", "count"};
    std::string gate, count, type, period, tag;
    std::string tagFields;  // the tag's fields, as the line format writes them
    for (const auto& [name, value] : *table) {
        const std::string field(name.str());
        if (fields.count(field) == 0) {
            std::string known;
            for (const std::string& f : fields) known += (known.empty() ? "" : ", ") + f;
            error = Where(path, value.source()) + ": " + key + ": unknown field \"" + field + "\"; an entry has " + known;
            return false;
        }
        std::string text;
        if (!ScalarText(value, text)) {
            error = Where(path, value.source()) + ": " + key + ": " + field + " is a string or a number";
            return false;
        }
        if (field == "gate") gate = text;
        if (field == "count") count = text;
        // type = "bit" or "word" says how the gate is read, as before; any
        // other type is the tag's.
        if (field == "type" && (text == "bit" || text == "word")) type = text;
        else if (field == "type" || (field != "gate" && field != "count" && field != "period" && field != "tag"))
            tagFields += " " + field + "=\"" + text + "\"";
        if (field == "period" && value.is_number()) {
            error = Where(path, value.source()) + ": " + key + ": period = " + text +
                    " has no unit; write it as a string with its unit, period = \"" + text + "ms\" or period = \"" +
                    text + "s\" (50ms to 86400s)";
            return false;
        }
        if (field == "period") period = text;
        if (field == "tag") tag = text;
    }
    if (gate.empty()) {
        error = where + "the entry names no gate; add gate = \"001DR0010\"";
        return false;
    }
    line.text = gate;
    for (const std::string* word : {&count, &type, &period})
        if (!word->empty()) line.text += " " + *word;
    if (!tag.empty()) line.text += " tag=" + tag;
    line.text += tagFields;
    return true;
}

}  // namespace

bool ReadConfigFile(const std::string& path, const std::set<std::string>& skip, ConfigFile& config,
                    std::string& error) {
    // Read within a bound first: toml++ would read a FIFO or /dev/zero for ever.
    std::string bytes;
    if (!common::ReadBoundedFile(path, common::kConfigFile, bytes, error)) return false;
    toml::table table;
    try {
        table = toml::parse(bytes, path);
    } catch (const toml::parse_error& e) {
        error = Where(path, e.source()) + ": " + std::string(e.description());
        return false;
    }
    const fs::path directory = fs::absolute(fs::path(path)).parent_path();
    Options defaults;
    CLI::App app;
    AddOptions(app, defaults);
    for (const auto& [name, node] : table) {
        const std::string key(name.str());
        const std::string where = Where(path, node.source()) + ": " + key + ": ";
        const CLI::Option* option = kCommandOnly.count(key) ? nullptr : app.get_option_no_throw("--" + key);
        if (kCommandOnly.count(key)) {
            error = Where(path, name.source()) + ": " + key + ": only on the command line (qelgate --" + key + ")";
            return false;
        }
        if (option == nullptr) {
            const std::string near = Nearest(app, key);
            error = Where(path, name.source()) + ": unknown key \"" + key + "\"; the keys are qelgate's long options" +
                    (near.empty() ? " (qelgate --help)" : ", e.g. \"" + near + "\"");
            return false;
        }
        config.where[key] = Where(path, name.source());
        // An empty string is the option's default, as --check prints it. A
        // station list is merged with the command line's, station by station.
        if ((skip.count(key) && key != "station") || (node.is_string() && node.as_string()->get().empty())) continue;
        const bool publish = key == "publish";
        if ((publish || key == "write-allow") && node.is_array()) {
            std::vector<common::TextLine>& lines = publish ? config.publishLines : config.writeAllowLines;
            (publish ? config.publishInline : config.writeAllowInline) = true;
            for (const toml::node& entry : *node.as_array()) {
                common::TextLine line;
                if (!InlineEntry(path, key, entry, publish, line, error)) return false;
                lines.push_back(line);
            }
            if (lines.empty()) {
                error = where + "the list is empty; name at least one gate";
                return false;
            }
            continue;
        }
        std::vector<std::string> args;
        const bool flag = option->get_expected_max() == 0;
        if (flag) {
            const auto* value = node.as_boolean();
            if (value == nullptr) {
                error = where + "a switch: write true or false";
                return false;
            }
            if (value->get()) args.push_back("--" + key);
        } else if (const auto* array = node.as_array()) {
            if (option->get_items_expected_max() <= 1 && option->get_expected_max() <= 1) {
                error = where + "takes one value, not an array";
                return false;
            }
            for (const toml::node& element : *array) {
                std::string text;
                if (!ScalarText(element, text)) {
                    error = Where(path, element.source()) + ": " + key + ": an array of strings or numbers";
                    return false;
                }
                args.push_back("--" + key + "=" + text);
            }
        } else {
            std::string text;
            if (!ScalarText(node, text)) {
                error = where + (node.is_boolean() ? "takes a value, not true or false" : "takes a string or a number");
                return false;
            }
            if (IsPathKey(key, text) && !text.empty() && fs::path(text).is_relative())
                text = (directory / text).lexically_normal().string();
            std::error_code missing;
            if (kReadKeys.count(key) && !text.empty() && fs::exists(text, missing))
                if (const std::string why = common::NotRegularFile(text); !why.empty()) {
                    error = where + text + " is " + why;
                    return false;
                }
            args.push_back("--" + key + "=" + text);
        }
        // The value on its own, as the command line checks it.
        Options one;
        std::string why;
        if (!Parse(args, one, false, why)) {
            error = where + why;
            return false;
        }
        config.args.insert(config.args.end(), args.begin(), args.end());
    }
    return true;
}

// Each station once, the last one named winning (the command line's come
// after the file's), in the order of their numbers.
void MergeStations(std::vector<session::StationModelOption>& stations) {
    std::map<unsigned, std::string> merged;
    for (const session::StationModelOption& station : stations) merged[station.station] = station.model;
    stations.clear();
    for (const auto& [station, model] : merged) stations.push_back({station, model});
}

bool LoadOptions(const std::vector<std::string>& arguments, Options& options, std::string& error) {
    const fs::path& start = StartDirectory();
    const std::vector<std::string> commandLine = AbsoluteCommandLine(arguments, start);
    Options first;
    std::set<std::string> given;
    if (!Parse(commandLine, first, false, error, &given)) return false;
    if (first.configFile.empty()) {
        options = first;
        if (!Parse(commandLine, options, true, error)) return false;
        ResolvePaths(options, start);
        return true;
    }
    ConfigFile config;
    if (!ReadConfigFile(first.configFile, given, config, error)) return false;
    std::vector<std::string> args = config.args;
    args.insert(args.end(), commandLine.begin(), commandLine.end());
    options = Options{};
    if (!Parse(args, options, true, error)) {
        error = first.configFile + " with the command line: " + error;
        return false;
    }
    // What the file left relative it made absolute; the rest is the
    // command line's, taken from where the program started.
    ResolvePaths(options, start);
    MergeStations(options.session.stations);
    for (const auto& [key, where] : config.where)
        if (given.count(key) == 0) options.keyOrigins[key] = where;
    const std::string origin = fs::absolute(first.configFile).lexically_normal().string();
    if (config.publishInline) {
        options.mqtt.publishLines = config.publishLines;
        options.mqtt.publishOrigin = origin;
    }
    if (config.writeAllowInline) {
        options.writeAllowLines = config.writeAllowLines;
        options.writeAllowOrigin = origin;
    }
    return true;
}

std::string EffectiveConfig(const Options& options) {
    std::string text;
    for (const OptionValue& value : OptionValues(options)) {
        if (value.key == "mqtt-password") continue;
        text += value.key + " = " + value.value + "\n";
    }
    return text;
}

}  // namespace qel::gateway
