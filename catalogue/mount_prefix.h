// Moving a path from under a source mount to under a snapshot mount. A path
// lies under a mount only at a component boundary ("/u011/a" is not under
// "/u01"); "/" (or a mount of slashes only, or an empty one) holds every path.
#pragma once

#include <string>

namespace nuvcatalogue {

// The mount without its trailing '/' characters, "/" for a mount of slashes only.
std::string TrimMount(std::string const& mount);

// True when path lies under mount; rest is then the part below it, without a
// leading '/' (empty for the mount itself).
bool UnderMount(std::string const& path, std::string const& mount, std::string& rest);

// Where a replica's files lie: mount followed by the replica's relative path
// less the source path (without its trailing '/'). False when the relative path
// does not begin with the source path at a component boundary.
bool ReplicaMount(std::string const& sourcePath, std::string const& relative, std::string const& mount,
                  std::string& replicaMount);

// snapMount and rest joined with exactly one '/' (nuvsuite::JoinPath): an empty
// snapMount stands for "/", and without rest the result is TrimMount(snapMount).
std::string JoinMount(std::string const& snapMount, std::string const& rest);

// Every run of '/' reduced to one.
std::string CollapseSlashes(std::string const& path);

// Every occurrence of from replaced by to.
std::string ReplaceChar(std::string text, char from, char to);

}  // namespace nuvcatalogue
