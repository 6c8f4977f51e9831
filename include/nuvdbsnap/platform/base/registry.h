// The settings registry of the local suite, kept in plain files:
//
//   <root>/<instance>/<Section>      one file per section of an instance
//
// Each line of a section file is "<key> <value>": the key (no blanks), one blank,
// then the value up to the end of the line (it may hold blanks; it may be empty).
// Blank lines and lines starting with '#' are ignored; for a key written twice the
// last line wins. The root is $JZREG, else StatePath("registry") when JZ_SUITE_ROOT
// is set, else "/etc/OrvantisRegistry". The focus instance defaults to "Instance001".
// Writers replace a section file atomically (temporary file + rename) under a lock
// on "<root>/<instance>/.<Section>.lock"; readers take a missing file or directory
// as "key absent".
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <string>
#include <utility>
#include <vector>

class JZRegistry {
public:
    static constexpr char const* kDefaultInstance = "Instance001";

    static std::string Root();
    // <root>/<instance>/<section>; empty when a name is not acceptable (empty, "."
    // or "..", or holding "/", blanks or control characters).
    static std::string SectionPath(std::string const& instance, std::string const& section);

    // True (and *value set) when the key is present.
    static bool getValue(std::string const& instance, std::string const& section, std::string const& key,
                         std::string* value);
    // All keys of a section in file order (a key appears once, with its last value).
    static std::vector<std::pair<std::string, std::string>> listValues(std::string const& instance,
                                                                       std::string const& section);

    // A key must be non-empty without blanks or control characters; a value must
    // not hold a line break.
    [[nodiscard]] static CFzError setValue(std::string const& instance, std::string const& section,
                                           std::string const& key, std::string const& value);
    // Removing an absent key succeeds.
    [[nodiscard]] static CFzError removeValue(std::string const& instance, std::string const& section,
                                              std::string const& key);
};
