// Mount of a job's snapshots for the current phase, snapshot verification and
// the translation of source paths to snapshot mount paths.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <unistd.h>

namespace {

constexpr char kMountTag[] = "NuvSnapUtilDb::mountAllSnapShotsForCurrentPhase";
constexpr char kVerifyTag[] = "NuvSnapUtilDb::verifySnapShot";
constexpr char kTranslateTag[] = "NuvSnapUtilDb::translatePath";
constexpr char kSybiqTag[] = "NuvSnapUtilDb::sybiqTranslatePath";
constexpr char kVerifyFailed[] = "<Snap Verification failed>";
constexpr unsigned kInternalError = 774;

// The length of the source mount point without its trailing slashes (a lone "/" stays).
size_t TrimmedLength(std::string const& sourceMount) {
    size_t length = sourceMount.size();
    while (length > 1 && sourceMount[length - 1] == '/') --length;
    return length;
}

// True when the first `length` characters of mount are a whole-component
// prefix of path: path equals them, the next character is '/', or they are "/".
bool UnderMount(std::string const& path, std::string const& mount, size_t length) {
    if (length == 0 || path.compare(0, length, mount, 0, length) != 0) return false;
    return path.size() == length || path[length] == '/' || (length == 1 && mount[0] == '/');
}

// Every run of slashes made one.
std::string SquashSlashes(std::string const& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    return out;
}

// Each pair of consecutive slashes made one, scanning from the left.
std::string HalveSlashes(std::string const& path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        out += path[i];
        if (path[i] == '/' && i + 1 < path.size() && path[i + 1] == '/') ++i;
    }
    return out;
}

CFzError ClientFailure(FXCodeLocation const& loc, EvEvent* event, char const* tag, JZSnapClientAPI const& client,
                       char const* format) {
    std::string text;
    (void)client.getErrCodeAndStr(text);
    EvDebug::Error(event, tag, format, text.c_str());
    return FXErrorUtil::ErrorJZResult(loc, client.getErrCode(), "%s", text.c_str());
}

}  // namespace

CFzError NuvSnapUtilDb::mountAllSnapShotsForCurrentPhase(std::map<std::string, std::string>& mountMap, bool& flag) {
    return mountAllSnapShotsForCurrentPhase(mountMap, flag, 0);
}

CFzError NuvSnapUtilDb::mountAllSnapShotsForCurrentPhase(std::map<std::string, std::string>& mountMap, bool& flag,
                                                         unsigned long mountHostId) {
    CFzError e = applyMountPaths(m_snapShotInfo);
    if (e.IsError()) return e;
    for (auto it = m_snapShotInfo.volumeListBegin(); it != m_snapShotInfo.volumeListEnd(); ++it) {
        it->setBrannoxId(m_brannoxId);
        it->setMountHostId(mountHostId != 0 ? static_cast<int>(mountHostId) : it->getSourceClientId());
        int const flags = it->getVolumeFlags();
        if (!flag && (flags & 0x3) != 0 && (flags & 0x10) == 0) flag = true;
    }
    m_snapShotInfo.dump("before calling JZSnapClientAPI::mountVolumes");
    JZSnapClientAPI client;
    if (!client.mountVolumes(m_snapShotInfo)) return ClientFailure(FZ_LOC, m_event, kMountTag, client, "Mount failed:%s");
    for (auto const& volume : m_snapShotInfo.volumes()) mountMap[volume.getSourcePath()] = volume.getMountPath();
    return CFzError::Success();
}

CFzError NuvSnapUtilDb::verifySnapShot(ErrorCallback callback, void* context) {
    EvDebug::Debug(m_event, kVerifyTag, "Entering Snap verification phase");
    if (m_snapShotInfo.getNumVolumes() == 0) {
        EvDebug::Error(m_event, kVerifyTag, "internal error... snap shot vector is empty");
        return FXErrorUtil::ErrorWin32(FZ_LOC, kInternalError,
                                       "Internal error occurred while verifying snapshot; Please check the logs");
    }
    for (auto& volume : m_snapShotInfo.volumes())
        volume.setMountPath(FormSnapTempMountPath(volume.getBrannoxId(), volume.getArchFileId(), m_oraSnap));
    JZSnapClientAPI client;
    if (!client.mountVolumes(m_snapShotInfo))
        return ClientFailure(FZ_LOC, m_event, kVerifyTag, client, "Mount failed: %s");

    auto fail = [&](int code, std::string const& text) {
        if (callback != nullptr) callback(context, -1, kVerifyFailed, code, text.c_str());
        return FXErrorUtil::ErrorJZResult(FZ_LOC, code, "%s", text.c_str());
    };
    for (auto const& volume : m_snapShotInfo.volumes()) {
        std::string const& source = volume.getSourcePath();
        std::string const& mount = volume.getMountPath();
        auto files = m_mountPoints.find(source);
        if (files == m_mountPoints.end()) {
            std::string const text = "Internal error: Unable to get the files for mount-point " + source;
            EvDebug::Error(m_event, kVerifyTag, "%s", text.c_str());
            return fail(2, text);
        }
        for (std::string const& file : files->second) {
            std::string const onSnap = translatePath(file, source, mount);
            if (onSnap.empty() || ::access(onSnap.c_str(), F_OK) != 0) {
                std::string const text =
                    "Snap verification failed: Source File: " + file + "not present on snap mount-point :" + mount;
                EvDebug::Error(m_event, kVerifyTag, "Unable to access file %s", onSnap.c_str());
                EvDebug::Error(m_event, kVerifyTag, "%s", text.c_str());
                return fail(3, text);
            }
        }
    }
    EvDebug::Debug(m_event, kVerifyTag, "Snap verification completed successfully for all the snaps");
    return CFzError::Success();
}

std::string NuvSnapUtilDb::FormSnapTempMountPath(int const& brannoxId, int const& archiveFileId, bool oraForm) {
    char ids[64];
    snprintf(ids, sizeof(ids), "%d_%d", brannoxId, archiveFileId);
    if (oraForm) return std::string("/ora_snap") + ids + "/";
    JZPI_CommClient comm;
    char const* temp = comm.getDrevoxTempDirectory();
    std::string path = temp != nullptr ? temp : "";
    path += "/FSSNAP_";
    char const* client = JZPI_Focus::getFocusClientName(true);
    if (client != nullptr && *client != '\0') path += std::string(client) + "_";
    return path + ids + "/";
}

std::string NuvSnapUtilDb::translatePath(std::string const& path, std::string const& sourceMount,
                                         std::string const& snapMount) {
    std::string resolved = path;
    if (!NuvSymLink::m_mountSrcTransMap.empty()) {
        std::string physical;
        if (UnixSymbolicLink::getPhysicalPath(resolved, physical, NuvSymLink::m_mountSrcTransMap, 0, 2)) {
            g_ptrLogWriter->Write(2, kTranslateTag, 0, "Changing path=[%s] to the Physical Path=[%s]",
                                  resolved.c_str(), physical.c_str());
            resolved = physical;
        }
    }
    size_t const length = TrimmedLength(sourceMount);
    if (UnderMount(resolved, sourceMount, length))
        return SquashSlashes(snapMount + "/" + resolved.substr(length));
    g_ptrLogWriter->Write(2, kTranslateTag, 0, "getMountPoint: path:%s - Failed to get a physicalPath", path.c_str());
    return std::string();
}

std::string NuvSnapUtilDb::sybiqTranslatePath(std::string const& path, std::string const& sourceMount,
                                              std::string const& snapMount) {
    size_t const slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : name)
        if (c == '~') c = '/';
    size_t const length = TrimmedLength(sourceMount);
    std::string physical;
    std::string resolved = name;
    if (!NuvSymLink::m_mountSrcTransMap.empty()) {
        if (!UnixSymbolicLink::getPhysicalPath(name, physical, NuvSymLink::m_mountSrcTransMap, 0, 2)) {
            g_ptrLogWriter->Write(2, kSybiqTag, 0, "Path:%s - Failed to get a physicalPath", name.c_str());
            return std::string();
        }
        resolved = physical;
    }
    if (UnderMount(resolved, sourceMount, length)) return HalveSlashes(snapMount + "/" + resolved.substr(length));
    g_ptrLogWriter->Write(2, kSybiqTag, 0,
                          "getMountPoint: path:%s pysicalPath:%s sourceMountPoint:%s len=%lu  - Failed to translate "
                          "path",
                          name.c_str(), physical.c_str(), sourceMount.c_str(), static_cast<unsigned long>(length));
    return std::string();
}
