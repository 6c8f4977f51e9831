// The directories a restore makes, their owners, and the restored counts.
#include "nuvdbsnap/restore/snap_restore.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/placed_files.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
char const kDirTag[] = "IdxRestore::createDirectoryStructureIfNotExist";
char const kTag[] = "IdxRestore::Finalize";
}  // namespace

bool NuvSnapRestore::createDirectoryStructureIfNotExist(std::string const& path) {
    return directoryStructure(path, true);
}

bool NuvSnapRestore::checkDirectoryStructure(std::string const& path) { return directoryStructure(path, false); }

bool NuvSnapRestore::directoryStructure(std::string const& path, bool make) {
    // The files of one directory come one after another: a directory walked
    // once is not walked again.
    size_t const lastSlash = path.rfind('/');
    if (lastSlash != std::string::npos && lastSlash > 0) {
        std::string const parent = path.substr(0, lastSlash);
        if (m_knownIndex.count(parent) != 0 || (!make && m_leftToCopy.count(parent) != 0)) return true;
    }
    if (access(path.c_str(), F_OK) == 0) return true;
    if (m_redirect) return true;
    if (path.empty()) {
        EvDebug::Error(m_event, kDirTag, "File is an empty string. PLease check");
        return true;
    }
    std::string const stateRoot = nuvsuite::SuiteStateHolding(path);
    if (!stateRoot.empty()) {
        failed(kDirTag, "Destination %s lies in the suite's own state %s: refused", path.c_str(), stateRoot.c_str());
        return false;
    }
    // Every directory level from the top, one-character names included; the
    // last component (the file) is never made.
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (path[slash - 1] == '/') continue;  // an empty component
        std::string const prefix = path.substr(0, slash);
        if (m_knownIndex.count(prefix) != 0) continue;
        // Walked from the top: a link planted on the way that root does not
        // own and the restore did not lay out is not followed.
        std::string why;
        int fd = nuvbase::OpenDirectoryGuarded(prefix, false, 0, &why);
        if (fd >= 0) {
            close(fd);
            m_knownDirs.push_back(prefix);
            m_knownIndex.insert(prefix);
            continue;
        }
        int const err = errno;
        if (err == ENOTDIR) {
            failed(kDirTag, "File %s is not a directory", prefix.c_str());
            return false;
        }
        if (!make && (err == ENOENT || err == ELOOP)) {
            // The copy makes the rest from the snapshot, or names what stands in the way.
            m_leftToCopy.insert(path.substr(0, lastSlash));
            return true;
        }
        if (err != ENOENT) {
            if (err == EACCES)
                failed(kDirTag, "No permission to access the path %s", prefix.c_str());
            else
                failed(kDirTag, "Stat of file %s failed with an error errno %d", prefix.c_str(), err);
            return false;
        }
        bool made = false;
        fd = nuvbase::OpenDirectoryGuarded(prefix, true, 0775, &why, &made);
        if (fd < 0) {
            int const e = errno;
            if (e == EACCES)
                failed(kDirTag, "No permission to create directory %s", prefix.c_str());
            else if (e == ENOENT)
                failed(kDirTag, "Directory component %s does not exist or is a dangling symboloc link",
                       prefix.c_str());
            else if (e == EROFS)
                failed(kDirTag, "pathname %s refers to a file on a read-only filesystem ", prefix.c_str());
            else
                failed(kDirTag, "Cannot reach the directory %s: %s", prefix.c_str(), why.c_str());
            return false;
        }
        close(fd);
        if (made) m_createdDirs.push_back(MkDirFileMap{path, prefix});
        m_knownDirs.push_back(prefix);
        m_knownIndex.insert(prefix);
    }
    return true;
}

int NuvSnapRestore::Finalize(JZRstJobClient* jobClient) {
    if (!m_fullRestore) (void)restoreFiles.finalize(0, 0);
    for (MkDirFileMap const& m : m_createdDirs) {
        struct stat file;
        if (lstat(m.filePath.c_str(), &file) != 0) {
            EvDebug::Error(m_event, kTag, "Stat on file %s failed with error code %d", m.filePath.c_str(), errno);
            continue;
        }
        EvDebug::Debug(m_event, kTag, "Changing permission for directory %s", m.dirPath.c_str());
        // The directory itself, never what a link put in its place points to.
        int fd = open(m.dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || fchown(fd, file.st_uid, file.st_gid) != 0)
            EvDebug::Error(m_event, kTag, "Failed setting ownership with userid:groupid %d:%d for directory %s with errno %d ",
                           static_cast<int>(file.st_uid), static_cast<int>(file.st_gid), m.dirPath.c_str(), errno);
        if (fd >= 0) close(fd);
    }
    if (m_fullRestore || jobClient == nullptr) return 0;
    int const brannox = static_cast<int>(m_countsBrannoxId != 0 ? m_countsBrannoxId : destBrannoxId);
    long long bytes = 0, compBytes = 0;
    int files = 0;
    int rc = nuvrestorefiles::TakeCountsFile(jobId(), brannox, bytes, compBytes, files);
    if (rc != 0) return 0;
    EvDebug::Debug(m_event, kTag, "<%s> nBytes=%lld nCompBytes=%lld numFiles=%d",
                   nuvrestorefiles::CountsFilePath(jobId(), brannox).c_str(), bytes, compBytes, files);
    if (files > 0) {
        jobClient->setNumSuccessful2Add(files);
        if (bytes != 0) jobClient->setUncompBytes2Add(bytes);
        if (compBytes != 0) jobClient->setCompBytes2Add(compBytes);
        (void)jobClient->updateInfo(false, nullptr);
    }
    return 0;
}
