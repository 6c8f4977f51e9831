// What the catalogue checks before it trusts a state root: that the root can be
// written, and that a missing or empty catalogue file is a fresh start, not a
// lost one; and where it reports damage it meets.
#pragma once

#include <string>

namespace nuvsuite {
namespace detail {

// "" when `root` is a directory this process may write to, else why not
// ("Not a directory", "Read-only file system", ...).
std::string StateRootProblem(std::string const& root);

// What in `root` shows that a catalogue was there before ("snapshot copies
// under snapshots/", ...); "" for a root never used.
std::string PriorUse(std::string const& root);

// Hands `text` to the damage reporter (stderr when none is installed), once per
// process and `key`.
void ReportCatalogueDamage(std::string const& key, std::string const& text);

}  // namespace detail
}  // namespace nuvsuite
