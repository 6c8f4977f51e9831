// JZRestoreFiles: the restore-files client of the local suite. A restore
// initialises it (init_v3), then per archive file sends a pre-open message,
// opens the archive file (a snapshot archive file: its snapshots are mounted,
// shared by reference count with every client of the process), announces
// each file with an FSR_SNAP_SRC_PATH record and waits: the wait copies each
// announced file from the mount to its destination. The destination of a
// file: the record's destination (one that ends in "/" is a directory the
// file goes into under its base name; see nuvrestorefiles::EntryDestination),
// else the map file of the task's option RESTOREMAPFILES_MAP_FILE_PATH, else
// the restore arrays (the destination entry of the source entry that holds
// the file, with the strip level's leading components removed), else the
// source path. finalize adds the restored counts to the job's counts file.
// Every call is journalled ("restorefiles", call) and obeys the fault table.
#pragma once

#include "nuvdbsnap/foundation/restore_records.h"
#include "nuvdbsnap/platform/indexing/records.h"
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class JZJobCtrlClient;

namespace nuvrestorefiles {

// True when `path` names the root directory ("/", "//", "/.", "/a/.." ...):
// no restore writes onto it or into it as its destination.
bool IsRootDirectory(std::string const& path);

}  // namespace nuvrestorefiles

class JZRestoreFiles : public nuvsuite::LastErrorRecord {
public:
    JZRestoreFiles() = default;
    JZRestoreFiles(JZRestoreFiles const&) = delete;
    JZRestoreFiles& operator=(JZRestoreFiles const&) = delete;
    ~JZRestoreFiles();  // releases the mounts it holds

    void setFocusClientName(std::string const& name) { m_focusClient = name; }
    std::string const& getFocusClientName() const { return m_focusClient; }
    void setJobControlClient(JZJobCtrlClient* client) { m_jobCtrl = client; }
    JZJobCtrlClient* getJobControlClient() const { return m_jobCtrl; }
    void setDoNotFinishJobCtrl(bool on) { m_doNotFinish = on; }

    // 1 when ready for the restore, 0 otherwise (see getErrorString).
    int init_v3(std::string const& srcClient, std::string const& destClient, std::string const& restoreType,
                char** srcPaths, int* stripLevels, int numSrcPaths, char** destPaths, int numDestPaths,
                unsigned long restoreFlags, unsigned long, unsigned long, long long jobId, unsigned long rstValueA,
                unsigned long appType, unsigned long destBrannoxId, unsigned long rstValueB, char const* userName,
                char const* password, void* networkLink, void*, void* pathNameCallback, int, unsigned long destClientId,
                char const*, char const*, int, int, char const* extendedOptions);

    // FSR_PRE_OPEN_ARCHIVE or FSR_SNAP_SRC_PATH; 1 when taken, 0 when not sent.
    int sendMsgToClient(unsigned long type, jzsDatabuf* record);
    // 1 when the archive file is open (its snapshots mounted), 0 otherwise.
    int openArchiveFile(ArchiveFileId_t key, int copyId);
    // A file of a normal archive file by its offset; 1 restored, 0 not.
    int restoreFile(ArchiveFileId_t key, unsigned long long offset, unsigned long long, unsigned long, char*,
                    NasRestoreInfo*, int copyId);
    // Restores every file announced since the archive file was opened; 1 when
    // all were restored, 0 when any failed (each failure logged).
    int waitForCompletion();
    // 1 when the job was stopped by the user.
    int isJobStopped();
    // Writes the counts of the restore to the job's counts file and releases
    // the mounts. 1 on success, 0 otherwise.
    int finalize(int status, unsigned long flags, bool last);
    int finalize(int status, unsigned long flags) { return finalize(status, flags, true); }
    // Releases the mounts this client holds of one archive file; 0, or -1
    // when an unmount failed.
    int unmountSnapshots(ArchiveFileId_t key);

    uint64_t getRestoredFiles() const { return m_counts.files; }
    uint64_t getRestoredBytes() const { return m_counts.bytes; }
    // The destination a source path gets (see above); empty record destination.
    std::string destinationOf(std::string const& source, char const* recordDest) const;

private:
    struct Pending {
        std::string source;
        std::string dest;  // from the record, may be empty
    };
    bool enter(char const* call, std::string const& args);
    // Mounts the snapshot of the snap job's volume that holds `path` (the
    // archive file of that volume, held until the mounts are released).
    bool mountVolumeOf(std::string const& path, nuvrestorefiles::MountedVolume* out);
    // The volumes of the open archive file's snap job; false when they cannot be told.
    bool snapJobVolumes(SMVolSnapInfo* job);

    std::string m_focusClient;
    JZJobCtrlClient* m_jobCtrl = nullptr;
    bool m_doNotFinish = false;
    bool m_ready = false;
    long long m_jobId = 0;
    int m_destBrannoxId = 2;
    unsigned long m_restoreFlags = 0;
    std::vector<std::string> m_srcPaths;
    std::vector<std::string> m_destPaths;  // "" where none
    std::vector<int> m_stripLevels;
    std::map<std::string, std::string> m_map;
    bool m_haveMap = false;
    uint32_t m_preOpenType = 0xFFFFFFFFu;
    bool m_open = false;
    ArchiveFileId_t m_openKey{};
    std::vector<nuvrestorefiles::MountedVolume> m_volumes;
    std::vector<Pending> m_pending;
    std::vector<std::pair<uint32_t, uint32_t>> m_held;  // (brannox id, archive file id) mounts held
    std::vector<std::pair<uint32_t, uint32_t>> m_borrowed;  // held for links onto other volumes during a wait
    nuvrestorefiles::CopyCounts m_counts;
};
