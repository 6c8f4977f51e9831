// Files and directories: CFzFile (an open descriptor), FXFile, CFzDirectory (a
// directory walk with a name pattern, and directory creation), SFzDirEntry, and
// the POSIX-like UTF-8 path wrappers, the writing of a state file whole and the
// job-results directory. Every failure is a CFzError that carries errno and the
// path.
//
// Fault points: the file operations here (open, write, close, fsync, rename,
// mkdir) obey faults of service "file", call = the operation's name, matched
// against the path: a fault fails the operation with errno = the fault's code
// (EIO when it is not a positive number). While no "file" fault is declared
// the check is a read of a shared counter (nuvsuite::FaultsMayFire).
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// An open file. Closed by Close or by the destructor.
class CFzFile {
public:
    CFzFile() = default;
    CFzFile(CFzFile const&) = delete;
    CFzFile& operator=(CFzFile const&) = delete;
    ~CFzFile();

    // flags and mode as open(2) takes them (0x241 = write only, create, truncate).
    [[nodiscard]] CFzError Open(std::string const& path, int flags, int mode = 0644);
    // Writes all `length` bytes (retrying short writes); `written` may be null.
    [[nodiscard]] CFzError Write(void const* data, uint32_t length, uint32_t* written);
    // Reads up to `length` bytes; `got` receives the count (0 at the end of the file).
    [[nodiscard]] CFzError Read(void* data, uint32_t length, uint32_t* got);
    [[nodiscard]] CFzError Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Descriptor() const { return m_fd; }
    std::string const& Path() const { return m_path; }

    // The whole file in a new[] buffer of size + 1 bytes (NUL-terminated); the
    // caller frees it with delete[]. On failure *buffer is null and size 0.
    [[nodiscard]] static CFzError ReadWholeFile(std::string const& path, char** buffer, unsigned long& size);

private:
    int m_fd = -1;
    std::string m_path;
};

class FXFile {
public:
    // True when the path names an existing entry that is not a directory (links followed).
    static bool DoesFileExist(std::string const& path);

    // Makes `data` the whole content of `path` (mode `mode`, whatever the umask):
    // written to a new temporary file in the same directory (O_EXCL), flushed
    // (fsync), renamed over `path`, then the directory flushed. A reader sees the
    // old content or the new one, never a part; on failure the old content stays
    // and no temporary file is left.
    [[nodiscard]] static CFzError WriteWhole(std::string const& path, std::string const& data, int mode);

    // Makes `path` a symbolic link to `target`: a new link beside it renamed over
    // it, so whatever entry `path` named is replaced whole.
    [[nodiscard]] static CFzError LinkWhole(std::string const& path, std::string const& target);
};

// A whole file prepared beside its final path and put in place only by Commit,
// for a writer that has more to do between the two (WriteWhole is Write then
// Commit). Until Commit nothing is seen at the path; a staged file that is not
// committed is removed by Discard or by the destructor (a writer that dies
// leaves only a temporary "<path>.tmp.<pid>.<n>").
class FXStagedFile {
public:
    FXStagedFile() = default;
    FXStagedFile(FXStagedFile const&) = delete;
    FXStagedFile& operator=(FXStagedFile const&) = delete;
    ~FXStagedFile() { Discard(); }

    // Writes `data` (mode `mode`, whatever the umask) to a new temporary file in
    // the directory of `path` (O_EXCL), flushed (fsync) and closed, every step
    // checked. On failure no temporary file is left.
    [[nodiscard]] CFzError Write(std::string const& path, std::string const& data, int mode);
    // Renames the staged file over the path, then flushes the directory.
    [[nodiscard]] CFzError Commit();
    void Discard();  // removes the staged file unless it was committed
    std::string const& TemporaryPath() const { return m_temporary; }
    // Removes the temporary files "<path>.tmp.<pid>.<n>" that writers of `path`
    // which no longer run left behind (a live or unknown pid keeps its file);
    // how many went. For a writer that holds the path's own lock.
    static int RemoveDeadWritersTemporaries(std::string const& path);

private:
    std::string m_path;
    std::string m_temporary;  // empty when nothing is staged
};

// Fills the base home directory (JZPI_Base::getHomeDirectory) from a package's
// base-home folder: each entry of `packageDir` gets a link of its name there that
// names the entry's real path (so a program started from the base home finds
// its libraries from where it really lies). An entry of that name already in
// the base home is replaced. `linked` gets the names linked.
[[nodiscard]] CFzError FillBaseHome(std::string const& packageDir, std::vector<std::string>* linked);

// A job's job-results directory: <job-results root>/JZ_JobResults/<brannox>/0/<job>,
// the root being JZPI_CommClient::getJobResultsDirectory (the state root's
// "jobresults"). Every service and subsystem that keeps files of a job keeps
// them there.
std::string JobResultsDirectory(uint64_t jobId, int brannoxId = nuvsuite::kLocalBrannoxId);
// The same, made (with its parents) when missing.
[[nodiscard]] CFzError MakeJobResultsDirectory(uint64_t jobId, std::string* path,
                                               int brannoxId = nuvsuite::kLocalBrannoxId);

// One entry of a directory walk: its name.
struct SFzDirEntry {
    SFzDirEntry() = default;
    ~SFzDirEntry() = default;
    CFzString name;
};

// Walks the entries of one directory whose names match a glob pattern.
class CFzDirectory {
public:
    CFzDirectory() = default;
    CFzDirectory(CFzDirectory const&) = delete;
    CFzDirectory& operator=(CFzDirectory const&) = delete;
    ~CFzDirectory();

    // pattern: fnmatch glob ("" or "*" = every entry); skipDots: leave out "." and "..".
    [[nodiscard]] CFzError Open(std::string const& directory, std::string const& pattern, bool skipDots);
    // The next matching entry; done is set (and entry untouched) after the last one.
    [[nodiscard]] CFzError GetEntry(SFzDirEntry* entry, bool& done);
    [[nodiscard]] CFzError Close();

    // Makes the directory exist (with every missing parent when recursive).
    [[nodiscard]] static CFzError Create(std::string const& path, bool recursive, int mode = 0755);

private:
    DIR* m_dir = nullptr;
    std::string m_path;
    std::string m_pattern;
    bool m_skipDots = true;
};

// The suite's path wrappers, with the meaning of their POSIX namesakes.
int lstat_utf(char const* path, struct stat* st);
DIR* opendir_utf(char const* path);
// Copies the next entry into *entry and sets *result to entry, or to null at the end;
// 0 on success, an errno value on failure.
int readdir_r_utf(DIR* dir, struct dirent* entry, struct dirent** result);
int closedir_utf(DIR* dir);
int unlink_utf(char const* path);

// The subclient directory: the directory that holds the data-aging and other
// per-application files of an application (for example "OraVolumeType.jzf"):
// <job-results root>/Subclients/<brannox>/<app id>. Writes it into `out` (1024
// bytes) without making it; 0 on success, ENAMETOOLONG or EINVAL otherwise.
// Journalled ("subclient", "GetSubclientDir", "brannox=B app=A"); a fault fails
// it with the fault's code and leaves `out` empty.
[[nodiscard]] int GetSubclientDir(unsigned brannoxId, unsigned appId, char* out);
// Makes the directory exist (with its parents); 0 on success, else errno.
// Journalled ("subclient", "CreateSubclientDir", dir); a fault fails it with the
// fault's code before anything is made.
[[nodiscard]] int CreateSubclientDir(char const* dir);

// A hold point for tests: when a fault (service, "hold") is declared for
// `args`, creates the file "<fault text>/held" and waits until
// "<fault text>/release" exists (at most 120 s); one use of the fault is taken.
// Without such a fault it returns at once.
void HoldWhereFaulted(std::string const& service, std::string const& args);

// Sleeps for the given milliseconds (the source site is for traces only).
void FZSLEEP_InTeRnAl(unsigned long milliseconds, char const* file, int line);
