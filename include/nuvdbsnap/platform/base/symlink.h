// The base library's symbolic-link service: a path's physical form with its
// symbolic links resolved, optionally after the process-wide mount-source
// translations. Every call is journalled ("symlink", "getPhysicalPath") and
// obeys the fault table (a fault fails the resolution).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// What a path was in a snap job's point-in-time copy.
struct NuvSnapPathInfo {
    enum Kind { kUnknown, kMissing, kDirectory, kLink, kOther };
    Kind kind = kUnknown;  // kUnknown: no snapshot of the job holds the path
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string target;  // a link's target
};

// Tells, through the snapshot service, what each path (absolute) was in the
// point-in-time copy of snap job `snapJobId` (Brannox id `brannoxId`): one
// entry per path, in order. False (with a text) when the copy cannot be read.
using NuvSnapPathLookup = bool (*)(long long snapJobId, int brannoxId, std::vector<std::string> const& paths,
                                   std::vector<NuvSnapPathInfo>* out, std::string* error);

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

    // Lays out the missing ancestors of `path` (a file restored to its own
    // place) as they were in snap job `snapJobId`'s point-in-time copy: a
    // directory with the copy's mode and owner, a symbolic link with the same
    // target (nothing is made below a link). An ancestor the copy does not
    // hold becomes a directory (0755) owned by `userName` when that user
    // exists. What exists is never followed through a link nor replaced: the
    // walk stops at an existing link or non-directory. Journalled with the
    // job, Brannox id and user; a fault or a failure makes nothing more (no
    // result: the restore goes on and the copy makes what it needs).
    static void createDirAndSymLinks(std::string const& path, long long snapJobId, int brannoxId,
                                     std::string const& userName);
    // The snapshot service installs how a snap job's copy is read.
    static void setSnapPathLookup(NuvSnapPathLookup lookup);
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

// The physical paths of one pass over a list of paths (a restore's files),
// each as UnixSymbolicLink::getPhysicalPath gives it and journalled and
// faulted as its own call of it: a path whose last component is no symbolic
// link is its directory's physical path and its name, and the files of one
// directory, coming one after another, have their directory resolved once.
// A batch lives for one pass: a directory's link changed meanwhile is not
// seen, as a list resolved path by path sees each path as it stood then.
class PhysicalPathBatch {
public:
    bool getPhysicalPath(std::string const& path, std::string& physical);
    bool getPhysicalPath(std::string const& path, std::string& physical,
                         std::map<std::string, std::string> const& transMap, long long jobId, int flag);

private:
    bool resolve(std::string const& path, std::string& physical);
    std::string m_dir;      // the last directory resolved, as the paths name it
    std::string m_realDir;  // its physical path
};
