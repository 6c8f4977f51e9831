// Error numbers of the archive manager. Its clients keep the suite's
// last-error record (nuvsuite::LastErrorRecord): every failing call stores a
// number and a text, every successful call clears them.
// Every call takes the suite's service-call step as ("archive",
// "<Class>::<method>", "key=value ...", e.g. "job=42 app=5 ..."): a fault's
// code is returned, its text becomes the error string, and nothing is written.
#pragma once

#include "nuvdbsnap/platform/suite/service_call.h"

namespace nuvarchive {

enum ArchiveError : int {
    kArchiveOk = 0,
    kArchiveNotFound = 2,         // no such archive file
    kArchiveCatalogue = 5,        // the catalogue could not be read or written
    kArchiveBadArgument = 22,     // missing record, no job set, wrong key
    kArchiveAlreadyClosed = 114,  // the archive file was closed before
};


}  // namespace nuvarchive
