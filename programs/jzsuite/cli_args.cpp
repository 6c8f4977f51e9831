#include "cli_args.h"


namespace jzsuite {

std::string Args::get(std::string const& option, std::string const& fallback) const {
    auto found = options.find(option);
    return found == options.end() ? fallback : found->second;
}

bool ParseArgs(std::vector<std::string> const& words, std::set<std::string> const& withValue,
               std::set<std::string> const& flags, Args* args, std::string* error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        std::string const& w = words[i];
        if (optionsEnded || w.size() < 3 || w.compare(0, 2, "--") != 0) {
            if (w == "--" && !optionsEnded) {
                optionsEnded = true;
                continue;
            }
            args->positional.push_back(w);
            continue;
        }
        std::string const name = w.substr(2);
        if (flags.count(name)) {
            args->flags.insert(name);
            continue;
        }
        if (!withValue.count(name)) {
            *error = "unknown option " + w;
            return false;
        }
        if (args->options.count(name)) {
            *error = "option " + w + " given twice";
            return false;
        }
        if (i + 1 >= words.size()) {
            *error = "option " + w + " needs a value";
            return false;
        }
        args->options[name] = words[++i];
    }
    return true;
}

bool ReadValue(std::string const& what, std::string const& text, nuvsuite::AdminValue rule,
               nuvsuite::CatValue* value, std::string* error) {
    std::string why;
    if (nuvsuite::ParseAdminValue(rule, text, value, &why)) return true;
    *error = what + ": " + why;
    return false;
}

bool ReadNumber(std::string const& what, std::string const& text, nuvsuite::AdminValue rule, int64_t* value,
                std::string* error) {
    nuvsuite::CatValue v;
    if (!ReadValue(what, text, rule, &v, error)) return false;
    *value = nuvsuite::AsInt(v);
    return true;
}

}  // namespace jzsuite
