// Files a job ships with its index: the optional files of its directory
// change are kept in the index by name (the file's base name) with their
// content, and downloaded again by name.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace nuvindexing {

// Keeps each file's content under its base name for the job (a file of the
// same name replaces the earlier one). Fails for a file that cannot be read
// or a name that is no plain file name.
[[nodiscard]] CFzError SaveIndexFiles(int64_t jobId, std::vector<std::string> const& paths);

// The names of the files a job keeps, in name order.
std::vector<std::string> ListIndexFiles(int64_t jobId);

}  // namespace nuvindexing

// Downloads the named files of the job's index into `directory`, each under its
// name (mode 0644, written whole). A name the job does not keep is skipped, and
// so is a name that is no plain file name ("", ".", "..", one holding '/'),
// each with a log line: the caller checks the files it needs. 0 when every
// file found was written; -1 when the directory is missing, the index cannot
// be read or a write fails.
int GetIndexFiles(std::string const& sarnelName, unsigned brannoxId, unsigned appId, unsigned time, long long jobId,
                  int cacheType, int flags, std::string const& directory, std::list<std::string> const& names,
                  void* reserved);
