// The base library's symbolic-link service: a path's physical form with its
// symbolic links resolved, optionally after the process-wide mount-source
// translations. Every call is journalled ("symlink", "getPhysicalPath") and
// obeys the fault table (a fault fails the resolution).
#pragma once

#include <map>
#include <string>
#include <vector>

class NuvSymLink {
public:
    // Mount-source translations: a path prefix (matched at a component
    // boundary) -> the path that stands for it on this host. Process-wide.
    static std::map<std::string, std::string> m_mountSrcTransMap;

    // Symbolic links an index recorded: the link's path -> its target, from
    // entries "/+SYMLINK2DIR+/<link>" and "/+SYMLINK2FILE+/<link>". Process-wide.
    static std::map<std::string, std::string> m_indexedLinks;
    // Records an index entry that stands for a symbolic link (any other path,
    // or an empty target, is left out). Journalled with the job and Brannox id.
    static void checkAndAddToSymlinkMap(std::string const& path, std::string const& target, long long jobId,
                                        int brannoxId);
};

class UnixSymbolicLink {
public:
    // The translated path (the longest key of transMap that is a component
    // prefix of path replaced by its value) with its symbolic links resolved.
    // jobId and flag are journalled. False when the path is not absolute or a
    // link cannot be read or loops.
    static bool getPhysicalPath(std::string const& path, std::string& physical,
                                std::map<std::string, std::string> const& transMap, long long jobId, int flag);
    // The same without translations. visited is not read.
    static bool getPhysicalPath(std::string const& path, std::string& physical, std::vector<std::string>& visited,
                                bool, bool);
};
