// DBPathTranslator: finds a snap job's database files in its index, keeps the
// job's browsable paths and translates source paths into snapshot paths. The
// agent default-constructs it, sets the input members and calls operations on
// its job thread. Its records: DBFileSnapshotEntity (one database file, with
// its text line) and DBProperty (one Sybase database on a device).
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/platform/base/log.h"

#include <cstdint>
#include <list>
#include <map>
#include <ostream>
#include <string>
#include <vector>

typedef long long JZJobID;

// One database file of a snapshot job. Its text line is
// "<catalogue path>,<source path or ' '>,<mount path>,<archive file id>,<snapshot id>".
class DBFileSnapshotEntity {
public:
    DBFileSnapshotEntity() = default;
    DBFileSnapshotEntity(DBFileSnapshotEntity const&) = default;

    // Parses one line: fields up to each delimiter, the last one the rest of
    // the line; fields the line does not reach keep their values. An archive
    // file id that is not a whole unsigned decimal reads as 0 (logged).
    static DBFileSnapshotEntity& fromString(std::string const& line, DBFileSnapshotEntity& entity,
                                            char const& delimiter);

    std::string m_bcdString;
    std::string m_sourcePath;
    std::string m_mountPointTranslatedPath;
    uint64_t m_archiveFileId = 0;
    int32_t m_snapShotId = 0;
};

// Writes one line and a line end (flushed).
std::ostream& operator<<(std::ostream& out, DBFileSnapshotEntity const& entity);

// One Sybase database that lives on a device.
class DBProperty {
public:
    std::string m_dbName;
    int32_t m_dbId = 0;
    uint64_t m_brannoxId = 0;
    int64_t m_spare = 0;
    int64_t m_jobId = 0;
    uint64_t m_appId = 0;
    int64_t m_clientId = 0;
    int64_t m_instanceId = 0;
};

// Appends the tokens of text split at the one-character delimiter: no empty
// first token for a leading delimiter, none after a trailing one, none at all
// for a text without the delimiter. Always 0.
int StringSplit(EvEvent& event, std::string text, std::string delimiter, std::vector<std::string>& tokens);

// The path with every '~' replaced by '/'.
std::string DecodeDevicePath(std::string path);

class DBPathTranslator {
public:
    DBPathTranslator() = default;

    // Sybase: adds each database of the database-view entries
    // ("/~JZ_SYB_DB_VIEW~/<x>/<manifest>/<name>~<id>/<device>") to
    // m_devicePathDBMap under its device's path from deviceMap. 0, or -1 when a
    // device is not in deviceMap (records made so far stay).
    int processSybaseDevicePaths(std::vector<std::string>& dbViewEntries,
                                 std::map<std::string, std::string>& deviceMap, int clientId, int instanceId,
                                 EvEvent& event);

    std::list<DBFileSnapshotEntity> m_fileEntities;
    std::map<std::string, std::list<DBProperty>> m_devicePathDBMap;
    bool m_verbose = false;
    uint32_t m_brannoxId = 0;
    uint32_t m_appType = 0;
    JZJobID m_jobId = 0;
    std::string m_indexSarnelName;
    std::string m_sarnelName;
    uint32_t m_appId = 0;
    std::vector<GetArchFileListForJobRetCC_t> m_archFileList;
};
