// NuvSnapUtilDb: the snapshot utility of database jobs. On top of NuvSnapUtil
// it keeps mount points registered with a number (path -> SM volume id, which
// the content indexing uses to keep each file on its volume), a borrowed list
// of optional index files, the archive-file key of the job's content index and
// the agents' two mount-mode flags. One job thread uses an object.
#pragma once

#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class NuvSnapUtilDb : public NuvSnapUtil {
public:
    NuvSnapUtilDb(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType, bool verbose,
                  JZJobCtrlClient* jobControl, char* host, SpawnProcess const& spawnMode);
    ~NuvSnapUtilDb() override;  // the optional-file list is borrowed and left alone

    // Hand the path to the base's registration; true when it was added. The
    // second argument is handed on unchanged (callers pass null).
    bool addMountPointByDirectory(char const* path, char const* reserved);
    bool addMountPoint(char const* path, char const* reserved);
    // Records number as the path's SM volume id (also when the base refuses the
    // path), then registers the path.
    bool addMountPoint(char const* path, char const* reserved, int const& number);

    // Borrowed: the caller keeps the vector alive and unchanged until the
    // content indexing is over.
    void setIndexOptionalFileList(std::vector<std::string>* files) { m_optionalFileList = files; }
    std::vector<std::string>* getIndexOptionalFileList() const { return m_optionalFileList; }
    std::map<std::string, int> const& getPathToVolumeId() const { return m_pathToVolumeId; }

    // Content indexing of the job's snapshot (short form): the snapshot record,
    // mount-point file map, event log and verbose flag of this object, this
    // object as the quit hook. 0 on success, -1 on failure.
    int createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                    unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                    bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                    bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                    bool dirChangeOnly);
    // The same with extra paths that are indexed without being examined.
    int createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                    unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                    bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                    bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                    bool dirChangeOnly, std::vector<std::string>* nonStatAbleIndexFiles);

    // Live-browse mode of the content index: the second index generation and PostgreSQL.
    static bool IsLiveBrowseEnabledApp(unsigned const& appType, bool flag) { return flag && appType == 125; }
    // The map through which an agent has a listed file examined at another path.
    void allocateCustomizedIndexMap();
    std::unique_ptr<std::map<std::string, std::string>>& getCustomizedIndexMap();

    // Process-wide copy-file map (file -> place it is copied to); the agents
    // fill it, the content indexing of SAP for Oracle (61) reads it.
    static std::map<std::string, std::string> m_copyFilesToDirMap;

    bool m_oraSnap = false;       // "/ora_snap" form of mounts (set by the agents)
    bool m_mountAtSource = false; // mount every volume at its source path (set by the agents)

protected:
    std::map<std::string, int> m_pathToVolumeId;
    void* m_spare = nullptr;
    std::vector<std::string>* m_optionalFileList = nullptr;  // borrowed
};

// A volume record with its position in the snapshot record.
class NuvSMVolumeExtension : public SMVolumeInfo {
public:
    NuvSMVolumeExtension(SMVolumeInfo const& volume, int const& index) : SMVolumeInfo(volume), index(index) {}
    virtual int& getIndex() { return index; }

    int index = 0;
};
