// Helpers shared by the translator's units.
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"

#include <cstdint>
#include <string>

namespace nuvcatalogue {

// A whole unsigned decimal (digits only, no sign, within 64 bits).
bool ParseUnsigned(std::string const& text, uint64_t& value);

// Newest archive file first (creation times compared unsigned).
bool compareTime(GetArchFileListForJobRetCC_t const& a, GetArchFileListForJobRetCC_t const& b);
// A snapshot archive file (type 6).
bool firstSnapArchFile(GetArchFileListForJobRetCC_t const& row);

}  // namespace nuvcatalogue
