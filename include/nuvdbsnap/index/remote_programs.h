// What the callers of the remote index programs ("archiveIndex",
// "indexRestore") share: the name this client gives the network layer, the
// attach time-out, the run of one program on a data mover and the roads of
// the two programs.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>
#include <vector>

class JZJobClient;
struct ArchiveIndexArg;
struct IndexRestoreArg;
struct GetArchFileListForJobRetCC_t;

namespace nuvremoteindex {

// The archive-file types of a job's index archive files that the roads look
// for: the index client's, and the database snapshot utility's.
constexpr int kIndexArchiveType = 2;
constexpr int kSnapIndexArchiveType = 6;

// What tells the archive-index roads of the index client and of the database
// snapshot utility apart.
struct ArchiveIndexRoad {
    char const* tag;            // the caller's log tag
    int archiveType;            // the type of index archive file the caller looks for
    unsigned timeOutFloor;      // the attach time-out is raised to it
    char const* beginText;      // the "function begin" line
    char const* v2Text;         // the line of the second-generation branch
    char const* emptyListText;  // the line when no index archive file was found
};

// Archives the job's index: on the second generation through
// IdxUtil::sendLogManagerMsg with `argumentText`, else by running
// "archiveIndex" with it on the data mover; then asks the archive manager for
// the job's archive files of road.archiveType (before the run and after it)
// and fails when there is none. Failures: Win32 774 with the texts of the
// index client.
[[nodiscard]] CFzError RunArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient,
                                       std::string const& argumentText, ArchiveIndexRoad const& road);

// The "indexRestore" road: tag, "function begin" line, and the level (and
// tag) of the line that names the program run.
struct IndexRestoreRoad {
    char const* tag;
    char const* beginText;
    int invokeLevel;
    char const* invokeTag;
};
[[nodiscard]] CFzError RunIndexRestore(IndexRestoreArg const& arg, IndexRestoreRoad const& road);

// This client's name: the central server's client name on a client
// installation, else the physical machine name.
std::string LocalClientName();

// The session's attach time-out in seconds, raised to `floor` when lower.
unsigned AttachTimeOut(unsigned floor);

// Runs `program` on `dataMover` with `argumentText` as the request's argument
// field (3,6) and waits for its end within `timeOut` seconds. The network's
// error, else success with *returnCode the program's exit status.
[[nodiscard]] CFzError RunProgram(char const* program, std::string const& argumentText,
                                  std::string const& dataMover, unsigned timeOut, int* returnCode);

// The job's archive files of one type, newest first: the archive manager's
// result (0 on success).
int ArchiveFilesOfJob(uint32_t brannoxId, int64_t jobId, int type, std::vector<GetArchFileListForJobRetCC_t>* rows);

}  // namespace nuvremoteindex
