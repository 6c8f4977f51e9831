// What the callers of the remote index programs ("archiveIndex",
// "indexRestore") share: the name this client gives the network layer, the
// attach time-out, the run of one program on a data mover and the index
// archive files of a job.
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nuvremoteindex {

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

// The job's archive files of one type: the archive manager's result (0 on success).
int ArchiveFilesOfJob(uint32_t brannoxId, int64_t jobId, int type, std::vector<GetArchFileListForJobRetCC_t>* rows);

}  // namespace nuvremoteindex
