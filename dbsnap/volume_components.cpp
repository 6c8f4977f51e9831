// Volume components of the second index generation: a volume sent as a
// component with its GUIDs and a directory record, and the utility's own GUID
// message of one path.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "content_run.h"
#include "ora_volumes.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <ctime>

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::sendVolComponent";

bool ComponentHeader(JzFileHeader& header, std::string const& volume) {
    if (!NuvMakeHeader(header, volume, true, 10, 0)) return false;
    header.flags = static_cast<int64_t>(JZ_HDR_FLAG_MOUNT_PATH);
    return true;
}

}  // namespace

int NuvSnapUtilDb::sendVolComponent(IndexingConnection* connection, int appType, int brannoxId, int appId) {
    if (!IsOracle(appType)) return 0;
    char directory[1024];
    int const r = GetSubclientDir(static_cast<unsigned>(brannoxId), static_cast<unsigned>(appId), directory);
    if (r != 0) {
        EvDebug::Error(m_event, kTag, "Failed to get JobResultsDir, GetSubclientDir(%d,%d) returned with error %d",
                       brannoxId, appId, r);
        return -1;
    }
    std::vector<std::string> volumes;
    if (NuvReadOraVolumes(directory, m_event, kTag, &volumes) != 0) return -1;
    unsigned long long offset = 1;
    for (std::string const& volume : volumes) {
        if (volume.empty()) continue;
        EvDebug::Debug(m_event, kTag, "vol=[%s]", volume.c_str());
        if (IdxUtil::sendIndexGUID(volume, connection, true) != 0) {
            EvDebug::Debug(m_event, kTag, "Error sending COMPONENT_ID for [%s] volume to Index", volume.c_str());
            return -1;
        }
        if (IdxUtil::sendIndexGUID(volume, connection) != 0) {
            EvDebug::Debug(m_event, kTag, "Error sending root element for [%s] volume to Index", volume.c_str());
            return -1;
        }
        JzFileHeader header;
        if (!ComponentHeader(header, volume)) {
            EvDebug::Error(m_event, kTag, "volume [%s] does not fit the file header", volume.c_str());
            return -1;
        }
        if (connection->sendFileInfo(&header, offset, nullptr, 0) != 0) {
            EvDebug::Debug(m_event, kTag, "sendFileInfo failed for file %s ", volume.c_str());
            return -1;
        }
        ++offset;
    }
    return 0;
}

int NuvSnapUtilDb::sendVolComponent(IndexingConnection* connection, int appType, std::string const& volume) {
    if (appType != kAppTypePostgreSql) return 0;
    JzFileHeader header;
    if (!ComponentHeader(header, volume)) {
        EvDebug::Error(m_event, kTag, "volume [%s] does not fit the file header", volume.c_str());
        return -1;
    }
    if (IdxUtil::sendIndexGUID(volume, connection, true) != 0) {
        EvDebug::Debug(m_event, kTag, "Error sending COMPONENT_ID for [%s] volume to Index", volume.c_str());
        return -1;
    }
    if (IdxUtil::sendFileInfo(true, header, *connection, 0) != 0) {
        EvDebug::Debug(m_event, kTag, "IdxUtil::sendFileInfo failed for file %s ", volume.c_str());
        return -1;
    }
    return 0;
}

int NuvSnapUtilDb::sendIndexGUID(std::string path, IndexingConnection* connection) {
    static char const* const kGuidTag = "NuvSnapUtilDb::sendIndexGUID";
    while (!path.empty() && path.back() == '/') path.pop_back();
    std::string objectGuid;
    (void)GetObjectGuid(path, 0, '/', objectGuid);
    EvDebug::DebugLvl(m_event, 0, kGuidTag, "Object %s GUID %s", path.c_str(), objectGuid.c_str());
    IdxMetadata::IdxMetaData message;
    CNMessageBase* version = message.getObjectAccessor(11, 11, true, 101, 37);
    CNMessageBase* record = message.getObjectAccessor(1, 1, true, 101, 1);
    std::string versionGuid;
    (void)GetObjectGuid(path + "." + std::to_string(static_cast<long long>(std::time(nullptr))), 0, '/', versionGuid);
    std::string parent, name;
    (void)FXPath::SplitParentPath(path, parent, name);
    while (!parent.empty() && parent.back() == '/') parent.pop_back();
    if (parent.empty()) parent = "/";
    std::string parentGuid;
    (void)GetObjectGuid(parent, 0, '/', parentGuid);
    EvDebug::DebugLvl(m_event, 0, kGuidTag, "For parent %s GUID %s", parent.c_str(), parentGuid.c_str());
    record->setstring(13, 16, objectGuid);
    record->setstring(14, 20, parentGuid);
    version->setstring(1, 1, versionGuid);
    int const rc = connection->sendMetaDataInfo(&message);
    if (rc != 0) {
        EvDebug::Debug(m_event, kGuidTag, "sendMetaDataInfo failed with rc %d", rc);
        return -1;
    }
    return 0;
}
