#include "cli_args.h"

#include <cerrno>
#include <cstdlib>

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

bool ParseInteger(std::string const& text, long long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    *value = v;
    return true;
}

}  // namespace jzsuite
