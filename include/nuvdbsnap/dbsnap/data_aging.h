// Data aging of database snap backups: the aged-file list that the central
// server hands an agent, the copy kind, the search predicate of the deletion
// lists and the lock-file guard of the data-aging files.
//
// A subclient directory holds, per application: the work files
// "dataAging_snap.wrk" / "dataAging_tape.wrk" (appended by backup jobs), the
// text files "dataAging_snap.txt" / "dataAging_tape.txt" (merged from them by a
// data-aging run) and their lock files "dataAging_snap.lck" /
// "dataAging_tape.lck". A writer holds both locks (tape first), a reader the
// one of the kind it merges.
#pragma once

#include "nuvdbsnap/foundation/index_records.h"
#include "nuvdbsnap/platform/base/jzfile.h"

#include <cstdint>
#include <string>

class EvEvent;

// One aged archive file.
struct OraSnapDataAgingElement_t {
    int32_t field1 = 0;
    int32_t AppId = 0;           // application id
    int64_t jobId = 0;           // job of the backup
    uint64_t brannoxId = 0;
    int32_t filetype = 0;
    uint64_t archiveFileId = 0;
    int32_t archiveType = 0;     // 2 snapshot copy, 4 tape copy; others are not recorded
    int32_t field8 = 0;
    int32_t field9 = 0;
};

// The aged-file list (the array is borrowed; createDeleteIndexEntry sorts it in place).
struct OraSnapDataAging_t {
    uint32_t count = 0;
    OraSnapDataAgingElement_t* elements = nullptr;
};

// Copy kind: 2 the snapshot files ("snap"), any other value the tape files ("tape").
enum TCacheTypeEnum : int32_t { TCACHE_TAPE = 0, TCACHE_SNAP = 2 };

// Search predicate over subclient keys (same job id) and index rows (same archive file id).
struct IndexListSearch {
    explicit IndexListSearch(unsigned long long& archiveFileId) : archiveFileId(archiveFileId) {}
    explicit IndexListSearch(_GetIndexSubclientInfo& key) : key(key) {}
    bool operator()(_GetIndexSubclientInfo const& other) const { return other.jobId == key.jobId; }
    bool operator()(_IndexArchFileInfo const& row) const {
        return static_cast<unsigned long long>(row.archFileId) == archiveFileId;
    }

    unsigned long long archiveFileId = 0;
    _GetIndexSubclientInfo key;
};

// Holds the exclusive lock of a lock file from construction (waiting at most
// 60000 ms) until unlock() or destruction; the holder removes the lock file
// when it lets go. A lock file that its holder removed while another guard
// waited is never held by two guards (JzFile::lock checks the path still
// names the locked file). isLocked() tells whether the lock was granted.
class FileLock {
public:
    static constexpr unsigned long kWaitMs = 60000;

    FileLock(std::string const& path, EvEvent* event);
    ~FileLock();
    FileLock(FileLock const&) = delete;
    FileLock& operator=(FileLock const&) = delete;

    bool isLocked() const { return m_locked; }
    // True when not locked or released (the lock file removed); false when the unlock failed.
    bool unlock();

private:
    JzFile m_file;
    bool m_locked = false;
    std::string m_path;
    EvEvent* m_event = nullptr;  // borrowed
};
