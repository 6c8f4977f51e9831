// DBPathTranslator: finds a snap job's database files in its index, keeps the
// job's browsable paths and translates source paths into snapshot paths. The
// agent default-constructs it, sets the input members and calls operations on
// its job thread. Its records: DBFileSnapshotEntity (one database file, with
// its text line) and DBProperty (one Sybase database on a device).
#pragma once

#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/index/browseable_path.h"
#include "nuvdbsnap/platform/base/log.h"

#include <cstdint>
#include <cstdio>
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

// Writes the eight fields of one browsable-path line (no line end):
// phony path, archive file id, group id, Brannox id, isDir, spare, os path, size.
// An entry that could not be read back (a ',' in its phony path, a line break
// in a field) is refused: failbit set, nothing written (logged).
std::ostream& operator<<(std::ostream& out, browseablePath_t const& entry);

// Prefix predicate over browsable paths; holds a reference to the search string.
class BrowsablePathSearch {
public:
    explicit BrowsablePathSearch(std::string const& search) : m_search(search) {}
    bool operator()(browseablePath_t const& entry) const;  // the phony path begins with the search string
    bool operator()(std::string const& prefix) const;      // the search string begins with prefix

private:
    std::string const& m_search;
};

// The path with every '~' replaced by '/'.
std::string DecodeDevicePath(std::string path);

class DBPathTranslator {
public:
    DBPathTranslator() = default;

    // Sybase: downloads the manifests that the snap job's database-view entries
    // name, and the server configuration file, into the running job's
    // job-results directory (mode 0644) and appends their paths. Names that
    // are no file name ("", ".", "..") are skipped. 0, -1, or the archive
    // manager's result. Clears the browsable paths.
    int getSybManifestFiles(std::vector<std::string>& paths);

    // Sybase: adds each database of the database-view entries
    // ("/~JZ_SYB_DB_VIEW~/<x>/<manifest>/<name>~<id>/<device>") to
    // m_devicePathDBMap under its device's path from deviceMap. 0, or -1 when a
    // device is not in deviceMap (records made so far stay).
    int processSybaseDevicePaths(std::vector<std::string>& dbViewEntries,
                                 std::map<std::string, std::string>& deviceMap, int clientId, int instanceId,
                                 EvEvent& event);

    // The process-wide browsable paths as a file: the header line
    // "TABLEBACKUPMETADATA**" and one line per entry; a configuration-file
    // entry's content goes to a side file <directory>/<base name> (none without
    // a directory, no two of one name). Written from a copy: the list keeps
    // its content. 0, or -1 (logged).
    static int writeBrowseablePathToFile(std::ostream& out, std::string const& directory);
    static int writeBrowseablePathToFile(std::ostream& out);
    // Appends the entry of one browsable-path line (not the header); the os
    // path runs from the sixth delimiter to the last one, the size follows it.
    static void addToBrowsablePath(std::string const& line, char const& delimiter, std::string const& directory);
    static void addToBrowsablePath(std::string const& line, char const& delimiter);
    // Side file of a configuration-file entry: written whole (then the entry's
    // os path is its phony path), 0 or -1; read into the entry, always 0.
    static int createBinaryDataFile(browseablePath_t& entry, std::string const& directory);
    static int readBinaryDataFile(browseablePath_t& entry, std::string const& directory);
    // Oracle (application type 22): the directory-change text of the browsable
    // paths, every file under its own parent's line. 0, -1 for a null file, or
    // the failing write's negative count.
    int appendBrowsablePathToDirChange(FILE* file);

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
