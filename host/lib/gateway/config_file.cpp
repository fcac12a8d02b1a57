#include "gateway/config_file.h"

#include <toml++/toml.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace qel::gateway {
namespace {

namespace fs = std::filesystem;

// Options whose value is a path: a relative one is taken from the file's
// directory, or on the command line from the working directory at the start.
const std::set<std::string> kPathKeys = {"models",      "publish",   "write-allow", "mqtt-password-file",
                                         "mqtt-cafile", "mqtt-cert", "mqtt-key",    "log",
                                         "driver",      "poll",      "http-token-file", "buffer"};
// Options that have no place in the file.
const std::set<std::string> kCommandOnly = {"config", "check", "map", "help"};

std::string Where(const std::string& path, const toml::source_region& region) {
    return path + ":" + std::to_string(region.begin.line) + ":" + std::to_string(region.begin.column);
}

// The key of this app's options nearest to `key`, for "did you mean".
std::string Nearest(const CLI::App& app, const std::string& key) {
    std::string best;
    std::size_t bestDistance = 4;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            std::vector<std::size_t> row(name.size() + 1);
            for (std::size_t j = 0; j <= name.size(); ++j) row[j] = j;
            for (std::size_t i = 1; i <= key.size(); ++i) {
                std::size_t diagonal = row[0];
                row[0] = i;
                for (std::size_t j = 1; j <= name.size(); ++j) {
                    const std::size_t above = row[j];
                    row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (key[i - 1] == name[j - 1] ? 0 : 1)});
                    diagonal = above;
                }
            }
            if (row[name.size()] < bestDistance && kCommandOnly.count(name) == 0) {
                bestDistance = row[name.size()];
                best = name;
            }
        }
    }
    return best;
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
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
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
        error = e.what();
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
    const std::set<std::string> fields = publish ? std::set<std::string>{"gate", "count", "type", "period", "tag"}
                                                 : std::set<std::string>{"gate", "count"};
    std::string gate, count, type, period, tag;
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
        if (field == "type") type = text;
        if (field == "period") period = value.is_number() ? text + "s" : text;
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
    return true;
}

}  // namespace

bool ReadConfigFile(const std::string& path, const std::set<std::string>& skip, ConfigFile& config,
                    std::string& error) {
    toml::table table;
    try {
        table = toml::parse_file(path);
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
        // An empty string is the option's default, as --check prints it.
        if (skip.count(key) || (node.is_string() && node.as_string()->get().empty())) continue;
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
            if (kPathKeys.count(key) && !text.empty() && fs::path(text).is_relative()) text = (directory / text).string();
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

std::vector<std::string> AbsoluteCommandLine(const std::vector<std::string>& commandLine, const std::string& base) {
    const auto resolve = [&base](const std::string& value) {
        return value.empty() || fs::path(value).is_absolute() ? value : (fs::path(base) / value).lexically_normal().string();
    };
    std::vector<std::string> resolved = commandLine;
    for (std::size_t i = 0; i < resolved.size(); ++i) {
        const std::string& arg = resolved[i];
        if (arg.rfind("--", 0) != 0) continue;
        const std::size_t equals = arg.find('=');
        const std::string key = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        if (!kPathKeys.count(key) && key != "config") continue;
        if (equals != std::string::npos) resolved[i] = arg.substr(0, equals + 1) + resolve(arg.substr(equals + 1));
        else if (i + 1 < resolved.size() && resolved[i + 1].rfind("-", 0) != 0) {
            resolved[i + 1] = resolve(resolved[i + 1]);
            ++i;
        }
    }
    return resolved;
}

bool LoadOptions(const std::vector<std::string>& commandLine, Options& options, std::string& error) {
    Options first;
    std::set<std::string> given;
    if (!Parse(commandLine, first, false, error, &given)) return false;
    if (first.configFile.empty()) {
        options = first;
        return Parse(commandLine, options, true, error);
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
