// The records of one snapshot volume in the content index: its archive file,
// each listed path with the parent directories not sent yet, and its restart
// information.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "content_run.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unordered_set>

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::createIndex";

std::string ErrorText(int error) {
    char const* text = std::strerror(error);
    return text != nullptr ? text : "UNKNOWN";
}

std::string TrimSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

void NuvSnapUtilDb::raiseFileCause(std::string const& path, std::string const& text) {
    JZJobClient* job = getJobObject();
    if (job == nullptr) return;
    *job << path.c_str();
    *job << text.c_str();
    (void)job->setPendingCauseAndEvent(0x1200008d, 6, 0, false, 300, false, 0, 0, 0, 0);
}

int NuvSnapUtilDb::indexVolume(NuvContentRun& run, SMVolumeInfo const& volume) {
    EvEvent* ev = run.ev;
    IndexingConnection& connection = *run.connection;

    ArMgrClientAPI archive;
    GetAfileInfoArgsCC_t request;
    request.archFileId = volume.getArchFileId();
    request.brannoxId = volume.getBrannoxId();
    GetAfileInfoRetCC_t answer;
    if (archive.getAfileInfo(&request, &answer) != 0) {
        EvDebug::Error(ev, kTag, "Failed to fetch afile flags for afileid [%u]",
                       static_cast<unsigned>(volume.getArchFileId()));
        return -1;
    }
    run.afile->brannoxId = static_cast<uint32_t>(answer.brannoxId);
    run.afile->archGroupId = static_cast<uint32_t>(answer.archGroupId);
    run.afile->archFileId = static_cast<uint32_t>(answer.archFileId);
    EvDebug::Debug(ev, kTag, "Archive File Id [%u] backuptime [%lu] flags [%lu]", run.afile->archFileId,
                   static_cast<unsigned long>(answer.backupTime), static_cast<unsigned long>(answer.flags));
    if (connection.sendAfileInfo(run.afile, false, static_cast<unsigned long>(answer.backupTime),
                                 static_cast<unsigned long>(answer.flags)) != 0) {
        EvDebug::Debug(ev, kTag, "sendFileInfo failed ");
        run.Fail();
        return -1;
    }

    bool const replica = !volume.getRepBasePath().empty() && !volume.getRepRelativePath().empty();
    std::string const key =
        replica && !volume.getOriginalSourcePath().empty() ? volume.getOriginalSourcePath() : volume.getSourcePath();
    std::string const sourcePath = TrimSlashes(key);
    std::string const& mountPath = volume.getMountPath();
    auto const& customized = getJobState().customizedIndexMap;
    bool const useCustomized = customized && !customized->empty();

    struct stat mountStat;
    std::memset(&mountStat, 0, sizeof mountStat);
    if ((volume.getVolumeFlags() & 0x10000) != 0) {
        EvDebug::DebugLvl(ev, 1, kTag, "skipping asm volumes for stat for asm osutil implementation");
    } else if (run.statFiles) {
        std::string const examined = useCustomized ? mountPath : sourcePath;
        if (::stat(examined.c_str(), &mountStat) != 0) {
            int const error = errno;
            EvDebug::Error(ev, kTag, "Stat on the mount-point %s failed with an error %d", examined.c_str(), error);
            raiseFileCause(examined, ErrorText(error));
            run.Fail();
            return -1;
        }
    }
    EvDebug::Debug(ev, kTag, "Procesing volume [%s] orig srcPath=[%s]", sourcePath.c_str(),
                   volume.getOriginalSourcePath().c_str());

    // The volume's files, in set order (a volume without an entry has none),
    // then the extras; the paths themselves are not copied.
    std::vector<std::string const*> listed;
    auto files = run.mountFiles->find(key);
    if (files != run.mountFiles->end()) {
        listed.reserve(files->second.size());
        for (std::string const& path : files->second) listed.push_back(&path);
    }
    size_t const statable = listed.size();
    size_t const extras = run.extras != nullptr ? run.extras->size() : 0;
    EvDebug::DebugLvl(ev, 3, kTag, " nonStatAbleIndexFiles = [%s] currentSize = [%d] nonStatAbleIndexFiles->size = {%d]",
                      run.extras != nullptr ? "Valid" : "NULL", static_cast<int>(statable), static_cast<int>(extras));
    if (!run.extrasAdded && run.extras != nullptr && !run.extras->empty()) {
        for (std::string const& path : *run.extras) listed.push_back(&path);
        EvDebug::Debug(ev, kTag, "Adding non statable index current size = [%d] new size = [%d]",
                       static_cast<int>(statable), static_cast<int>(listed.size()));
        run.extrasAdded = true;
    }

    int offset = 0;
    std::string lastName;
    std::unordered_set<std::string> sentParents;
    JzFileHeader header;
    // Working texts of the loop, reused from file to file.
    std::string name, parent, renamed;
    for (size_t i = 0; i < listed.size(); ++i) {
        std::string const& path = *listed[i];
        bool const isStatable = i < statable;
        EvDebug::DebugLvl(ev, 3, kTag, "Processing file/folder: %s ", path.c_str());

        if (isStatable && !m_pathToVolumeId.empty()) {
            auto id = m_pathToVolumeId.find(path);
            if ((id != m_pathToVolumeId.end() ? id->second : 0) != volume.getSMVolumeId()) continue;
        }
        std::string const* examinedPath = &path;  // the file examined for this path
        if (useCustomized) {
            auto other = customized->find(path);
            if (other != customized->end()) {
                examinedPath = &other->second;
                EvDebug::DebugLvl(ev, 5, kTag, "statFile for %s - %s", path.c_str(), examinedPath->c_str());
            }
        }
        name.assign(path);
        if (isStatable && run.fileNameMap != nullptr) {
            auto mapped = run.fileNameMap->find(path);
            if (mapped == run.fileNameMap->end()) {
                run.Fail();
                EvDebug::Debug(ev, kTag, "fileNameMap does not contain the file %s ", path.c_str());
                return -1;
            }
            name = mapped->second;
        }
        bool const tableView = path.compare(0, 9, "/TblView/") == 0;
        if (isStatable && run.statFiles && !tableView && run.fileNameMap != nullptr && run.appType != kAppTypePostgreSql &&
            name == path) {
            renamed.assign(path, path.rfind('/') + 1, std::string::npos);
            for (char& c : renamed)
                if (c == '~') c = '/';
            examinedPath = &renamed;
        }
        std::string const& examined = *examinedPath;

        errno = 0;
        struct stat fileStat;
        bool statTaken = false;
        unsigned const mountType = mountStat.st_mode & S_IFMT;
        if (isStatable && run.statFiles && mountType != S_IFBLK && mountType != S_IFCHR && !tableView &&
            run.appType != kAppTypeMySql) {
            if (::stat(examined.c_str(), &fileStat) != 0) {
                int const error = errno;
                EvDebug::Debug(ev, kTag, "Unable to stat the file %s failed with an error [%d]", path.c_str(), error);
                raiseFileCause(examined, ErrorText(error));
                EvDebug::Debug(ev, kTag, "making the job to fail");
                run.Fail();
                return -1;
            }
            statTaken = true;
        }
        int64_t size = static_cast<int64_t>(mountStat.st_size);
        if (statTaken) {
            size = static_cast<int64_t>(fileStat.st_size);
        } else if (run.appType == kAppTypeDistributedAgent) {
            struct stat late;
            if (::stat(examined.c_str(), &late) == 0) size = static_cast<int64_t>(late.st_size);
        }
        bool directory = false;
        if (!name.empty() && name.back() == '/') {
            directory = true;
            while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
        }

        // Parents not sent yet, shortest first.
        size_t start = 0;
        bool parents = true;
        if (run.appType == kAppTypePostgreSql) {
            start = name.find('/');
            parents = start != std::string::npos;
        }
        while (parents) {
            size_t const next = name.find('/', start + 1);
            if (next == std::string::npos) break;
            start = next;
            parent.assign(name, 0, next);
            if (parent.empty() || sentParents.count(parent) != 0) continue;
            if (!NuvMakeHeader(header, parent, true, 10, run.startTime)) {
                EvDebug::Error(ev, kTag, "index name [%s] does not fit the file header", parent.c_str());
                return -1;
            }
            if (run.liveBrowse) {
                if (parent == sourcePath) {
                    EvDebug::Debug(ev, kTag, "Set JZ_HDR_FLAG_MOUNT_PATH for path %s", parent.c_str());
                    header.flags |= static_cast<int64_t>(JZ_HDR_FLAG_MOUNT_PATH);
                }
                EvDebug::DebugLvl(ev, 3, kTag, "Send ComponentGUID (only) -  for parent %s with sourceMountPath=%s",
                                  parent.c_str(), sourcePath.c_str());
                if (IdxUtil::sendIndexGUID(sourcePath, &connection, true) != 0) {
                    EvDebug::Debug(ev, kTag, "Error sending COMPONENT_ID for [%s] volume to Index", sourcePath.c_str());
                    return -1;
                }
            }
            EvDebug::DebugLvl(ev, 3, kTag, "sendFileInfo for parent %s", parent.c_str());
            if (IdxUtil::sendFileInfo(run.useIndexingV2, header, connection, offset) != 0) {
                run.ended = true;  // the index client has ended the run
                EvDebug::Debug(ev, kTag, "IdxUtil::sendFileInfo failed");
                return -1;
            }
            sentParents.insert(parent);
            ++offset;
        }

        // A directory record under live browse or for a name that ended with
        // '/', whatever the examination found; the size found (10 under live
        // browse); the run's start time.
        if (!NuvMakeHeader(header, name, run.liveBrowse || directory, run.liveBrowse ? 10 : size, run.startTime)) {
            EvDebug::Error(ev, kTag, "index name [%s] does not fit the file header", name.c_str());
            return -1;
        }
        if (run.liveBrowse) {
            EvDebug::DebugLvl(ev, 3, kTag, "Send ComponentGUID(only) -  for current path %s with sourceMountPath=%s",
                              name.c_str(), sourcePath.c_str());
            if (IdxUtil::sendIndexGUID(sourcePath, &connection, true) != 0) {
                EvDebug::Debug(ev, kTag, "Error in sending volume component to Index, failing");
                run.Fail();
                return -1;
            }
            if (name == sourcePath) {
                EvDebug::Debug(ev, kTag, "Set JZ_HDR_FLAG_MOUNT_PATH for path %s", name.c_str());
                header.flags |= static_cast<int64_t>(JZ_HDR_FLAG_MOUNT_PATH);
            }
        }
        EvDebug::DebugLvl(ev, 3, kTag, "sendFileInfo for  current path %s", name.c_str());
        if (IdxUtil::sendFileInfo(run.useIndexingV2, header, connection, offset) != 0) {
            run.ended = true;  // the index client has ended the run
            EvDebug::Debug(ev, kTag, "IdxUtil::sendFileInfo failed");
            return -1;
        }
        ++offset;
        lastName = name;
    }

    if (connection.updateRestartInfo(0xFFFFFFFFFFFFFFFFull) != 0)
        EvDebug::Error(ev, kTag, "updateRestartInfo failed with an error for archiveFileId %u",
                       static_cast<unsigned>(volume.getArchFileId()));
    EvDebug::Debug(ev, kTag, "Files sent for archfile [%d] = offset [%d] lastFilePath=[%s]", volume.getArchFileId(),
                   offset, lastName.c_str());
    if (offset == 0) {
        EvDebug::Debug(ev, kTag, "No files found for archfile [%d]", volume.getArchFileId());
        for (auto const& entry : m_pathToVolumeId)
            EvDebug::Debug(ev, kTag, "Key = [%s] volumeId = [%d]", entry.first.c_str(), entry.second);
        run.Fail();
        return -1;
    }
    return 0;
}
