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

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};

// The entries of one open directory, read a buffer at a time straight from
// its descriptor (no stream to set up per directory: the listing opens one
// per directory of the tree). The buffer is the walk's own for this depth.
class EntryReader {
public:
    static constexpr size_t kBufferSize = 32 * 1024;

    EntryReader(int fd, char* buffer) : m_fd(fd), m_buffer(buffer) {}

    // The next entry; null at the end (errno 0) or on a failed read (errno set).
    struct dirent64 const* Next() {
        if (m_pos >= m_end) {
            ssize_t const n = getdents64(m_fd, m_buffer, kBufferSize);
            if (n <= 0) {
                if (n == 0) errno = 0;
                return nullptr;
            }
            m_pos = 0;
            m_end = static_cast<size_t>(n);
        }
        auto const* entry = reinterpret_cast<struct dirent64 const*>(m_buffer + m_pos);
        m_pos += entry->d_reclen;
        return entry;
    }

private:
    int m_fd;
    char* m_buffer;
    size_t m_pos = 0;
    size_t m_end = 0;
};

// One read buffer per depth of the walk, made when the walk first gets there.
struct ReadBuffers {
    std::vector<std::unique_ptr<char[]>> levels;

    char* At(size_t depth) {
        if (levels.size() <= depth) levels.resize(depth + 1);
        if (!levels[depth]) levels[depth].reset(new char[EntryReader::kBufferSize]);
        return levels[depth].get();
    }
};

// One directory of the listing, open on `fd` (named `directory`); its
// subdirectories are opened relative to it. Each entry's type comes from the
// directory read; only where the file system does not give it is the entry
// examined (on the directory's descriptor, links not followed). An entry that
// vanished after the directory was read is left out.
int ListDirectory(EvEvent& ev, int fd, std::string const& directory, std::list<std::string>& out,
                  std::string const& prefix, ReadBuffers& buffers, size_t depth) {
    EntryReader reader(fd, buffers.At(depth));
    for (;;) {
        errno = 0;
        struct dirent64 const* entry = reader.Next();
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
        FdCloser sub{openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        int const openError = sub.fd < 0 ? errno : 0;
        if (openError == ENOENT) continue;  // vanished since the directory was read
        std::string const subPrefix = prefix.empty() ? std::string() : Under(prefix, name);
        EvDebug::Debug(&ev, kListTag, "dirname = [%s], srcPath = [%s]", full.c_str(), subPrefix.c_str());
        out.push_back(subPrefix.empty() ? full : subPrefix);
        int rc = 0;
        if (sub.fd < 0) {
            EvDebug::Debug(&ev, kListTag, "Failed to open directory [%s] , errno =%d", full.c_str(), openError);
            rc = -1;
        } else {
            rc = ListDirectory(ev, sub.fd, full, out, subPrefix, buffers, depth + 1);
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
    FdCloser dir{open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0) {
        EvDebug::Debug(&ev, kListTag, "Failed to open directory [%s] , errno =%d", directory.c_str(), errno);
        return -1;
    }
    ReadBuffers buffers;
    return ListDirectory(ev, dir.fd, directory, out, prefix, buffers, 0);
}
