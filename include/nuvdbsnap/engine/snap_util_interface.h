// The executors of the snapshot engine. For each engine operation a snapshot
// utility asks SnapUtilInterface::getInstance for a fresh executor, holds it in
// an SP<SnapUtilInterface> for that one call and drops it. DbSnapUtil runs plain
// snapshots on the road its spawn mode names: 0 the helper process, 1 the
// snap-handler plug-in for the snap (prepare and delete in process), 2 in process.
#pragma once

#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/foundation/sp.h"
#include "nuvdbsnap/platform/snapbase/snap_util_base.h"

#include <string>

class CJzNetwork;
class EvEvent;
class JZJobCtrlClient;
class SMVolSnapInfo;
struct jzsDatabuf_v2;

class SnapUtilInterface : public SPEnabled {
public:
    SnapUtilInterface() = default;
    SnapUtilInterface(SnapUtilInterface const&) = delete;
    SnapUtilInterface& operator=(SnapUtilInterface const&) = delete;
    ~SnapUtilInterface() override;

    // One request to the helper process and its reply: the helper's result (0 =
    // success) or -1 when the exchange failed.
    virtual int SndRcvFromSnapUtilProcess(SMVolSnapInfo& record, unsigned long requestType,
                                          unsigned long replyType);
    // Each 0 on success, non-zero on failure.
    virtual int PrepareSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) = 0;
    virtual int Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag,
                     unsigned long backupType) = 0;
    virtual int DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) = 0;

    // Starts and attaches the helper process once per executor: 0 when it runs.
    int CreateSnapUtilProcess();
    // Receives one message into buffer (its type in the reply-type field),
    // waiting while the debug hold file holds: 0, or -1 on a failure.
    int receiveMessage(jzsDatabuf_v2& buffer);

    // A new executor of that kind (the caller wraps it in an SP), or null for a
    // kind other than 0 and 1. blockLevel and skipDelete serve kind 1 only.
    static SnapUtilInterface* getInstance(SNAPUTIL_INSTANCE kind, int engineType, int snapType, bool verbose,
                                          std::string const& host, JZJobCtrlClient* jobControl, SpawnProcess mode,
                                          bool blockLevel, bool skipDelete);

    // Helper-process request and reply message types, one pair per operation.
    static constexpr unsigned long kPrepareRequest = 0x20000402;
    static constexpr unsigned long kPrepareReply = 0x20000403;
    static constexpr unsigned long kSnapRequest = 0x200003d2;
    static constexpr unsigned long kSnapReply = 0x200003d3;
    static constexpr unsigned long kDeleteRequest = 0x200004f7;
    static constexpr unsigned long kDeleteReply = 0x200004f8;

    SpawnProcess getSpawnMode() const { return m_spawnMode; }
    int getEngineType() const { return m_engineType; }
    int getSnapType() const { return m_snapType; }
    bool isVerbose() const { return m_verbose; }
    std::string const& getHost() const { return m_host; }

protected:
    // The helper road of one operation: starts the helper when needed (logging
    // "CreateSnapUtilProcess failed" under tag when it cannot), then the exchange.
    int RunInHelper(SMVolSnapInfo& record, unsigned long requestType, unsigned long replyType, char const* tag);

    // Sets every field; the logger is a new default event owned by the executor.
    void initFields(int engineType, int snapType, bool verbose, std::string const& host,
                    JZJobCtrlClient* jobControl, SpawnProcess mode);

    CJzNetwork* m_channel = nullptr;          // helper-process channel; owned
    unsigned long m_replyType = 0;            // type of the last message received
    std::string m_host;                       // host of the helper process; "" when none
    JZJobCtrlClient* m_jobControl = nullptr;  // borrowed
    SpawnProcess m_spawnMode = SPAWN_IN_PROCESS;
    bool m_helperStarted = false;
    bool m_verbose = false;
    int m_engineType = 0;
    int m_snapType = 0;
    EvEvent* m_logger = nullptr;              // owned
};

class DbSnapUtil : public SnapUtilInterface {
public:
    DbSnapUtil(int engineType, int snapType, bool verbose, std::string const& host, JZJobCtrlClient* jobControl,
               SpawnProcess mode);
    ~DbSnapUtil() override;

    int PrepareSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) override;
    int Snap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag,
             unsigned long backupType) override;
    int DeleteSnap(SMVolSnapInfo& record, ErrorCallback callback, void* context, bool const& flag) override;
};
