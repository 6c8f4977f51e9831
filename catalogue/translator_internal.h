// Helpers shared by the translator's units.
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/index/browseable_path.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nuvcatalogue {

// The process-wide browsable paths of the translators, and the metadata encode
// type handed to the index client.
std::vector<browseablePath_t>& PathList();
int32_t& MetaDataType();

// A whole unsigned decimal (digits only, no sign, within 64 bits).
bool ParseUnsigned(std::string const& text, uint64_t& value);

// Newest archive file first (creation times compared unsigned).
bool compareTime(GetArchFileListForJobRetCC_t const& a, GetArchFileListForJobRetCC_t const& b);
// A snapshot archive file (type 6).
bool firstSnapArchFile(GetArchFileListForJobRetCC_t const& row);

// Sorts the job's archive-file rows newest first and gives the creation time
// of the newest snapshot archive file, cut to 32 bits (0 when there is none;
// no rows: 0 with the error line of the queries, under tag).
int32_t SnapArchiveTime(std::vector<GetArchFileListForJobRetCC_t>& rows, char const* tag);

// The snap job's archive files (replacing rows) and the mangled name of the
// Sarnel that holds them; 0, or the archive manager's result (logged under tag).
int SnapJobArchiveFiles(uint32_t brannoxId, int64_t jobId, std::vector<GetArchFileListForJobRetCC_t>& rows,
                        std::string* sarnelHost, char const* tag);

// The client name of the Sarnel that holds the snap job; false (with the
// queries' error line under tag) when the archive manager named none.
bool SarnelClientName(std::string const& sarnelHost, uint32_t brannoxId, int64_t jobId, char const* tag,
                      std::string* clientName);

// The cross-process lock name of the index queries of a snap job: "idxq_<brannox>_<job>".
std::string IndexQueryLockName(uint32_t brannoxId, int64_t jobId);

// Sybase: the instance id (a Sybase instance's) and the client id of the
// application; each left as it is when not found (logged under tag).
void SybaseIds(uint32_t brannoxId, uint32_t appId, uint64_t* clientId, uint64_t* instanceId, char const* tag);
// Oracle: the instance's name; false when the application has no instance.
bool OracleInstanceName(uint32_t brannoxId, uint32_t appId, std::string* name);

}  // namespace nuvcatalogue
