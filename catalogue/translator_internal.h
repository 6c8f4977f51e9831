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

}  // namespace nuvcatalogue
