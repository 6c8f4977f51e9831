// NuvDBQuiesceFS: freezes the XFS file systems of a snapshot record's volumes
// before the snapshot and thaws them after it, with the system's XFS freeze
// tool through the suite's freeze guard (platform/freeze: one freeze of a file
// system at a time, thawed when this process dies or the freeze time limit
// passes). The caller keeps the list of frozen mount points between the two
// calls. The tool is run with the mount point as one argument of its own
// (never through a shell), so any mount point, however named, is frozen as itself.
#pragma once

#include <list>
#include <string>

class SMVolSnapInfo;

class NuvDBQuiesceFS {
public:
    NuvDBQuiesceFS() {}

    // Freezes the record's XFS mount points (not "/", not flagged 0x00100000) and
    // appends each one frozen to `frozen`. 0 on success; -1 at the first failed
    // freeze (the ones frozen before it stay listed). Nothing is done for engine 1
    // or when the settings say not to quiesce. Nothing at all is frozen when any
    // of them shares its file system with a place the suite writes to (-1).
    [[nodiscard]] int QuiesceFileSystem(SMVolSnapInfo& record, std::list<std::string>& frozen);
    // Thaws every listed mount point and removes the thawed ones; -1 when any
    // thaw failed (those stay listed), else 0. An empty list runs nothing.
    [[nodiscard]] int UnQuiesceFileSystem(SMVolSnapInfo& record, std::list<std::string>& frozen);
    // True when the record's file systems are not to be frozen: FileSystemAgent /
    // nDoQuiesce is 0, or it is unset and the application type is not 135 or 136.
    static bool skipQueisce(SMVolSnapInfo& record);

    // The freeze tool; its two modes' arguments.
    static constexpr char const* kFreezeTool = "/usr/sbin/xfs_freeze";

    // The last failed freeze or thaw: its mount point, code (an errno value or
    // the tool's exit status) and text; empty mount point when none failed.
    struct Failure {
        std::string mountPoint;
        int code = 0;
        std::string text;
        bool refused = false;  // refused before anything was frozen
    };
    Failure const& lastFailure() const { return m_failure; }

private:
    Failure m_failure;
};
