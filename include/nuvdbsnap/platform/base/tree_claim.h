// A claim of a directory tree by one restore for as long as it writes there:
// a second restore whose destination is the same tree, lies below it or
// above it is refused and told who holds it. Claims are lock files under
// StatePath("locks")/claims, each held with flock(2) by its process: a claim
// of a process that died is stale and removed by the next look. Claims of
// one process never exclude each other (the streams of one restore).
#pragma once

#include <string>

namespace nuvbase {

class TreeClaim {
public:
    TreeClaim() = default;
    TreeClaim(TreeClaim const&) = delete;
    TreeClaim& operator=(TreeClaim const&) = delete;
    ~TreeClaim();  // releases the claim

    // Claims the tree `path` (absolute, resolved) for `holder` (who is
    // named to a refused restore). False when another process holds a claim
    // related to it: *error names the destination and that holder; or when
    // the claim cannot be written (*error says why).
    bool take(std::string const& path, std::string const& holder, std::string* error);
    bool held() const { return m_fd >= 0; }
    std::string const& path() const { return m_path; }

private:
    std::string m_path;
    std::string m_file;
    int m_fd = -1;
};

}  // namespace nuvbase
