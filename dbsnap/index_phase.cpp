// The index phase of the job driver, the mount-point list of the job and the
// directory-tree listing that agents use to collect a database's files.
#include "nuvdbsnap/dbsnap/db_snap_backup.h"

#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int DBSnapBackup::CreateIndex() {
    static char const* const kTag = "DBSnapBackup::CreateIndex";
    int const rc = CreateIndex(m_nuvSnapUtilDb, false);
    if (rc != 0) EvDebug::Debug(&m_ev, kTag, "CreateIndex failed");
    return rc;
}

int DBSnapBackup::CreateIndex(NuvSnapUtilDb* utility, bool updateIndexOnly) {
    static char const* const kTag = "DBSnapBackup::CreateIndex";
    if (!m_optionalFiles.empty() && !updateIndexOnly) {
        EvDebug::Debug(&m_ev, kTag, "setting optionalFilesV with size=[%d]", static_cast<int>(m_optionalFiles.size()));
        utility->setIndexOptionalFileList(&m_optionalFiles);
    }
    std::string dataAgingFile;
    std::string const& indexHost = m_bkArgs->indexDataMover.empty() ? m_bkArgs->dataMover : m_bkArgs->indexDataMover;
    bool const levelOne = m_bkArgs->jobType == 1;
    bool const updateOption = false;
    bool const dirChangeFlag = false;
    // PostgreSQL's and Sybase's files are never examined, whatever map the
    // agent set up for the examination.
    bool const statFiles = m_appType != kAppTypePostgreSql && m_appType != kAppTypeSybase;
    int const rc = utility->createIndex(
        dataAgingFile, indexHost.c_str(), m_bkArgs->brannoxId, static_cast<unsigned>(m_bkArgs->appId),
        static_cast<unsigned>(m_appType), m_bkArgs->jobId, m_fileNameMap.empty() ? nullptr : &m_fileNameMap,
        levelOne, updateIndexOnly, updateOption, dirChangeFlag, m_dirChangeFile, statFiles, false);
    if (rc != 0) {
        EvDebug::Debug(&m_ev, kTag, "NuvSnapUtilDb::createIndex() failed with rc=%d", rc);
        raisePendingCause(0x070000cc, " createIndex failed");
        return -1;
    }
    EvDebug::Debug(&m_ev, kTag, "NuvSnapUtilDb::createIndex() completed.");
    if (m_writeMountPoints) (void)WriteMountPoints();
    return 0;
}

int DBSnapBackup::WriteMountPoints() {
    static char const* const kTag = "DBSnapBackup::WriteMountPoints";
    char const* clientName = JZPI_Focus::getFocusClientName(true);
    Subclient* subclient = m_applicationId != nullptr ? m_applicationId->getSubclient(nullptr) : nullptr;
    std::string const results = JobResultsDirectory(static_cast<uint64_t>(m_bkArgs->jobId),
                                                    static_cast<int>(m_bkArgs->brannoxId));

    // The list file; without a job-results root no file is written, the content is still updated.
    FILE* file = nullptr;
    if (!results.empty()) {
        std::string const folder = results + "/";
        if (folder.size() < 4096) {
            EvDebug::Debug(&m_ev, kTag, "Folder [%s]", folder.c_str());
            (void)CFzDirectory::Create(folder, true);
            std::string const path = folder + "/DBSNAPCONTENT_" + std::to_string(static_cast<long long>(m_bkArgs->jobId));
            if (path.size() < 1024) {
                EvDebug::Debug(&m_ev, kTag, "File [%s]", path.c_str());
                file = std::fopen(path.c_str(), "w");
                if (file == nullptr)
                    EvDebug::Error(&m_ev, kTag, "Failed to open [%s] for writing: %s", path.c_str(), std::strerror(errno));
            } else {
                EvDebug::Error(&m_ev, kTag, "mount-point list path too long for folder [%s]", folder.c_str());
            }
        } else {
            EvDebug::Error(&m_ev, kTag, "job-results folder too long: [%s]", results.c_str());
        }
    } else {
        EvDebug::Error(&m_ev, kTag, "no job-results directory for client [%s]", clientName);
    }
    bool writeFailed = file == nullptr;

    std::vector<std::string> mountPoints;
    for (std::string const& path : m_dataPaths) {
        std::string const mountPoint = m_nuvSnapUtilDb->getMountPoint(path.c_str(), false);
        EvDebug::Debug(&m_ev, kTag, "Adding path [%s] [%s]", path.c_str(), mountPoint.c_str());
        mountPoints.push_back(mountPoint);
    }
    std::sort(mountPoints.begin(), mountPoints.end());
    mountPoints.erase(std::unique(mountPoints.begin(), mountPoints.end()), mountPoints.end());

    BackupContent content;
    for (std::string const& mountPoint : mountPoints) {
        if (file != nullptr && std::fprintf(file, "%s\n", mountPoint.c_str()) < 0) writeFailed = true;
        content.addToContent(mountPoint);
    }
    auto closeFile = [&]() {
        if (file != nullptr && std::fclose(file) != 0) writeFailed = true;
        file = nullptr;
    };

    BackupContent current;
    if (subclient == nullptr || subclient->getFiles(current, nullptr, false) != 0) {
        EvDebug::Debug(&m_ev, kTag, "VCS: Failed to get the content");
        closeFile();
        return -1;
    }
    int const rc = subclient->updateContent(1, content, current, true, nullptr, nullptr);
    if (rc != 0) {
        EvDebug::DebugLvl(&m_ev, 1, kTag, "VCS: Failed to update VM's content. Everything will be backed up. err = [%x]",
                          static_cast<unsigned>(rc));
        closeFile();
        return -1;
    }
    closeFile();
    if (writeFailed) {
        EvDebug::Error(&m_ev, kTag, "the mount-point list of job %lld was not written",
                       static_cast<long long>(m_bkArgs->jobId));
        return -1;
    }
    return 0;
}

namespace {

char const kListTag[] = "DBSnapBackup::ReadFilesFromDir";

// name under base: no second '/' when base already ends in one. Made in one
// allocation: the listing makes one of these per entry.
std::string Under(std::string const& base, char const* name) {
    size_t const length = std::strlen(name);
    bool const slash = base.empty() || base.back() != '/';
    std::string path;
    path.reserve(base.size() + (slash ? 1 : 0) + length);
    path.append(base);
    if (slash) path.push_back('/');
    path.append(name, length);
    return path;
}

std::string WithoutTrailingSlash(std::string text) {
    if (!text.empty() && text.back() == '/') text.pop_back();
    return text;
}

struct DirCloser {
    void operator()(DIR* dir) const {
        if (dir != nullptr) closedir(dir);
    }
};

// One directory of the listing, open on `dir` (named `directory`); its
// subdirectories are opened relative to it. Each entry's type comes from the
// directory read; only where the file system does not give it is the entry
// examined (on the directory's descriptor, links not followed). An entry that
// vanished after the directory was read is left out.
int ListDirectory(EvEvent& ev, DIR* dir, std::string const& directory, std::list<std::string>& out,
                  std::string const& prefix) {
    int const fd = dirfd(dir);
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);  // reentrant on one stream of our own
        if (entry == nullptr) {
            if (errno != 0) {
                int const error = errno;
                EvDebug::Debug(&ev, kListTag, "Failed ro read directory %s:%s", directory.c_str(), std::strerror(error));
                return error;
            }
            return 0;
        }
        char const* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                EvDebug::Debug(&ev, kListTag, "Failed to stat on %s:%s", Under(directory, name).c_str(),
                               std::strerror(errno));
                return -1;
            }
            isDirectory = S_ISDIR(st.st_mode);
        }
        if (!isDirectory) {
            out.push_back(Under(prefix.empty() ? directory : prefix, name));
            continue;
        }
        std::string const full = Under(directory, name);
        int const subFd = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int openError = subFd < 0 ? errno : 0;
        if (openError == ENOENT) continue;  // vanished since the directory was read
        std::unique_ptr<DIR, DirCloser> sub(subFd >= 0 ? fdopendir(subFd) : nullptr);
        if (subFd >= 0 && !sub) {
            openError = errno;
            close(subFd);
        }
        std::string const subPrefix = prefix.empty() ? std::string() : Under(prefix, name);
        EvDebug::Debug(&ev, kListTag, "dirname = [%s], srcPath = [%s]", full.c_str(), subPrefix.c_str());
        out.push_back(subPrefix.empty() ? full : subPrefix);
        int rc = 0;
        if (!sub) {
            EvDebug::Debug(&ev, kListTag, "Failed to open directory [%s] , errno =%d", full.c_str(), openError);
            rc = -1;
        } else {
            rc = ListDirectory(ev, sub.get(), full, out, subPrefix);
        }
        if (rc != 0) {
            EvDebug::Debug(&ev, kListTag, "Failed to ReadFilesFromDir on %s", full.c_str());
            return -1;
        }
    }
}

}  // namespace

int DBSnapBackup::ReadFilesFromDir(std::string const& directory, std::list<std::string>& out,
                                   std::string const& prefix) {
    EvEvent ev;
    EvDebug::Debug(&ev, kListTag, "dirname = [%s], srcPath = [%s]", directory.c_str(), prefix.c_str());
    if (directory.empty()) {
        EvDebug::Debug(&ev, kListTag, "directory name given is empty");
        return 0;
    }
    if (directory == "/") {
        EvDebug::Debug(&ev, kListTag, "Attempt to search the entire root directory, this API is not expected to do so.");
        return -1;
    }
    out.push_back(WithoutTrailingSlash(prefix.empty() ? directory : prefix));
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
    if (!dir) {
        EvDebug::Debug(&ev, kListTag, "Failed to open directory [%s] , errno =%d", directory.c_str(), errno);
        return -1;
    }
    return ListDirectory(ev, dir.get(), directory, out, prefix);
}
