// JzReplicationEngineDynamic (contract in the header): one table names every
// forwarded entry; one template forwards.
#include "nuvdbsnap/engine/replication_engine.h"

#include "nuvdbsnap/platform/base/library.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <type_traits>

enum JzReplicationEngineDynamic::Entry : int {
    kSetAppId, kSetAppTypeId, kInitialize, kGetDestinationSnapInformation, kUpdateSnapShotTables,
    kReplicateSources, kInitializeReplication, kSetJobToken, kSetStoragePolicyCopyName, kSetStoragePolicyName,
    kSetSubClientName, kSetBackupSetName, kSetClientName, kSetClientId, kSetInstanceId, kSetBackupType,
    kSetJobId, kSetAddSourceForReplication, kSetAddSourceWithArchiveFileInfo, kSetBrannoxId, kSetBrannoxName,
    kSetNuvName, kSetInstanceName, kReserveArchiveFiles, kSetAppGUID, kGetMetadataFiles, kShouldJobBeFailed,
    kGetJobPhaseStatus, kSetSourceVolumeNamesList, kDoPreSnapOP, kEntryCount
};

namespace {

struct EntryInfo {
    char const* symbol;       // the plug-in's entry
    char const* logName;      // X of "GetProcAddress error for X"
    char const* errorPrefix;  // the error text's start, before the loader's text
    bool needsInstance;       // answered 0 without an engine instance
};

// In the order of JzReplicationEngineDynamic::Entry.
EntryInfo const kEntries[] = {
    {"JzRepSetAppId_C", "JzRepSetAppId_C", "", false},
    {"JzRepSetAppTypeId_C", "JzRepSetAppTypeId_C", "", false},
    {"Initialize_C", "Initialize", "", false},
    {"JzRepGetDestinationSnapInformation_C", "JzRepGetDestinationSnapInformation",
     "GetProcAddress error for JzRepGetDestinationSnapInformation", false},
    {"JzRepUpdateSnapShotTables_C", "JzRepUpdateSnapShotTables", nullptr, false},
    {"JzRepReplicateSources_C", "JzRepReplicateSources", nullptr, false},
    {"JzRepInitializeReplication_C", "JzRepInitializeReplication", nullptr, false},
    {"JzRepSetJobToken_C", "JzRepSetJobToken", "", false},
    {"JzRepSetStoragePolicyCopyName_C", "JzRepSetStoragePolicyCopyName", "", false},
    {"JzRepSetStoragePolicyName_C", "JzRepSetStoragePolicyName", "", false},
    {"JzRepSetSubClientName_C", "JzRepSetSubClientName", "", false},
    {"JzRepSetBackupSetName_C", "JzRepSetBackupSetName", "", false},
    {"JzRepSetClientName_C", "JzRepSetClientName", "", false},
    {"JzRepSetClientId_C", "JzRepSetClientId", "", false},
    {"JzRepSetInstanceId_C", "JzRepSetInstanceId", "", false},
    {"JzRepSetBackupType_C", "JzRepSetBackupType", "", false},
    {"JzRepSetJobId_C", "JzRepSetJobId", "", false},
    {"JzRepSetAddSourceForReplication_C", "JzRepSetAddSourceForReplication", nullptr, false},
    {"JzRepSetAddSourceForReplicationWithArchiveFileInfo_C", "JzRepSetAddSourceForReplicationWithArchiveFileInfo",
     nullptr, false},
    {"JzRepSetBrannoxId_C", "JzRepSetBrannoxId", "", false},
    {"JzRepSetBrannoxName_C", "JzRepSetBrannoxName", "", false},
    {"JzRepSetNuvName_C", "JzRepSetNuvName", "", false},
    {"JzRepSetInstanceName_C", "JzRepSetInstanceName", "", false},
    {"ReserveArchiveFiles_C", "ReserveArchiveFiles", nullptr, false},
    {"JzRepSetAppGUID_C", "JzRepSetAppGUID_C", "", false},
    {"GetMetadataFiles_C", "m_fpGetMetadataFiles", "", true},
    {"JzRepShouldJobBeFailed_C", "JzRepShouldJobBeFailed", "", true},
    {"JzGetJobPhaseStatus_C", "JzGetJobPhaseStatus", "", true},
    {"JzRepSetSourceVolumeNamesList_C", "JzRepSetSourceVolumeNamesList", nullptr, false},
    {"JzRepDoPreSnapOP_C", "JzRepDoPreSnapOP", nullptr, false},
};
static_assert(sizeof kEntries / sizeof kEntries[0] == JzReplicationEngineDynamic::kEntryCount,
              "one table row per entry");

std::string Tag(char const* member) { return std::string("JzReplicationEngineDynamic::") + member; }

using GetInstanceFn = void* (*)(int, unsigned long long, JZJobCtrlClient*, EvEvent, _ReplicationInputParams);
using FreeInstanceFn = void (*)(void*);

}  // namespace

JzReplicationEngineDynamic* JzReplicationEngineDynamic::m_thisPtr = nullptr;

JzReplicationEngineDynamic* JzReplicationEngineDynamic::getInstance(int engineMode, unsigned long long jobId,
                                                                    JZJobCtrlClient* jobControl, EvEvent logger,
                                                                    _ReplicationInputParams params) {
    if (m_thisPtr == nullptr) {
        m_thisPtr = new JzReplicationEngineDynamic(engineMode, jobId, jobControl, logger, params);
        if (!m_thisPtr->isLoaded()) {
            delete m_thisPtr;
            m_thisPtr = nullptr;
        }
    }
    return m_thisPtr;
}

JzReplicationEngineDynamic::JzReplicationEngineDynamic(int engineMode, unsigned long long jobId,
                                                       JZJobCtrlClient* jobControl, EvEvent logger,
                                                       _ReplicationInputParams params)
    : m_logger(logger) {
    std::string const tag = Tag("JzReplicationEngineDynamic");
    m_library = new CFzLibrary(true);
    if (m_library->Load("libJzReplicationEngine.so", false).IsError()) {
        EvDebug::DebugLvl(&m_logger, -1, tag.c_str(), "Error Loading [lib]JZReplicationEngine.so/dll [%s]",
                          m_library->LoaderText().c_str());
        delete m_library;
        m_library = nullptr;
        return;
    }
    if (m_library->GetAddress("getInstance_C", m_getInstance).IsError()) {
        EvDebug::DebugLvl(&m_logger, -1, tag.c_str(), "GetProcAddress error for getInstance_C [%s]",
                          m_library->LoaderText().c_str());
        return;
    }
    m_instance = reinterpret_cast<GetInstanceFn>(m_getInstance)(engineMode, jobId, jobControl, m_logger, params);
    if (m_instance == nullptr)
        EvDebug::DebugLvl(&m_logger, -1, tag.c_str(), "m_poJzReplicationEngine not able to get the instance");
}

JzReplicationEngineDynamic::~JzReplicationEngineDynamic() {
    if (m_library == nullptr) return;
    void* freeInstance = nullptr;
    if (m_library->GetAddress("freeInstance_C", freeInstance).IsError()) {
        EvDebug::DebugLvl(&m_logger, -1, Tag("~JzReplicationEngineDynamic").c_str(),
                          "GetProcAddress error for freeInstance_C [%s]", m_library->LoaderText().c_str());
    } else if (m_instance != nullptr) {
        reinterpret_cast<FreeInstanceFn>(freeInstance)(m_instance);
    }
    delete m_library;  // closes the library
    m_library = nullptr;
}

void* JzReplicationEngineDynamic::entry(Entry e, char const* member, std::string* loaderText) {
    if (m_entries[e] == nullptr && m_library != nullptr)
        (void)m_library->GetAddress(kEntries[e].symbol, m_entries[e]);
    if (e == kGetMetadataFiles) EvDebug::DebugLvl(&m_logger, -1, Tag(member).c_str(), "adding file..");
    if (m_entries[e] != nullptr) return m_entries[e];
    *loaderText = m_library != nullptr ? m_library->LoaderText() : std::string();
    EvDebug::DebugLvl(&m_logger, -1, Tag(member).c_str(), "GetProcAddress error for %s [%s]", kEntries[e].logName,
                      loaderText->c_str());
    return nullptr;
}

template <class R, class... A>
R JzReplicationEngineDynamic::forward(Entry e, char const* member, std::string* error, A... args) {
    std::string loaderText;
    void* address = entry(e, member, &loaderText);
    if (address == nullptr) {
        if (error != nullptr) {
            char const* prefix = kEntries[e].errorPrefix;
            *error = prefix != nullptr && *prefix != '\0'
                         ? prefix + loaderText
                         : std::string("GetProcAddress error for ") + kEntries[e].logName + " " + loaderText;
        }
        if constexpr (std::is_void_v<R>) return;
        else return R(0);
    }
    if (kEntries[e].needsInstance && m_instance == nullptr) {
        EvDebug::DebugLvl(&m_logger, -1, Tag(member).c_str(), "Replication object not initilized");
        if constexpr (std::is_void_v<R>) return;
        else return R(0);
    }
    return reinterpret_cast<R (*)(void*, A...)>(address)(m_instance, args...);
}

#define NUV_REP_SETTER(Member, Type, EntryId)                                              \
    void JzReplicationEngineDynamic::Member(Type value) {                                  \
        forward<void, Type>(EntryId, #Member, nullptr, value);                             \
    }
NUV_REP_SETTER(JzRepSetAppId, unsigned long, kSetAppId)
NUV_REP_SETTER(JzRepSetAppGUID, std::string, kSetAppGUID)
NUV_REP_SETTER(JzRepSetAppTypeId, unsigned long, kSetAppTypeId)
NUV_REP_SETTER(JzRepSetClientId, unsigned long, kSetClientId)
NUV_REP_SETTER(JzRepSetInstanceId, unsigned long, kSetInstanceId)
NUV_REP_SETTER(JzRepSetBackupType, unsigned long, kSetBackupType)
NUV_REP_SETTER(JzRepSetJobId, unsigned long long, kSetJobId)
NUV_REP_SETTER(JzRepSetBrannoxId, unsigned long, kSetBrannoxId)
NUV_REP_SETTER(JzRepSetBrannoxName, std::string, kSetBrannoxName)
NUV_REP_SETTER(JzRepSetClientName, std::string, kSetClientName)
NUV_REP_SETTER(JzRepSetNuvName, std::string, kSetNuvName)
NUV_REP_SETTER(JzRepSetInstanceName, std::string, kSetInstanceName)
NUV_REP_SETTER(JzRepSetBackupSetName, std::string, kSetBackupSetName)
NUV_REP_SETTER(JzRepSetSubClientName, std::string, kSetSubClientName)
NUV_REP_SETTER(JzRepSetStoragePolicyName, std::string, kSetStoragePolicyName)
NUV_REP_SETTER(JzRepSetStoragePolicyCopyName, std::string, kSetStoragePolicyCopyName)
NUV_REP_SETTER(JzRepSetJobToken, std::string, kSetJobToken)
#undef NUV_REP_SETTER

void JzReplicationEngineDynamic::Initialize() { forward<void>(kInitialize, "Initialize", nullptr); }

int JzReplicationEngineDynamic::JzRepSetAddSourceForReplication(void* source, std::string& error) {
    return forward<int, void*, std::string&>(kSetAddSourceForReplication, "JzRepSetAddSourceForReplication", &error,
                                             source, error);
}

int JzReplicationEngineDynamic::JzRepSetAddSourceForReplication(void* source, unsigned long backupType,
                                                                unsigned int archFileId, unsigned int copyId,
                                                                std::string& error) {
    return forward<int, void*, unsigned long, unsigned int, unsigned int, std::string&>(
        kSetAddSourceWithArchiveFileInfo, "JzRepSetAddSourceForReplication", &error, source, backupType, archFileId,
        copyId, error);
}

int JzReplicationEngineDynamic::JzRepInitializeReplication(int& code, std::string& error) {
    int const result = forward<int, int*, std::string&>(kInitializeReplication, "JzRepInitializeReplication",
                                                         &error, &code, error);
    if (m_entries[kInitializeReplication] == nullptr) code = -1;
    return result;
}

int JzReplicationEngineDynamic::JzRepReplicateSources(std::string& error) {
    return forward<int, std::string&>(kReplicateSources, "JzRepReplicateSources", &error, error);
}

int JzReplicationEngineDynamic::JzRepUpdateSnapShotTables(SMVolSnapInfo& record, std::string& error) {
    return forward<int, SMVolSnapInfo&, std::string&>(kUpdateSnapShotTables, "JzRepUpdateSnapShotTables", &error,
                                                      record, error);
}

int JzReplicationEngineDynamic::JzRepSetSourceVolumeNamesList(void* list, std::string& error) {
    return forward<int, void*, std::string&>(kSetSourceVolumeNamesList, "JzRepSetSourceVolumeNamesList", &error, list,
                                             error);
}

int JzReplicationEngineDynamic::JzRepDoPreSnapOP(std::string& error) {
    return forward<int, std::string&>(kDoPreSnapOP, "JzRepDoPreSnapOP", &error, error);
}

int JzReplicationEngineDynamic::JzRepGetDestinationSnapInformation(std::string& error) {
    return forward<int, std::string&>(kGetDestinationSnapInformation, "JzRepGetDestinationSnapInformation", &error,
                                      error);
}

int JzReplicationEngineDynamic::ReserveArchiveFiles(std::string& error) {
    return forward<int, std::string&>(kReserveArchiveFiles, "ReserveArchiveFiles", &error, error);
}

int JzReplicationEngineDynamic::GetMetadataFiles(std::vector<std::string>& files) {
    return forward<int, std::vector<std::string>&>(kGetMetadataFiles, "GetMetadataFiles", nullptr, files);
}

int JzReplicationEngineDynamic::JzRepShouldJobBeFailed() {
    return forward<int>(kShouldJobBeFailed, "JzRepShouldJobBeFailed", nullptr);
}

int JzReplicationEngineDynamic::JzGetJobPhaseStatus(void* status, unsigned int& phase, bool& failFlag) {
    return forward<int, void*, unsigned int*, bool*>(kGetJobPhaseStatus, "JzGetJobPhaseStatus", nullptr, status,
                                                     &phase, &failFlag);
}
