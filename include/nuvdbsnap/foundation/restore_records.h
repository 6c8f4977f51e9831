// Records of the restore-files client and the remote file-restore program. The
// char* fields are owned by whoever filled them (the restore frees them); the
// records never free anything.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t FSR_PRE_OPEN_ARCHIVE_TYPE_NORMAL = 0;
constexpr uint32_t FSR_PRE_OPEN_ARCHIVE_TYPE_SNAP = 1;

// Message FSR_PRE_OPEN_ARCHIVE (32 bytes).
struct FSRPreOpenArchive {
    uint32_t preOpenType = 0;    // FSR_PRE_OPEN_ARCHIVE_TYPE_SNAP or _NORMAL
    uint8_t reserved[4] = {};    // zero
    int64_t value1 = 0;          // zero
    int32_t value2 = 0;          // zero
    int32_t value3 = 0;          // zero
    int32_t value4 = 0;          // zero
    int32_t value5 = 0;          // zero
};
static_assert(sizeof(FSRPreOpenArchive) == 32, "FSRPreOpenArchive is 32 bytes");

// One snapshot source path (80 bytes), sent alone or in arrays. The meaning of
// the 64-bit fields at 8..32 differs between the partial and the full restore.
struct FSRSnapSrcPath {
    int32_t value0 = 0;          // 0
    int32_t value4 = 0;          // 0
    uint64_t info8 = 0;          // full restore: archive-file kind; partial: 0
    uint64_t info16 = 0;         // full: archive file id; partial: the data file's result type
    int64_t info24 = 0;          // full: snap job id; partial: the data file's path type
    uint64_t info32 = 0;         // partial: size factor product; full: 0
    char* srcPath = nullptr;     // offset 40: source path
    int64_t value48 = 0;         // 0
    char* destPath = nullptr;    // offset 56: destination path, or null
    int64_t value64 = 0;         // 0
    int64_t value72 = 0;         // 0
};
static_assert(sizeof(FSRSnapSrcPath) == 80, "FSRSnapSrcPath is 80 bytes");
static_assert(offsetof(FSRSnapSrcPath, srcPath) == 40, "FSRSnapSrcPath: source at 40");
static_assert(offsetof(FSRSnapSrcPath, destPath) == 56, "FSRSnapSrcPath: destination at 56");

// A run of FSRSnapSrcPath records (32 bytes).
struct FSRSnapSrcPathArray {
    uint64_t lastArchFileKind = 0;   // archive-file kind of the last archive file of the run
    int64_t firstArchFileKind = 0;   // archive-file kind of the first one, sign-extended
    uint32_t count = 0;              // number of entries
    uint8_t reserved[4] = {};        // zero
    FSRSnapSrcPath* entries = nullptr;
};
static_assert(sizeof(FSRSnapSrcPathArray) == 32, "FSRSnapSrcPathArray is 32 bytes");
static_assert(offsetof(FSRSnapSrcPathArray, count) == 16, "FSRSnapSrcPathArray: count at 16");
static_assert(offsetof(FSRSnapSrcPathArray, entries) == 24, "FSRSnapSrcPathArray: entries at 24");

// The restore-files initialisation block. It owns neither the arrays nor the texts
// it points to; copying it copies the pointers.
struct JzRstInitParams {
    char** srcPaths = nullptr;       // null-terminated array of source paths
    int32_t numSrcPaths = 0;
    char** destPaths = nullptr;      // paired with srcPaths by index
    int32_t numDestPaths = 0;
    int64_t jobId = 0;               // the restore job
    uint64_t rstValueA = 0;          // passed through
    uint64_t appType = 0;            // application type
    uint64_t destBrannoxId = 0;
    uint64_t rstValueB = 0;          // passed through
    char* userName = nullptr;
    char* password = nullptr;
    uint64_t destClientId = 0;
};
static_assert(sizeof(JzRstInitParams) == 96, "JzRstInitParams: twelve fields of eight bytes");

// The message buffer of the restore-files client: a record's address and its
// length in bytes (the record stays the caller's).
struct jzsDatabuf {
    char* data = nullptr;
    uint64_t length = 0;
};

// NAS details of a restored file; the local suite has none.
struct NasRestoreInfo;

constexpr unsigned long FSR_PRE_OPEN_ARCHIVE = 0x1800007D;
constexpr unsigned long FSR_SNAP_SRC_PATH = 0x1800007F;
constexpr unsigned long FSR_SNAP_SRC_PATH_ARRAY = 0x18000081;
constexpr unsigned long FSR_RESTORE_END = 0x18000005;
constexpr unsigned long FSR_MSG_FATAL_ERROR = 0x18000008;

// One file of a run, as the file-restore program reports it.
struct FSRFileReport {
    char* srcPath = nullptr;
    char* destPath = nullptr;    // where it went (null when it was not restored)
    int32_t error = 0;           // 0 restored, else the errno of the failure
    uint32_t reserved = 0;
    uint64_t bytes = 0;
    char* errorText = nullptr;   // null when restored
};

// The file-restore program's answer to a run (FSR_RESTORE_END or
// FSR_MSG_FATAL_ERROR): counts, one report per entry, and the error text of
// a fatal answer.
struct FSRRestoreReply {
    uint32_t filesRestored = 0;
    uint32_t filesFailed = 0;
    uint64_t bytes = 0;
    uint32_t count = 0;              // number of reports
    uint32_t reserved = 0;
    FSRFileReport* reports = nullptr;
    char* errorText = nullptr;
};
