// A claim of a directory tree by one restore for as long as it writes there:
// a second restore whose destination is the same tree, lies below it or
// above it is refused and told who holds it. Claims are lock files under
// StatePath("locks")/claims, each held with flock(2) by its process and
// naming it ("<pid> <start time>\n<path>\n<holder>", then a line for each
// further tree the claim took). One claim holds every tree of its batch in
// one file. Claims of one process never exclude each other (the streams of
// one restore).
//
// A claim whose holder is gone (no flock on it, and no process runs with its
// pid and start time: a pid taken again is another process) was left by a
// killed restore: the next look (a restore's take, SweepAbandonedClaims)
// removes that holder's temporary names (ReplacementName, placed_files.h)
// from the claimed tree, then the claim. Looks hold the named mutex
// "restore-claims", as take and release do.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace nuvbase {

class TreeClaim {
public:
    TreeClaim() = default;
    TreeClaim(TreeClaim const&) = delete;
    TreeClaim& operator=(TreeClaim const&) = delete;
    ~TreeClaim();  // releases the claim

    // Claims the tree `path` (absolute, resolved) for `holder` (who is
    // named to a refused restore); a claim already held takes it as one more
    // tree in its file (nothing when a tree it holds holds it). False when
    // another process holds a claim related to it: *error names the
    // destination and that holder; or when the claim cannot be written
    // (*error says why).
    bool take(std::string const& path, std::string const& holder, std::string* error);
    bool held() const { return m_fd >= 0; }
    std::string const& path() const {  // the tree taken first ("" before any)
        static std::string const none;
        return m_paths.empty() ? none : m_paths.front();
    }
    std::vector<std::string> const& paths() const { return m_paths; }  // the trees claimed, first taken first

private:
    std::vector<std::string> m_paths;
    std::set<std::string, std::less<>> m_held;  // the same, to look up
    std::string m_file;
    int m_fd = -1;
};

// Sweeps the claims of gone holders (see above): the walk by descriptor of
// each such tree never follows a link and removes only names that are that
// holder's temporary names; live restores' claims and files are left alone.
// *swept (when not null): how many names were removed. An error names a tree
// that could not be swept whole; its claim stays for the next sweep.
[[nodiscard]] CFzError SweepAbandonedClaims(int* swept = nullptr);

}  // namespace nuvbase
