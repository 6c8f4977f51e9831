// LREPSnapUtil: the executor of LREP replication (kind 1). Prepare readies the
// replication engine (JzReplicationEngineDynamic) with the job and its source
// volumes; snap creates the snapshots and replicates them through
// RunLREPOperations, which hands each snapped volume to the engine, takes the
// engine's snapshot tables into the record and deletes (or keeps) the native
// snapshots. Delete runs in process on every spawn mode.
//
// JzException leaves this executor in two cases only: PrepareSnap when the
// engine cannot be made (errno -1), and RunLREPOperations when the engine
// reports a failed job status after a successful run (errno 0x13000359).
#pragma once

#include "nuvdbsnap/engine/snap_util_interface.h"

#include <map>

class JzReplicationEngineDynamic;
class Subclient;

class LREPSnapUtil : public SnapUtilInterface {
public:
    LREPSnapUtil(int engineType, int snapType, bool verbose, std::string const& host, JZJobCtrlClient* jobControl,
                 SpawnProcess mode, bool blockLevel, bool skipDelete);
    ~LREPSnapUtil() override;

    int PrepareSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) override;
    int Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag,
             unsigned long backupType) override;
    int DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) override;

    // Fills the record's control hosts and snapshot engines: 0, or -1.
    int InitializeSnapList(SMVolSnapInfo& record);

    // 0 at once when skip is set; otherwise the three-argument form.
    int RunLREPOperations(SMVolSnapInfo& record, unsigned long backupType, bool const& skip,
                          std::map<int, int> const& backupTypeByVolume);
    // Replicates the record's snapshots: 0, or -1 (the snapshots are then deleted).
    int RunLREPOperations(SMVolSnapInfo& record, unsigned long backupType,
                          std::map<int, int> const& backupTypeByVolume);

    bool getSkipDelete() const { return m_skipDelete; }
    bool getDriverMode() const { return m_driverMode; }

private:
    // Identity calls shared by the prepare and the run: getInstance and the
    // setters from JzRepSetAppTypeId to JzRepSetJobToken. False when no engine.
    bool readyEngine(SMVolSnapInfo const& record, unsigned long backupLevel);

    bool m_skipDelete = false;
    JzReplicationEngineDynamic* m_engine = nullptr;  // the process-wide wrapper; borrowed
    bool m_driverMode = false;
};

// True when the job asks for a filter-driver-based incremental (the subclient's
// block-level SPOS property, else the setting "[<subclient>_]nDriverBasedIncrementalForLREP").
bool isJZBFDriverEnabledForSPOSCMode(Subclient* subclient, int appType);
