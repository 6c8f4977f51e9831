// Request and result records of the archive manager (JZArchive, ArMgrClientAPI).
// Plain structures: every field starts at its member initialiser; strings and
// vectors own their contents. Field roles not used by this system are named for
// what the archive manager keeps there and marked "free".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Request of JZArchive::CreateArchiveForSnapBackup.
struct CreateArgs_t {
    std::string archiveName;     // free: a label of the archive file
    int64_t brannoxId = 0;       // free
    int64_t backupType = 0;      // copied into the snapshot utility's backup type
    int64_t archFileType = 0;    // archive-file type (the job driver's; the clone sets each master's)
    int64_t archGroupId = 0;     // free
    int64_t snapArchive = 0;     // set to 1 by the snapshot engine before it creates an archive file
    int64_t copyId = 0;          // free
    int64_t appId = 0;           // application id
    int64_t clientId = 0;        // client id (copied into the snapshot utility's client id)
    int64_t appType = 0;         // application type
    int64_t instanceId = 0;      // instance id (the job driver's)
    int64_t flags = 0;           // free
};

// Request of ArMgrClientAPI::getArchFileListForJob.
struct GetArchFileListForJobArgsCC_t {
    int64_t brannoxId = 0;               // zero-extended from the unsigned 32-bit id
    int64_t jobId = 0;
    std::vector<int> archFileTypes;      // the archive-file types to list
    int64_t flags = 0;                   // not set by this system
};

// One archive file of a job (row of getArchFileListForJob and of the snapshot-job listing).
struct GetArchFileListForJobRetCC_t {
    int64_t brannoxId = 0;       // management-domain id
    int64_t jobId = 0;           // the job that wrote the archive file
    int64_t appId = 0;           // the application it belongs to
    int64_t archFileId = 0;      // archive-file id
    int64_t archGroupId = 0;     // archive group id
    int64_t copyId = 0;          // copy id
    int64_t archFileType = 0;    // 6 marks a snapshot archive file, 4 a log archive file
    int64_t createTime = 0;      // time stamp; rows come newest first (compared as unsigned)
    int64_t sizeBytes = 0;       // free: bytes written
    int32_t status = 0;          // free: archive-file state
    uint8_t isClosed = 0;        // free: 1 once the archive file was closed
    std::string name;            // free: archive-file name
};

// Request of ArMgrClientAPI::getArchFileListForSnapshotJob.
struct GetArchFileInfoForSnapJob_ArgsCC_t {
    int64_t clientId = 0;        // free
    int64_t appId = 0;           // free
    int64_t brannoxId = 0;       // zero-extended Brannox id
    int64_t snapJobId = 0;       // the snap job
    int64_t copyId = 0;          // free
    int64_t flags = 0;           // bit 0x1 set by the callers
    int64_t reserved = 0;        // free
};

// Result of ArMgrClientAPI::getArchFileListForSnapshotJob.
struct GetArchFileInfoForSnapJob_Ret_t {
    int64_t brannoxId = 0;       // free
    int64_t snapJobId = 0;       // free
    int64_t appId = 0;           // free
    int64_t clientId = 0;        // free
    int64_t copyId = 0;          // free
    int64_t flags = 0;           // free
    std::string sarnelHost;      // mangled host name of the Sarnel holding the snap job ("" when none)
    std::vector<GetArchFileListForJobRetCC_t> archFiles;   // the job's archive files
};

// Result of ArMgrClientAPI::getAfileInfo.
struct GetAfileInfoRetCC_t {
    int64_t archFileId = 0;
    int64_t archGroupId = 0;
    int64_t brannoxId = 0;
    std::string name;            // archive-file name
    std::string sarnelHost;      // mangled host name of the Sarnel that wrote it
    int64_t jobId = 0;           // free
    int64_t appId = 0;           // free
    int64_t backupTime = 0;      // the archive file's backup time
    int64_t flags = 0;           // the archive file's flags
    int64_t archFileType = 0;    // free
};

// Archive-manager request for the last archive file of an application (cleared again by its callers).
struct GetLastAfileByAppArgs_t {
    int64_t brannoxId = 0;
    int64_t appId = 0;
    int64_t archFileType = 0;
    int64_t copyId = 0;
    int64_t beforeTime = 0;
    int64_t flags = 0;
};

// Request of ArMgrClientAPI::getRestoreSarnel: which data mover serves a restore.
struct GetRestoreSarnelInput_t {
    int32_t archFileId = 0;
    int32_t brannoxId = 0;
    int32_t copyId = 0;
    int32_t jobId = 0;
    std::string destClientName;  // the destination client's name
    int32_t archGroupId = 0;     // free
    int32_t appId = 0;           // free
    int32_t clientId = 0;        // free
    int32_t mediaAgentId = 0;    // free
    int32_t libraryId = 0;       // free
    int32_t drivePoolId = 0;     // free
    int32_t flags = 0;           // free
    std::string proxyClientName; // free
    std::string options;         // free
};

// Result of ArMgrClientAPI::getRestoreSarnel.
struct GetRestoreSarnelOutput_t {
    std::string sarnelHost;      // host of the chosen data mover, mangled
    int32_t sarnelClientId = 0;  // free
    int32_t port = 0;            // free
    std::string sarnelName;      // free
    std::string errorText;       // free
};
