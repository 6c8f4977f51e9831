// The mount-path rules of the database agents: in place, clone, and ASM disk
// groups under a derived name.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_group_name.h"

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::setMountPath";
constexpr int kAsmDiskGroup = 0x10000;
constexpr int kNotInPlace = 0x10;
constexpr int kExistingMountPath = 0x100;  // JZSM_VOLUMEFLAGS_EXISTING_MOUNTPATH
constexpr int kDataType = 1;

}  // namespace

CFzError NuvSnapUtilDb::setMountPath(SMVolumeInfo& volume) {
    int const index = m_mountVolumeIndex;
    if (!m_oraSnap && !m_mountAtSource) return CFzError::Success();

    int flags = volume.getVolumeFlags();
    std::string const& source = volume.getSourcePath();
    std::map<int, int> const* types = getOraArchFileMap();
    NuvSnapMountRequest const* request = getMountRequest();
    uint32_t const mode = request != nullptr ? request->mountMode : 0;
    int const archFileId = volume.getArchFileId();
    auto known = types != nullptr ? types->find(archFileId) : std::map<int, int>::const_iterator();
    bool const inMap = types != nullptr && known != types->end();
    int const type = inMap ? known->second : 0;

    if ((flags & kAsmDiskGroup) != 0) {
        std::string group;
        bool nameKnown = true;
        auto snapName = [&](int nameType, long long id) {
            if (index < 0) {
                nameKnown = false;  // not handed in by a mount loop
                return std::string();
            }
            return nuvsnapmgr::ASMDiskGroupNaming::getSnapDGName(nameType, source,
                                                                 static_cast<unsigned>(volume.getBrannoxId()), id,
                                                                 static_cast<unsigned long>(index));
        };
        long long const eventJob = m_event != nullptr ? static_cast<long long>(m_event->getJobId()) : 0;
        if (types == nullptr) {
            EvDebug::DebugLvl(m_event, 1, kTag, "sArchFileId2TypeMap is NULL");
        } else if (m_mountAtSource || (mode == 1 && inMap && type == kDataType)) {
            group = source;
            EvDebug::DebugLvl(m_event, 10, kTag, "Set mount point same as source: %s", source.c_str());
        } else if (inMap) {
            if (mode == 2 && !request->diskGroupMountMap.empty()) {
                std::string const name = !source.empty() && source[0] == '+' ? source.substr(1) : source;
                EvDebug::Debug(m_event, kTag, "search mount path for source path:%s", name.c_str());
                auto mapped = request->diskGroupMountMap.find(name);
                if (mapped != request->diskGroupMountMap.end())
                    group = mapped->second;
                else
                    EvDebug::Debug(m_event, kTag, "Not found mount path set");
            }
            if (group.empty()) group = snapName(type, mode == 2 ? eventJob : volume.getJobId());
            EvDebug::DebugLvl(m_event, 10, kTag, "Set mount point as: +%s", group.c_str());
        }
        if (!inMap) {
            group = snapName(kDataType, mode == 2 ? eventJob : volume.getSMVolumeId());
            EvDebug::DebugLvl(m_event, 1, kTag,
                              "Could not find archfile id  [%d] in the map, assuming Data Set mount point as: +%s",
                              archFileId, group.c_str());
        }
        if (!nameKnown) {
            EvDebug::Error(m_event, kTag, "No position in the snapshot record for [%s]", source.c_str());
            return FXErrorUtil::ErrorJZResult(FZ_LOC, 2, "No position in the snapshot record for [%s]",
                                              source.c_str());
        }
        if (group.empty()) {
            EvDebug::Error(m_event, kTag, "Empty snapshot disk group name for [%s]", source.c_str());
            return FXErrorUtil::ErrorJZResult(FZ_LOC, 2, "Empty snapshot disk group name for [%s]", source.c_str());
        }
        if (group[0] != '+') group.insert(0, "+");
        volume.setMountPath(group);
        volume.setMountPathFlag(true);
        return CFzError::Success();
    }

    if (m_mountAtSource || (mode == 1 && (flags & kNotInPlace) == 0 && inMap && type == kDataType)) {
        std::string const path = source;
        if (!CFzPath::IsRoot(path.c_str())) {
            bool isDirectory = false;
            CFzError e = CFzPath::IsDirectory(path.c_str(), isDirectory);
            if (!e.IsError() && isDirectory) {
                EvDebug::DebugLvl(m_event, 6, kTag,
                                  "Path [%s] already exists therefore setting flag JZSM_VOLUMEFLAGS_EXISTING_MOUNTPATH",
                                  path.c_str());
                flags |= kExistingMountPath;
            } else if (!e.IsError()) {
                EvDebug::Error(m_event, kTag, "path [%s] is not a directory", path.c_str());
                return FXErrorUtil::ErrorJZResult(FZ_LOC, 2, "Path [%s] is not a directory", path.c_str());
            }
        }
        volume.setVolumeFlags(flags);
        volume.setMountPath(path);
        volume.setMountPathFlag(true);
        EvDebug::DebugLvl(m_event, 10, kTag, "Set mount point same as source: %s", path.c_str());
        return CFzError::Success();
    }
    if (mode == 2) {
        char suffix[64];
        snprintf(suffix, sizeof(suffix), "_snap_%d_%d", volume.getBrannoxId(), archFileId);
        std::string const path = request->cloneMountPrefix + suffix;
        volume.setMountPath(path);
        volume.setMountPathFlag(true);
        EvDebug::DebugLvl(m_event, 10, kTag, "Set clone mount point: %s", path.c_str());
        return CFzError::Success();
    }
    EvDebug::DebugLvl(m_event, 10, kTag, "Not setting mount point for %s here..", source.c_str());
    return CFzError::Success();
}
