// The indexing client: the generation test, the connection run that feeds one
// job's entries into the local index, the object GUID of a path, the
// directory-change sender and the first-generation pattern query.
//
// A connection run becomes visible to browse, lookup and query only after
// backupDone(1); backupDone(0), or a run never ended (a killed feed), stays
// hidden. Entries are written in batches inside the run; the job of a run is
// the job that holds the token given to initialize.
#pragma once

#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/index_records.h"
#include "nuvdbsnap/platform/indexing/records.h"

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace IdxMetadata {
class IdxMetaData;
}

// 0 with useV2 telling whether the application's index is of the second
// generation (declared per Brannox id and application id, kind "indexgen" of
// the admin command; first generation when nothing is declared); -1 when the
// generation cannot be told.
int shouldUseIndexingV2(unsigned long brannoxId, int appId, bool& useV2);

// The object GUID of a path: the same path always gives the same GUID.
// 0 on success; -1 for a null path.
int GetObjectGuid(char const* path, int flags, char separator, std::string& guid);
int GetObjectGuid(std::string const& path, int flags, char separator, std::string& guid);

class IndexingConnection {
public:
    IndexingConnection();
    ~IndexingConnection();   // a run still open stays open (hidden); unsent entries are dropped
    IndexingConnection(IndexingConnection const&) = delete;
    IndexingConnection& operator=(IndexingConnection const&) = delete;

    // Opens a run for the job that holds jobToken. 0 when open.
    int initialize(unsigned long brannoxId, unsigned long appId, unsigned long appType, JZBkpLevel level,
                   char const* jobToken, char const* host, char const* clientName, unsigned long long flags);
    // The archive file of the entries that follow. 0 on success.
    int sendAfileInfo(ArchiveFileId_t* afile, bool last, unsigned long backupTime = 0, unsigned long afileFlags = 0);
    // A metadata value for the next sendFileInfo. 0 on success; -1 for a
    // record without the magic, a null value or a length that does not match.
    int sendMetaDataInfo(IndexMetaDataStruct& record, void* value);
    // The GUIDs of the next sendFileInfo. 0 on success.
    int sendMetaDataInfo(IdxMetadata::IdxMetaData* message);
    // Adds (or updates) the entry named by the header. The sequence number is
    // stored as given. 0 on success.
    int sendFileInfo(JzFileHeader* header, unsigned long long sequence, char const* reserved,
                     unsigned long long reserved2);
    int updateRestartInfo(unsigned long long mask);
    // 1: the run is good and becomes visible; 0: the run failed. Either ends it.
    int backupDone(int good);

    int64_t runId() const;   // 0 before initialize
    int64_t jobId() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Reads a directory-change file (directory lines, each followed by its file
// lines "\t<name>") and records its directories as changed for the job that
// holds jobToken, and keeps the optional files (by base name, with their
// content) with the job's index. The quit hook is consulted while reading. Returns the number
// of directories recorded; -1 for an unreadable or malformed file, -2 (fail the
// job) for an unknown job or a quit request. A null file sends nothing (0).
int sendDirChange(unsigned brannoxId, unsigned appId, int level, char const* jobToken, char const* indexHost,
                  char const* dirChangeFile, char separator, bool dirChangeFlag, bool flag2, bool flag3,
                  bool levelOne, CheckIfShouldQuit* quitHook, bool flag5, unsigned number1, unsigned jobOption,
                  std::vector<std::string>* optionalFiles, char const* text, long long jobId, bool flag6);

// First-generation query: one row per entry of the visible runs of each key
// (application id, and job id when not 0) that one of the patterns selects.
// Patterns: a leading "\" is dropped; "*" matches within one component, "**"
// across components; a pattern without wildcards lists a directory's direct
// children. Flags: kIndexQueryFilesOnly without kIndexQueryWithDirectories leaves
// directory entries out; other flags list files and directories alike. 0 on
// success.
constexpr unsigned kIndexQueryFilesOnly = 0x40;
constexpr unsigned kIndexQueryWithDirectories = 0x100;
int GetIndexArchFileInfo(std::string const& host, std::string const& clientName, unsigned brannoxId,
                         std::list<_GetIndexSubclientInfo> keys, std::list<std::string>& patterns,
                         unsigned appType, unsigned flags, std::list<_IndexArchFileInfo>& rows);
