// The archive manager's own request and result records (the others are the
// foundation's archive records).
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"

#include <cstdint>

// Result of JZArchive::CreateArchiveForSnapBackup: the new archive file's key.
struct CreateRet_t {
    int32_t brannoxId = 0;
    int32_t archGroupId = 0;
    int32_t archFileId = 0;
};

// Request of JZArchive::closeAfile: the key of the archive file, then its
// size in bytes and two words the local suite does not use.
struct CloseAfileArgs_t {
    int32_t brannoxId = 0;
    int32_t archGroupId = 0;
    int32_t archFileId = 0;
    int64_t sizeBytes = 0;
    int32_t status = 0;
    int32_t flags = 0;
};

// Result of JZArchive::closeAfile.
struct CloseAfileRet_t {
    int64_t closeTime = 0;  // when the file was closed (seconds since the epoch)
};

// Request of ArMgrClientAPI::getAfileInfo.
struct GetAfileInfoArgsCC_t {
    int64_t archFileId = 0;
    int64_t archGroupId = 0;  // 0: any group
    int64_t brannoxId = 0;
};
