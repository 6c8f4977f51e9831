// LREPSnapUtil: the executor of LREP replication (kind 1). Until the
// replication engine can be made in this build, every start of a replication
// fails the way a failed start is reported: the in-process prepare throws
// JzException "Failed to instantiate JzReplicationEngine" (errno -1), the
// helper road fails to start the helper, and a snap that would replicate
// returns -1 after "Failed to run LREP replication operations". Its delete
// works (in process, through the snapshot-operation interface).
#pragma once

#include "nuvdbsnap/engine/snap_util_interface.h"

class LREPSnapUtil : public SnapUtilInterface {
public:
    LREPSnapUtil(int engineType, int snapType, bool verbose, std::string const& host, JZJobCtrlClient* jobControl,
                 SpawnProcess mode, bool blockLevel, bool skipDelete);
    ~LREPSnapUtil() override;

    int PrepareSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) override;
    int Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag,
             unsigned long backupType) override;
    int DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) override;

    bool getSkipDelete() const { return m_skipDelete; }

private:
    bool m_skipDelete = false;
    void* m_engine = nullptr;   // the replication-engine wrapper; none in this build
    bool m_driverMode = false;
};
