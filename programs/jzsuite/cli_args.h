// Command-line words of one jzsuite command: positional words, options with
// a value (--name value) and flags (--name). "--" ends the options.
#pragma once

#include "nuvdbsnap/platform/suite/admin.h"

#include <cstdint>
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

// The one reader of typed values, for every command: `text` (given for
// `what`, e.g. "--app" or "job id") read by `rule` (nuvsuite::ParseAdminValue).
// False with *error saying what is wrong.
bool ReadValue(std::string const& what, std::string const& text, nuvsuite::AdminValue rule,
               nuvsuite::CatValue* value, std::string* error);
// The same for a number.
bool ReadNumber(std::string const& what, std::string const& text, nuvsuite::AdminValue rule, int64_t* value,
                std::string* error);

}  // namespace jzsuite
