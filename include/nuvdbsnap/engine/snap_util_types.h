// Types shared by the snapshot engine's operations: the error callback that
// every snapshot operation takes and the kind of executor that a snapshot
// utility asks for.
#pragma once

// Called for every failure an executor reports: the caller's context (handed
// through unchanged), the error type (-1), the mount point or a tag in angle
// brackets ("<Multi-Snap Mount>", "<Delete-Snap>"), the error code and text.
// May be null wherever it is taken.
typedef void (*ErrorCallback)(void* context, int const& errorType, char const* mountPoint, int const& errorCode,
                              char const* errorText);

// The kind of executor, also a snapshot utility's replication type.
enum SNAPUTIL_INSTANCE {
    NUV_SNAPSHOT = 0,       // plain snapshot: DbSnapUtil
    LREP_REPLICATION = 1,   // LREP replication of the snapped volumes: LREPSnapUtil
};

// "NUV_SNAPSHOT", "LREP REPLICATION", or "" for any other value.
char const* ConvertToRepTypeStr(SNAPUTIL_INSTANCE kind);
