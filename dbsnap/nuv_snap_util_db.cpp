// The database snapshot utility object: construction, mount points with
// numbers, the customized index map and the process-wide copy-file map.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

std::map<std::string, std::string> NuvSnapUtilDb::m_copyFilesToDirMap;

NuvSnapUtilDb::NuvSnapUtilDb(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType,
                             bool verbose, JZJobCtrlClient* jobControl, char* host, SpawnProcess const& spawnMode)
    : NuvSnapUtil(engineType, backupLevel, application, snapType, verbose, jobControl, host, spawnMode) {}

NuvSnapUtilDb::~NuvSnapUtilDb() = default;

bool NuvSnapUtilDb::addMountPointByDirectory(char const* path, char const* reserved) {
    return NuvSnapUtilBase::addMountPointByDirectory(path, const_cast<char*>(reserved)) != 0;
}

bool NuvSnapUtilDb::addMountPoint(char const* path, char const* reserved) {
    return NuvSnapUtilBase::addMountPoint(path, const_cast<char*>(reserved)) != 0;
}

bool NuvSnapUtilDb::addMountPoint(char const* path, char const* reserved, int const& number) {
    if (path != nullptr) m_pathToVolumeId[path] = number;
    return NuvSnapUtilBase::addMountPoint(path, const_cast<char*>(reserved)) != 0;
}

void NuvSnapUtilDb::allocateCustomizedIndexMap() {
    getJobState().customizedIndexMap.reset(new std::map<std::string, std::string>());
}

std::unique_ptr<std::map<std::string, std::string>>& NuvSnapUtilDb::getCustomizedIndexMap() {
    return getJobState().customizedIndexMap;
}
