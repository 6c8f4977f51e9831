// Command-line words of one jzsuite command: positional words, options with
// a value (--name value) and flags (--name). "--" ends the options.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace jzsuite {

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::set<std::string> flags;

    bool has(std::string const& option) const { return options.count(option) != 0; }
    std::string get(std::string const& option, std::string const& fallback = "") const;
    bool flag(std::string const& name) const { return flags.count(name) != 0; }
};

// False (with *error) for an option not in `withValue` or `flags`, an option
// given twice, or an option without its value.
bool ParseArgs(std::vector<std::string> const& words, std::set<std::string> const& withValue,
               std::set<std::string> const& flags, Args* args, std::string* error);

// Whole-text integer (decimal, or 0x hex); false for anything else.
bool ParseInteger(std::string const& text, long long* value);

}  // namespace jzsuite
