// JzReplicationEngineDynamic: the process-wide wrapper of the replication-engine
// plug-in "libJzReplicationEngine.so" (found through the system's library
// search). getInstance opens the plug-in and asks it for an engine once; each
// member forwards to the plug-in's entry "<member>_C" with the engine instance
// first, binding the entry on first use. A missing library or engine gives a
// null object; a missing entry is logged and answered with 0 (and an error
// text where the member has one); nothing throws. One job thread uses it.
#pragma once

#include "nuvdbsnap/engine/replication_records.h"
#include "nuvdbsnap/platform/base/log.h"

#include <string>
#include <vector>

class CFzLibrary;
class JZJobCtrlClient;
class SMVolSnapInfo;

class JzReplicationEngineDynamic {
public:
    // The one object of the process: made (library opened, engine instance
    // taken) by the first call that succeeds; later calls return it and their
    // arguments are not used. Null when the library, its "getInstance_C" or an
    // engine instance is missing (the next call tries again).
    static JzReplicationEngineDynamic* getInstance(int engineMode, unsigned long long jobId,
                                                   JZJobCtrlClient* jobControl, EvEvent logger,
                                                   _ReplicationInputParams params);

    JzReplicationEngineDynamic(int engineMode, unsigned long long jobId, JZJobCtrlClient* jobControl,
                               EvEvent logger, _ReplicationInputParams params);
    JzReplicationEngineDynamic(JzReplicationEngineDynamic const&) = delete;
    JzReplicationEngineDynamic& operator=(JzReplicationEngineDynamic const&) = delete;
    ~JzReplicationEngineDynamic();

    void JzRepSetAppId(unsigned long value);
    void JzRepSetAppGUID(std::string value);
    void JzRepSetAppTypeId(unsigned long value);
    void JzRepSetClientId(unsigned long value);
    void JzRepSetInstanceId(unsigned long value);
    void JzRepSetBackupType(unsigned long value);
    void JzRepSetJobId(unsigned long long value);
    void JzRepSetBrannoxId(unsigned long value);
    void JzRepSetBrannoxName(std::string value);
    void JzRepSetClientName(std::string value);
    void JzRepSetNuvName(std::string value);
    void JzRepSetInstanceName(std::string value);
    void JzRepSetBackupSetName(std::string value);
    void JzRepSetSubClientName(std::string value);
    void JzRepSetStoragePolicyName(std::string value);
    void JzRepSetStoragePolicyCopyName(std::string value);
    void JzRepSetJobToken(std::string value);
    void Initialize();
    // Each returns the entry's result (0 = failure, with the error text set).
    int JzRepSetAddSourceForReplication(void* source, std::string& error);
    int JzRepSetAddSourceForReplication(void* source, unsigned long backupType, unsigned int archFileId,
                                        unsigned int copyId, std::string& error);
    int JzRepInitializeReplication(int& code, std::string& error);
    int JzRepReplicateSources(std::string& error);
    int JzRepUpdateSnapShotTables(SMVolSnapInfo& record, std::string& error);
    int JzRepSetSourceVolumeNamesList(void* list, std::string& error);
    int JzRepDoPreSnapOP(std::string& error);
    int JzRepGetDestinationSnapInformation(std::string& error);
    int ReserveArchiveFiles(std::string& error);
    int GetMetadataFiles(std::vector<std::string>& files);
    int JzRepShouldJobBeFailed();
    int JzGetJobPhaseStatus(void* status, unsigned int& phase, bool& failFlag);

    bool isLoaded() const { return m_library != nullptr && m_instance != nullptr; }

    // The plug-in's entries, in the wrapper's table order.
    enum Entry : int;

private:
    // The entry's address (bound on first use), or null after logging the
    // lookup failure under `member`; *loaderText then holds the loader's text.
    void* entry(Entry e, char const* member, std::string* loaderText);
    template <class R, class... A>
    R forward(Entry e, char const* member, std::string* error, A... args);

    static JzReplicationEngineDynamic* m_thisPtr;

    CFzLibrary* m_library = nullptr;
    void* m_instance = nullptr;
    EvEvent m_logger;
    void* m_getInstance = nullptr;
    void* m_entries[30] = {};
};
