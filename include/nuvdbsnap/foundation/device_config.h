// JzDeviceConfigHandler: what the block-level library returns from its entry
// "GetBlockDeviceConfigHandler"; the snapshot utility hands it the volumes of a
// snapshot before and after the snap.
#pragma once

#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/smvolblock.h"

#include <vector>

class JzDeviceConfigHandler {
public:
    JzDeviceConfigHandler() = default;
    virtual ~JzDeviceConfigHandler();

    // Writes the device configuration of the job.
    virtual CFzError Write(bool metadataEnabled, bool initial) = 0;
    // Processes one phase's volume list (postSnap false: before the snap).
    virtual CFzError ProcessDeviceConfig(std::vector<SMVolBlock>& volumes, int extentSizeMB, JZBkpLevel level,
                                         int engineType, bool postSnap) = 0;
    virtual void SetAppendDeviceConfig(bool append) = 0;

    // A full block-level pass ran in the current cycle.
    void SetFullRanInCurrCycle(bool ran) { m_fullRanInCurrCycle = ran; }
    bool GetFullRanInCurrCycle() const { return m_fullRanInCurrCycle; }

protected:
    bool m_fullRanInCurrCycle = false;
};
