// browseablePath_t: one browsable path of the index, as the feeds send it and
// the readers rebuild it.
#pragma once

#include "nuvdbsnap/platform/indexing/records.h"

#include <cstdint>
#include <string>

struct browseablePath_t {
    std::string phonyPath;   // the path the index shows, "/"-separated
    int32_t isDir = 0;       // non-zero: a directory
    std::string osPath;      // attached text: an OS path or serialised metadata; empty: none
    int32_t spare = 0;       // carried, never interpreted
    uint64_t size = 0;       // bytes
    ArchiveFileId_t afile;   // the archive file that holds the item
};

// An archive-file key is valid when its file id is above 1, its group id not 0
// and its Brannox id above 1.
inline bool IsValidArchiveFileKey(ArchiveFileId_t const& key) {
    return key.archFileId > 1 && key.archGroupId != 0 && key.brannoxId > 1;
}
