// The records LREP replication hands the replication-engine plug-in; the
// plug-in reads them with these same declarations, so members and their order
// are part of the boundary.
#pragma once

#include <cstdint>
#include <string>

// The parameter block an engine is created with; all 0 after construction.
struct _ReplicationInputParams {
    uint64_t appId = 0;
    uint64_t brannoxId = 0;      // management-domain id
    uint64_t appTypeId = 0;
    uint64_t jobId = 0;
    uint64_t backupLevel = 0;
    void Clear() { *this = _ReplicationInputParams(); }
};

// One source volume of the list handed to JzRepSetSourceVolumeNamesList (as a
// pointer to a std::vector of these).
struct JzRepSourceForBlkLvl {
    std::string sourceDevice;
    std::string sourcePath;
    std::string fileSystemType;  // the mount options up to their last ':'
    std::string mountOptions;    // the text after that ':'
    bool flag = false;
    std::string extraText;
};

// One snapped source volume added for replication (a plain pointer to one).
struct JzRepSourceForReplication {
    std::string sourceDevice;
    std::string sourceMountPath;
    std::string snapDevice;
    std::string reserved4;
    std::string sourceVolumeGUID;
    std::string snapSetId;
    std::string reserved7;
    std::string snapGUID;
    int32_t nativeMountState = 0;  // 3 directory known, 5 its metadata empty, 0 none
    std::string snapMountOptions;
    std::string nativeSnapMountDir;
    std::string reserved12;
    std::string reserved13;
    std::string reserved14;
    std::string reserved15;
    std::string reserved16;
};
