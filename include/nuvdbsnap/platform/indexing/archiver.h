// Archiving a job's index: an index archive file of the job records that its
// index was written out: of type 6 when the job has snapshot archive records
// (archive files with nuvarchive::kSnapshotArchiveFlag), else of type 2. The
// program "archiveIndex" and the log manager's clV2LogArchiver both archive
// through ArchiveJobIndex; whoever checks for a job's archived index (the
// remote index roads, "indexRestore") asks IndexArchiveFilesOf, which follows
// the same rule.
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>
#include <vector>

namespace JobManager {
class ArchiveIndexParam;
}

namespace nuvindexing {

constexpr int kIndexArchiveFileType = 2;
constexpr int kSnapIndexArchiveFileType = 6;

// Makes and closes the job's index archive file; *archFileId (may be null) is
// its id. Fails for an unknown job.
[[nodiscard]] CFzError ArchiveJobIndex(int64_t jobId, uint32_t appId, uint32_t appType, int64_t* archFileId);

// The type of archive file that holds the job's index: kSnapIndexArchiveFileType
// when the job has a snapshot archive record, else kIndexArchiveFileType. 0
// with *type on success; else the archive manager's code, *error (may be
// null) its text.
int IndexArchiveTypeOf(int64_t jobId, uint32_t brannoxId, int* type, std::string* error);

// The job's index archive files (of the type above), newest first: 0 on
// success; else the archive manager's code, *error (may be null) its text.
int IndexArchiveFilesOf(int64_t jobId, uint32_t brannoxId, std::vector<GetArchFileListForJobRetCC_t>* rows,
                        std::string* error = nullptr);

// True when the job has an index archive file.
bool HasIndexArchive(int64_t jobId, uint32_t brannoxId);

// The values of "-j", "-a" (brannox:app) and "-appType" in an archiveIndex
// argument text; false when "-j" or "-a" is missing or malformed.
bool ParseArchiveIndexArguments(std::string const& text, int64_t* jobId, uint32_t* brannoxId, uint32_t* appId,
                                uint32_t* appType);

}  // namespace nuvindexing

// The log manager's archive of a second-generation index: archives the index
// of the job that the parameters' argument text (13,19) names. 0 when the log
// manager took the request; negative otherwise.
int clV2LogArchiver(JobManager::ArchiveIndexParam& parameters, std::string host);
