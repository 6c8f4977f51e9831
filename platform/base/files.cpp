// CFzFile, FXFile, CFzDirectory and the path wrappers.
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <dirent.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
CFzError ErrnoError(FXCodeLocation const& loc, int err, char const* what, std::string const& path) {
    CFzError e = FXErrorUtil::ErrorErrNo(loc, err, "%s [%s]: %s", what, path.c_str(), strerror(err));
    errno = err;
    return e;
}

// The fault point of a file operation (see files.h).
CFzError FileFault(FXCodeLocation const& loc, char const* call, std::string const& path) {
    if (!nuvsuite::FaultsMayFire("file")) return CFzError::Success();
    nuvsuite::CallFault fault;
    if (!nuvsuite::CallFaulted("file", call, path, &fault)) return CFzError::Success();
    int err = fault.code > 0 ? fault.code : EIO;
    CFzError e = FXErrorUtil::ErrorErrNo(loc, err, "Cannot %s [%s]: %s", call, path.c_str(), fault.text.c_str());
    errno = err;
    return e;
}

// Numbers the temporary names of this process.
std::atomic<unsigned> s_sequence{0};

// fsync of a descriptor, through the fault point.
CFzError Flush(int fd, std::string const& path) {
    CFzError e = FileFault(FZ_LOC, "fsync", path);
    if (e.IsError()) return e;
    if (::fsync(fd) != 0) return ErrnoError(FZ_LOC, errno, "Cannot flush", path);
    return CFzError::Success();
}

std::string DirectoryOf(std::string const& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

CFzFile::~CFzFile() {
    if (m_fd >= 0) ::close(m_fd);
}

CFzError CFzFile::Open(std::string const& path, int flags, int mode) {
    if (m_fd >= 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "File [%s] is already open", m_path.c_str());
    if (path.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Empty file path");
    CFzError fault = FileFault(FZ_LOC, "open", path);
    if (fault.IsError()) return fault;
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return ErrnoError(FZ_LOC, errno, "Cannot open file", path);
    m_fd = fd;
    m_path = path;
    return CFzError::Success();
}

CFzError CFzFile::Write(void const* data, uint32_t length, uint32_t* written) {
    if (written) *written = 0;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EBADF, "File is not open");
    CFzError fault = FileFault(FZ_LOC, "write", m_path);
    if (fault.IsError()) return fault;
    char const* p = static_cast<char const*>(data);
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::write(m_fd, p + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (written) *written = done;
            return ErrnoError(FZ_LOC, errno, "Cannot write file", m_path);
        }
        done += static_cast<uint32_t>(n);
    }
    if (written) *written = done;
    return CFzError::Success();
}

CFzError CFzFile::Read(void* data, uint32_t length, uint32_t* got) {
    if (got) *got = 0;
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EBADF, "File is not open");
    ssize_t n;
    do {
        n = ::read(m_fd, data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return ErrnoError(FZ_LOC, errno, "Cannot read file", m_path);
    if (got) *got = static_cast<uint32_t>(n);
    return CFzError::Success();
}

CFzError CFzFile::Close() {
    if (m_fd < 0) return CFzError::Success();
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) return ErrnoError(FZ_LOC, errno, "Cannot close file", m_path);
    return FileFault(FZ_LOC, "close", m_path);
}

CFzError CFzFile::ReadWholeFile(std::string const& path, char** buffer, unsigned long& size) {
    if (buffer == nullptr) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Null buffer pointer");
    *buffer = nullptr;
    size = 0;
    CFzFile file;
    CFzError e = file.Open(path, O_RDONLY);
    if (e.IsError()) return e;
    struct stat st;
    if (fstat(file.m_fd, &st) != 0) return ErrnoError(FZ_LOC, errno, "Cannot stat file", path);
    std::string content;
    content.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    while (true) {
        uint32_t got = 0;
        e = file.Read(chunk, sizeof chunk, &got);
        if (e.IsError()) return e;
        if (got == 0) break;
        content.append(chunk, got);
    }
    char* out = new char[content.size() + 1];
    memcpy(out, content.data(), content.size());
    out[content.size()] = '\0';
    *buffer = out;
    size = content.size();
    return CFzError::Success();
}

bool FXFile::DoesFileExist(std::string const& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

CFzError FXFile::WriteWhole(std::string const& path, std::string const& data, int mode) {
    FXStagedFile staged;
    CFzError e = staged.Write(path, data, mode);
    if (!e.IsError()) e = staged.Commit();
    return e;
}

CFzError FXStagedFile::Write(std::string const& path, std::string const& data, int mode) {
    Discard();
    if (path.empty() || path.back() == '/') return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Unusable file path [%s]", path.c_str());
    CFzFile file;
    std::string temporary;
    CFzError e;
    for (int attempt = 0; attempt < 100; ++attempt) {  // a name left by a dead process is skipped
        temporary = path + ".tmp." + std::to_string(static_cast<long>(getpid())) + "." +
                    std::to_string(s_sequence.fetch_add(1));
        e = file.Open(temporary, O_WRONLY | O_CREAT | O_EXCL, mode);
        if (!e.IsError() || !FXErrorUtil::IsErrNo(e, EEXIST)) break;
    }
    if (e.IsError()) return e.Push(FZ_LOC, "Cannot write [%s]", path.c_str());
    if (::fchmod(file.Descriptor(), static_cast<mode_t>(mode)) != 0)
        e = ErrnoError(FZ_LOC, errno, "Cannot set the mode of", temporary);
    uint32_t written = 0;
    if (!e.IsError()) e = file.Write(data.data(), static_cast<uint32_t>(data.size()), &written);
    if (!e.IsError() && written != data.size()) e = ErrnoError(FZ_LOC, EIO, "Short write to", temporary);
    if (!e.IsError()) e = Flush(file.Descriptor(), temporary);
    CFzError closed = file.Close();
    if (!e.IsError()) e = closed;
    if (e.IsError()) {
        int err = errno;
        (void)::unlink(temporary.c_str());
        errno = err;
        return e.Push(FZ_LOC, "Cannot write [%s]", path.c_str());
    }
    m_path = path;
    m_temporary = temporary;
    return CFzError::Success();
}

namespace {

// The pid of a name "<base>.tmp.<pid>.<n>" (digits only); 0 when it is not one.
pid_t TemporaryWriter(std::string const& name, std::string const& base) {
    std::string const prefix = base + ".tmp.";
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    std::string const rest = name.substr(prefix.size());
    size_t const dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos || dot + 1 == rest.size() || dot > 9) return 0;
    for (size_t i = 0; i < rest.size(); ++i)
        if (i != dot && (rest[i] < '0' || rest[i] > '9')) return 0;
    return static_cast<pid_t>(std::stol(rest.substr(0, dot)));
}

}  // namespace

int FXStagedFile::RemoveDeadWritersTemporaries(std::string const& path) {
    if (path.empty() || path.back() == '/') return 0;
    std::string const directory = DirectoryOf(path);
    size_t const slash = path.rfind('/');
    std::string const base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return 0;
    int removed = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        pid_t const pid = TemporaryWriter(entry->d_name, base);
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;  // alive, or not ours to tell
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

CFzError FXStagedFile::Commit() {
    if (m_temporary.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Nothing staged to commit");
    std::string const path = m_path;
    CFzError e = FileFault(FZ_LOC, "rename", path);
    if (!e.IsError() && ::rename(m_temporary.c_str(), path.c_str()) != 0)
        e = ErrnoError(FZ_LOC, errno, "Cannot rename the new content over", path);
    if (e.IsError()) {
        int err = errno;
        Discard();
        errno = err;
        return e.Push(FZ_LOC, "Cannot write [%s]", path.c_str());
    }
    m_temporary.clear();
    // The rename is durable once the directory is.
    std::string directory = DirectoryOf(path);
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return ErrnoError(FZ_LOC, errno, "Cannot open directory", directory);
    e = Flush(dirFd, directory);
    ::close(dirFd);
    return e;
}

void FXStagedFile::Discard() {
    if (m_temporary.empty()) return;
    int err = errno;
    (void)::unlink(m_temporary.c_str());
    errno = err;
    m_temporary.clear();
}

CFzError FXFile::LinkWhole(std::string const& path, std::string const& target) {
    std::string const temporary = path + ".link." + std::to_string(static_cast<long>(getpid())) + "." +
                                  std::to_string(s_sequence.fetch_add(1));
    CFzError e = FileFault(FZ_LOC, "symlink", path);
    if (!e.IsError() && ::symlink(target.c_str(), temporary.c_str()) != 0)
        e = ErrnoError(FZ_LOC, errno, "Cannot make the link", temporary);
    if (e.IsError()) return e.Push(FZ_LOC, "Cannot link [%s] to [%s]", path.c_str(), target.c_str());
    e = FileFault(FZ_LOC, "rename", path);
    if (!e.IsError() && ::rename(temporary.c_str(), path.c_str()) != 0)
        e = ErrnoError(FZ_LOC, errno, "Cannot rename the new link over", path);
    if (e.IsError()) {
        int err = errno;
        (void)::unlink(temporary.c_str());
        errno = err;
        return e.Push(FZ_LOC, "Cannot link [%s] to [%s]", path.c_str(), target.c_str());
    }
    return CFzError::Success();
}

CFzError FillBaseHome(std::string const& packageDir, std::vector<std::string>* linked) {
    JZPI_Base base;
    char const* home = base.getHomeDirectory();
    if (home == nullptr)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "No base home directory: %s", base.getLastErrorMsg().c_str());
    CFzDirectory directory;
    CFzError e = directory.Open(packageDir, "*", true);
    if (e.IsError()) return e.Push(FZ_LOC, "Cannot read the package's base-home folder");
    std::vector<std::string> names;
    for (bool done = false;;) {
        SFzDirEntry entry;
        e = directory.GetEntry(&entry, done);
        if (e.IsError() || done) break;
        names.push_back(entry.name.c_str());
    }
    (void)directory.Close();
    if (e.IsError()) return e.Push(FZ_LOC, "Cannot read the package's base-home folder");
    for (auto const& name : names) {
        std::string const source = packageDir + "/" + name;
        char* real = ::realpath(source.c_str(), nullptr);
        if (real == nullptr) return ErrnoError(FZ_LOC, errno, "Cannot resolve", source);
        std::string const target = real;
        free(real);
        e = FXFile::LinkWhole(std::string(home) + "/" + name, target);
        if (e.IsError()) return e;
        if (linked != nullptr) linked->push_back(name);
    }
    return CFzError::Success();
}

std::string JobResultsDirectory(uint64_t jobId, int brannoxId) {
    JZPI_CommClient comm;
    char const* root = comm.getJobResultsDirectory(JZPI_Focus::getFocusClientName(true));
    if (root == nullptr || *root == '\0') return std::string();
    std::string directory = root;
    for (std::string const& part :
         {std::string("JZ_JobResults"), std::to_string(brannoxId), std::string("0"), std::to_string(jobId)})
        (void)FXPath::Append(directory, part);
    return directory;
}

CFzError MakeJobResultsDirectory(uint64_t jobId, std::string* path, int brannoxId) {
    std::string directory = JobResultsDirectory(jobId, brannoxId);
    if (directory.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "No job-results root");
    CFzError e = CFzDirectory::Create(directory, true);
    if (e.IsError()) return e;
    if (path) *path = directory;
    return CFzError::Success();
}

CFzDirectory::~CFzDirectory() {
    if (m_dir) closedir(m_dir);
}

CFzError CFzDirectory::Open(std::string const& directory, std::string const& pattern, bool skipDots) {
    if (m_dir) return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "Directory [%s] is already open", m_path.c_str());
    if (directory.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Empty directory path");
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return ErrnoError(FZ_LOC, errno, "Cannot open directory", directory);
    m_dir = dir;
    m_path = directory;
    m_pattern = pattern;
    m_skipDots = skipDots;
    return CFzError::Success();
}

CFzError CFzDirectory::GetEntry(SFzDirEntry* entry, bool& done) {
    done = false;
    if (m_dir == nullptr) return FXErrorUtil::ErrorErrNo(FZ_LOC, EBADF, "Directory is not open");
    while (true) {
        errno = 0;
        struct dirent* d = readdir(m_dir);
        if (d == nullptr) {
            if (errno != 0) return ErrnoError(FZ_LOC, errno, "Cannot read directory", m_path);
            done = true;
            return CFzError::Success();
        }
        char const* name = d->d_name;
        if (m_skipDots && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) continue;
        if (!m_pattern.empty() && fnmatch(m_pattern.c_str(), name, FNM_PERIOD) != 0) continue;
        if (entry) entry->name = name;
        return CFzError::Success();
    }
}

CFzError CFzDirectory::Close() {
    if (m_dir == nullptr) return CFzError::Success();
    DIR* dir = m_dir;
    m_dir = nullptr;
    if (closedir(dir) != 0) return ErrnoError(FZ_LOC, errno, "Cannot close directory", m_path);
    return CFzError::Success();
}

CFzError CFzDirectory::Create(std::string const& path, bool recursive, int mode) {
    if (path.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "Empty directory path");
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return CFzError::Success();
        return ErrnoError(FZ_LOC, ENOTDIR, "Not a directory", path);
    }
    if (recursive) {
        size_t end = path.find_last_not_of('/');
        size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
        if (slash != std::string::npos && slash > 0) {
            CFzError e = Create(path.substr(0, slash), true, mode);
            if (e.IsError()) return e;
        }
    }
    CFzError fault = FileFault(FZ_LOC, "mkdir", path);
    if (fault.IsError()) return fault;
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) {
        int err = errno;
        if (err == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return CFzError::Success();
        return ErrnoError(FZ_LOC, err, "Cannot create directory", path);
    }
    return CFzError::Success();
}

int lstat_utf(char const* path, struct stat* st) { return ::lstat(path, st); }
DIR* opendir_utf(char const* path) { return ::opendir(path); }

int readdir_r_utf(DIR* dir, struct dirent* entry, struct dirent** result) {
    if (dir == nullptr || entry == nullptr || result == nullptr) return EINVAL;
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) {
        *result = nullptr;
        return errno;
    }
    entry->d_ino = d->d_ino;
    entry->d_off = d->d_off;
    entry->d_reclen = d->d_reclen;
    entry->d_type = d->d_type;
    size_t n = strnlen(d->d_name, sizeof entry->d_name - 1);
    memcpy(entry->d_name, d->d_name, n);
    entry->d_name[n] = '\0';
    *result = entry;
    return 0;
}

int closedir_utf(DIR* dir) { return ::closedir(dir); }
int unlink_utf(char const* path) { return ::unlink(path); }

int GetSubclientDir(unsigned brannoxId, unsigned appId, char* out) {
    if (out == nullptr) return EINVAL;
    out[0] = '\0';
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("subclient", "GetSubclientDir",
                             "brannox=" + std::to_string(brannoxId) + " app=" + std::to_string(appId), &fault))
        return fault.code;
    std::string dir = nuvsuite::StatePath("jobresults") + "/Subclients/" + std::to_string(brannoxId) + "/" +
                      std::to_string(appId);
    if (dir.size() >= 1024) return ENAMETOOLONG;
    memcpy(out, dir.c_str(), dir.size() + 1);
    return 0;
}

int CreateSubclientDir(char const* dir) {
    if (dir == nullptr || *dir == '\0') return EINVAL;
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("subclient", "CreateSubclientDir", dir, &fault)) return fault.code;
    CFzError e = CFzDirectory::Create(dir, true);
    return e.IsError() ? (errno ? errno : EIO) : 0;
}

void HoldWhereFaulted(std::string const& service, std::string const& args) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::CallFaulted(service, "hold", args, &fault)) return;
    CFzFile marker;
    if (marker.Open(fault.text + "/held", O_WRONLY | O_CREAT | O_TRUNC, 0644).IsError()) return;
    (void)marker.Close();
    for (int waited = 0; waited < 120000; waited += 10) {
        if (FXFile::DoesFileExist(fault.text + "/release")) return;
        FZSLEEP_InTeRnAl(10, __FILE__, __LINE__);
    }
}

void FZSLEEP_InTeRnAl(unsigned long milliseconds, char const* /*file*/, int /*line*/) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
