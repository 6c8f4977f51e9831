// Archiving a job's index: index archive files of the job record that its
// index was written out. Every job's index is archived as an archive file of
// type 2, which the index client's archive road looks for; the index of a job
// with snapshot archive records (archive files with
// nuvarchive::kSnapshotArchiveFlag) also as one of type 6, which the database
// snapshot utility's road looks for. The program "archiveIndex" and the log
// manager's clV2LogArchiver both archive through ArchiveJobIndex; those roads
// ask the archive manager for the type they want, "indexRestore" asks
// HasIndexArchive.
#pragma once

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

// Makes and closes the job's index archive files, one of each type of
// IndexArchiveTypesOf; *archFileIds (may be null) are their ids in that
// order. Fails for an unknown job.
[[nodiscard]] CFzError ArchiveJobIndex(int64_t jobId, uint32_t appId, uint32_t appType,
                                       std::vector<int64_t>* archFileIds);

// The types of index archive file that archive the job's index:
// kIndexArchiveFileType, and kSnapIndexArchiveFileType after it when the job
// has a snapshot archive record. 0 with *types on success; else the archive
// manager's code, *error (may be null) its text.
int IndexArchiveTypesOf(int64_t jobId, uint32_t brannoxId, std::vector<int>* types, std::string* error);

// True when the job has an index archive file (of either type).
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
