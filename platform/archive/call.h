// Shared plumbing of the archive manager's calls: the reading of archive-file rows.
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <string>
#include <vector>

namespace nuvarchive {
namespace detail {

// Columns of an archive-file row, in the order RowToRecord expects.
extern char const kFileColumns[];

// One archive-file row (selected with kFileColumns) as a listing record.
GetArchFileListForJobRetCC_t RowToRecord(nuvsuite::CatRow const& row);

// Archive-file rows matching `where` (with its parameters), newest first.
[[nodiscard]] CFzError SelectFiles(std::string const& where, std::vector<nuvsuite::CatValue> const& params,
                                   std::vector<GetArchFileListForJobRetCC_t>* out);

}  // namespace detail
}  // namespace nuvarchive
