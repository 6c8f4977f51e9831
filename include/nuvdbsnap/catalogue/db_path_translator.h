// DBPathTranslator: finds a snap job's database files in its index, keeps the
// job's browsable paths and translates source paths into snapshot paths. The
// agent default-constructs it, sets the input members and calls operations on
// its job thread. Its records: DBFileSnapshotEntity (one database file, with
// its text line) and DBProperty (one Sybase database on a device).
#pragma once

#include "nuvdbsnap/catalogue/db_element.h"
#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/index_records.h"
#include "nuvdbsnap/index/browseable_path.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <ostream>
#include <string>
#include <vector>

typedef int64_t JZJobID;

class JZJobCtrlClient;
class SMVolSnapInfo;

// The caller's translation of one file: (catalogue string, source mount path,
// snapshot mount path) -> the file's path under the snapshot mount, or a text
// that does not lie under it when the file cannot be translated.
typedef std::string (*PathTranslator)(std::string const& bcd, std::string const& sourceMount,
                                      std::string const& snapMount);

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

    // The job file query: the snap job's database files (appended to
    // m_fileEntities) and browsable paths (the process-wide list, started
    // anew) from its index, of the generation the application uses; Sybase
    // also fills m_devicePathDBMap. Runs under the snap job's named mutex
    // "idxq_<brannox>_<job>" (waited for 60 s, then without it). 0, -1, or the
    // failing service's code.
    int getArchiveFileIdsFromIndexForAJob();
    // The second-generation half: browses the index in up to two passes.
    // v1Cycle is set (with -1) when the index answers as a first-generation
    // one; it is never cleared here.
    int getArchiveFileIdsFromIndexV2ForAJob(bool& v1Cycle);
    // The engine's metadata record of one browse item (PostgreSQL, Oracle);
    // always 0.
    int populateMetaDataList(std::vector<databrowse::BrowseData>::iterator item,
                             std::list<_IndexMetaDataInfo>& list);

    // Gives every file entity its path under the mounted snapshot of the volume
    // of the same archive file, through the caller's translator; DB2 log and
    // lock files missing on the snapshot are dropped, Oracle image-copy
    // catalogue strings turned back into source ones, PostgreSQL and SAP HANA
    // marker entries counted once each. Fails (code 3) when a translated path
    // does not lie under the volume's mount path (an empty mount path never
    // matches) or when an entity is left unaccounted for.
    CFzError translateSrcPathIntoMountPath(SMVolSnapInfo& snapInfo, PathTranslator translator);
    // The same through the engine's element list; PostgreSQL entities at or
    // above a volume's source mount point are dropped.
    CFzError translateSrcPathIntoMountPath(SMVolSnapInfo& snapInfo, DBElementList& elements);
    // An image-copy catalogue string turned back into its data file's (no
    // change without image-copy content). Win32 1627 for a string without '/'.
    CFzError convertOracleImageCopyBCDToSrcBCD(std::string& bcd);
    // DB2: true for a log file ("S*.LOG") or, unless the setting says no, a
    // ".db2FSLock" file; removes the path's trailing '/' for DB2 types.
    bool shouldSkipFileIfNotFound(std::string& path);
    // True when the job's archive files hold this id as a log archive file (type 4).
    bool checkIfLogEntity(unsigned long archiveFileId);

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

    // Sends the browsable paths to the index for the running job (the
    // process's job context: JZ_JOB_ID, else the job `client`'s process
    // registered with), with the engine's metadata encode type (set once);
    // under the second generation the listed engines' entries go with the key
    // (2, 0, 1), Oracle's image-copy tag is carried forward first; MySQL's
    // links to directories go in a second send (first generation) or not at
    // all. `text` is the running job's token (the job-control client's
    // GetJobToken): the index connection and the image-copy tag's upload run
    // under it, and a token that no job holds fails the send. 0, or -1.
    int updateBrowsableIndex(JZJobCtrlClient* client, JZBkpLevel& level, std::string const& text);
    int updateBrowsableIndex(JZJobCtrlClient* client, JZBkpLevel& level, std::string const& text,
                             int const& appType);
    // Oracle: the snap job's image-copy content becomes the shared content
    // (success without a tag, the content kept).
    CFzError queryOracleImageCopyContent();
    // Oracle: the snap job's image-copy tag written into the running (copy)
    // job's job information and uploaded; success without a tag.
    // `text` is the running (copy) job's token, as updateBrowsableIndex hands it on.
    static CFzError carryForwardOracleImageCopyTag(int appId, int brannoxId, JZJobID snapJobId, JZJobID tapeJobId,
                                                   std::string indexSarnelName, JZBkpLevel level, std::string text);

    // Sybase: one catalogue message per database of the device (its index
    // path), with the archive file, sent to the central server; the job file
    // query runs first when no device is known. 0, or 1.
    int UpdateSybaseCatalog(unsigned long archiveFileId, std::string devicePath);

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

private:
    struct BrowseQuery;
    template <class Translate>
    CFzError translateEntities(SMVolSnapInfo& snapInfo, bool elementList, Translate const& translate);
    // Files one browse item as a file entity, a browsable path, a Sybase entry or nothing.
    void classifyBrowseItem(std::vector<databrowse::BrowseData>::iterator item, BrowseQuery& query);
    int runBrowsePasses(BrowseQuery& query, bool& v1Cycle);

    // Set while a job file query classifies its items: an engine whose items
    // carry no metadata is said once per query, not once per item.
    bool m_classifying = false;
    bool m_metadataEngineLogged = false;
    // The exclusion setting of DB2's file-system lock files, read once per
    // translation (-1: not read yet); outside a translation it is read each time.
    bool m_translating = false;
    int m_excludeDb2FsLock = -1;
};
