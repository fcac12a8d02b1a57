#include "cli/usage_hint.h"

#include "common/nearest_word.h"

namespace qel::cli {

namespace {

// Every long option name of app and its subcommands ("--port").
void OptionNames(const CLI::App& app, std::vector<std::string>& names) {
    for (const CLI::Option* option : app.get_options())
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) OptionNames(*sub, names);
    for (const CLI::App* group : app.get_subcommands([](const CLI::App* a) { return a->get_name().empty(); }))
        OptionNames(*group, names);
}

const CLI::Option* FindOption(const CLI::App& app, const std::string& name) {
    if (const CLI::Option* option = app.get_option_no_throw(name)) return option;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (const CLI::Option* option = FindOption(*sub, name)) return option;
    return nullptr;
}

// The option an error names, from CLI11's "--name: ..." message.
std::string NamedOption(const std::string& what) {
    if (what.rfind("--", 0) != 0) return "";
    const std::size_t colon = what.find(':');
    return colon == std::string::npos ? "" : what.substr(0, colon);
}

bool Numeric(const CLI::Option& option) {
    const std::string type = option.get_type_name();
    return type.rfind("INT", 0) == 0 || type.rfind("UINT", 0) == 0 || type.rfind("FLOAT", 0) == 0 ||
           type.rfind("NUMBER", 0) == 0;
}

// "--port TEXT or --port=TEXT (what it is)" from the option's type and description.
std::string Form(const CLI::Option& option, const std::string& name) {
    const std::string type = option.get_type_name();
    const std::string word = Numeric(option) ? "N" : type.rfind("FILE", 0) == 0 ? "FILE" : "TEXT";
    std::string form = name + " " + word + " or " + name + "=" + word;
    if (!option.get_description().empty()) form += " (" + option.get_description() + ")";
    return form;
}

}  // namespace

std::string UsageHint(const CLI::App& app, const CLI::ParseError& error, const std::vector<std::string>& args) {
    const std::string what = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        // The first word that was not taken: a command or an option mistyped.
        for (const std::string& arg : args) {
            if (what.find(arg) == std::string::npos) continue;
            if (arg.rfind("--", 0) == 0) {
                std::vector<std::string> names;
                OptionNames(app, names);
                const std::string key = arg.substr(0, arg.find('='));
                const std::string near = common::NearestWord(key, names);
                return "unknown option " + key + (near.empty() ? "" : "; did you mean " + near + "?");
            }
            std::vector<std::string> commands;
            for (const CLI::App* sub : app.get_subcommands([](const CLI::App* a) { return !a->get_name().empty(); }))
                commands.push_back(sub->get_name());
            if (commands.empty()) break;
            std::string list;
            for (const std::string& c : commands) list += (list.empty() ? "" : ", ") + c;
            const std::string near = common::NearestWord(arg, commands);
            return "\"" + arg + "\" is no command or value here" +
                   (near.empty() ? "" : "; did you mean \"" + near + "\"?") + " (commands: " + list + ")";
        }
        return what;
    }
    const std::string name = NamedOption(what);
    const CLI::Option* option = name.empty() ? nullptr : FindOption(app, name);
    if (option == nullptr) return what;
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && what.find("missing") != std::string::npos)
        return name + " takes a value: write " + Form(*option, name);
    if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr ||
        dynamic_cast<const CLI::ConversionError*>(&error) != nullptr) {
        // A number with a unit where a plain number is taken ("1s"): say so.
        std::string value;
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i] == name && i + 1 < args.size()) value = args[i + 1];
            if (args[i].rfind(name + "=", 0) == 0) value = args[i].substr(name.size() + 1);
        }
        const std::size_t letters = value.find_first_not_of("0123456789.");
        if (Numeric(*option) && letters != 0 && letters != std::string::npos)
            return name + " " + value + ": the number is written without a unit (\"" + value.substr(letters) +
                   "\"); write " + Form(*option, name);
        // A number written wrongly gets the form; a file that is not there
        // says so by itself.
        if (Numeric(*option)) return what + "; write " + Form(*option, name);
    }
    return what;
}

}  // namespace qel::cli
