// SMVolBlock: one block-level volume entry handed to the device-configuration handler.
#pragma once

#include <cstdint>
#include <string>

struct SMVolBlock {
    std::string sourceDevice;    // the volume's source device (for a ZFS snapshot entry, the snap's)
    std::string sourcePath;      // the mount point (for a ZFS snapshot entry, the volume's device)
    std::string mountOptions;    // the mount options: the text after the first ':'
    std::string fsType;          // the text before the first ':' ("ASM" for ASM disks)
    int64_t appTypeId = -1;      // the volume's application type
    int64_t appId = -1;          // the volume's application id
    int64_t brannoxId = -1;      // the volume's management-domain id
    bool flag = false;           // left false by the block-level configuration
};
