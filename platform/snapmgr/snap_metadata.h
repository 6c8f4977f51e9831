// The metadata entries the snapshot manager writes for each snapshot it hands
// out: its GUID, its native mount directory (the point-in-time copy) and its
// mount options (the volume's, read-only).
#pragma once

#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

namespace nuvsnapmgr {

inline void AddSnapMetaData(SMVolSnapInfo& record, SMSnapInfo const& snap, SMVolumeInfo const& volume) {
    std::string const& options = volume.getMountOptions();
    size_t const colon = options.rfind(':');
    std::string const mountOptions = colon == std::string::npos ? options : options.substr(colon + 1);
    record.addMetaData(SMMetaDataInfo(snap.getSMSnapId(), SM_METADATA_SNAP_GUID,
                                      "nuvsnap-" + std::to_string(snap.getSMSnapId())));
    record.addMetaData(SMMetaDataInfo(snap.getSMSnapId(), SM_METADATA_NATIVE_MOUNT_DIR, snap.getSnapDevice()));
    record.addMetaData(SMMetaDataInfo(snap.getSMSnapId(), SM_METADATA_SNAP_MOUNT_OPTIONS,
                                      mountOptions.empty() ? "ro" : "ro," + mountOptions));
}

}  // namespace nuvsnapmgr
