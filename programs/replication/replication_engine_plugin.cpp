// libJzReplicationEngine.so: the local suite's replication engine. It
// replicates each snapshot handed to it into a replica under the state root: a
// point-in-time copy of the snapshot's copy made by the snapshot manager
// (reflink clones where the file system has them), registered in the
// catalogue as a snapshot of the job. It keeps a copy of the logger and the
// values set, never the job-control client it is handed.
//
// One engine serves every run of its process. A run starts with the job id
// being set: the sources of an earlier run are dropped then, and a new job id
// drops the earlier job's volume list and replicas too. The replication ends
// the run, replicated or not: its sources are taken, and the replicas (kept
// for the tables, the job status and the metadata file) are that run's alone.
// The metadata files are asked for without a job: they are the replicas of
// the process's job alone.
//
// Every entry takes the service-call step ("replication", "<entry>", args); a
// fault fails it with the fault's text as error text (JzGetJobPhaseStatus_C:
// a fault raises the fail flag).
#include "nuvdbsnap/engine/replication_records.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

class JZJobCtrlClient;

namespace {

struct Source {
    JzRepSourceForReplication source;
    unsigned long backupType = 0;
    unsigned int archFileId = 0;
    unsigned int copyId = 0;
};

struct Engine {
    int mode = 0;
    EvEvent logger;
    _ReplicationInputParams params;
    unsigned long appId = 0, appTypeId = 0, clientId = 0, brannoxId = 0, backupType = 0;
    unsigned long long jobId = 0;
    std::string clientName, brannoxName, instanceName, jobToken, appGUID;
    std::vector<JzRepSourceForBlkLvl> volumes;
    std::vector<Source> sources;
    bool initialized = false;
    bool replicated = false;
    SMVolSnapInfo replicas;

    // The sources handed over since the run started: gone with the run.
    void EndRun() {
        sources.clear();
        initialized = false;
    }
    // Everything a job left: its run, volume list and replicas.
    void ForgetJob() {
        EndRun();
        volumes.clear();
        replicated = false;
        replicas = SMVolSnapInfo();
    }
};

char const* const kService = "replication";

// The call step; false with *error (when given) set from the fault.
bool Enter(char const* call, std::string const& args, std::string* error = nullptr) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall(kService, call, args, &fault)) return true;
    if (error) *error = fault.text;
    return false;
}

Engine* Of(void* instance) { return static_cast<Engine*>(instance); }

}  // namespace

extern "C" {

#ifndef NUV_REP_WITHOUT_GETINSTANCE
void* getInstance_C(int mode, unsigned long long jobId, JZJobCtrlClient* /*jobControl*/, EvEvent logger,
                    _ReplicationInputParams params) {
    if (!Enter("getInstance_C", "job=" + std::to_string(jobId))) return nullptr;
#ifdef NUV_REP_NULL_INSTANCE
    return nullptr;
#else
    Engine* engine = new Engine();
    engine->mode = mode;
    engine->jobId = jobId;
    engine->logger = logger;
    engine->params = params;
    return engine;
#endif
}
#endif

void freeInstance_C(void* instance) { delete Of(instance); }

#define NUV_REP_NUMBER_SETTER(Entry, Field, Type)                              \
    void Entry(void* instance, Type value) {                                  \
        if (Enter(#Entry, std::to_string(value))) Of(instance)->Field = value; \
    }
NUV_REP_NUMBER_SETTER(JzRepSetAppId_C, appId, unsigned long)
NUV_REP_NUMBER_SETTER(JzRepSetAppTypeId_C, appTypeId, unsigned long)
NUV_REP_NUMBER_SETTER(JzRepSetClientId_C, clientId, unsigned long)
NUV_REP_NUMBER_SETTER(JzRepSetBrannoxId_C, brannoxId, unsigned long)
NUV_REP_NUMBER_SETTER(JzRepSetBackupType_C, backupType, unsigned long)
#undef NUV_REP_NUMBER_SETTER

// Setting the job id starts a run (see above).
void JzRepSetJobId_C(void* instance, unsigned long long value) {
    if (!Enter("JzRepSetJobId_C", std::to_string(value))) return;
    Engine& engine = *Of(instance);
    if (value != engine.jobId) engine.ForgetJob();
    engine.EndRun();
    engine.jobId = value;
}

#define NUV_REP_TEXT_SETTER(Entry, Field)                                    \
    void Entry(void* instance, std::string value) {                         \
        if (Enter(#Entry, "")) Of(instance)->Field = value;                  \
    }
NUV_REP_TEXT_SETTER(JzRepSetClientName_C, clientName)
NUV_REP_TEXT_SETTER(JzRepSetBrannoxName_C, brannoxName)
NUV_REP_TEXT_SETTER(JzRepSetInstanceName_C, instanceName)
NUV_REP_TEXT_SETTER(JzRepSetJobToken_C, jobToken)
NUV_REP_TEXT_SETTER(JzRepSetAppGUID_C, appGUID)
#undef NUV_REP_TEXT_SETTER

// Values this engine accepts and does not use.
void JzRepSetInstanceId_C(void*, unsigned long) { Enter("JzRepSetInstanceId_C", ""); }
void JzRepSetNuvName_C(void*, std::string) { Enter("JzRepSetNuvName_C", ""); }
void JzRepSetBackupSetName_C(void*, std::string) { Enter("JzRepSetBackupSetName_C", ""); }
void JzRepSetSubClientName_C(void*, std::string) { Enter("JzRepSetSubClientName_C", ""); }
void JzRepSetStoragePolicyName_C(void*, std::string) { Enter("JzRepSetStoragePolicyName_C", ""); }
void JzRepSetStoragePolicyCopyName_C(void*, std::string) { Enter("JzRepSetStoragePolicyCopyName_C", ""); }
void Initialize_C(void*) { Enter("Initialize_C", ""); }

int JzRepSetSourceVolumeNamesList_C(void* instance, void* list, std::string& error) {
    if (!Enter("JzRepSetSourceVolumeNamesList_C", "", &error)) return 0;
    Of(instance)->volumes = *static_cast<std::vector<JzRepSourceForBlkLvl>*>(list);
    return 1;
}

int JzRepDoPreSnapOP_C(void*, std::string& error) {
    if (!Enter("JzRepDoPreSnapOP_C", "", &error)) return 0;
    error = "no filter driver: checksum-based incremental";
    return 0;
}

int JzRepSetAddSourceForReplication_C(void* instance, void* source, std::string& error) {
    if (!Enter("JzRepSetAddSourceForReplication_C", "", &error)) return 0;
    Source s;
    s.source = *static_cast<JzRepSourceForReplication*>(source);
    s.backupType = Of(instance)->backupType;
    Of(instance)->sources.push_back(s);
    return 1;
}

int JzRepSetAddSourceForReplicationWithArchiveFileInfo_C(void* instance, void* source, unsigned long backupType,
                                                          unsigned int archFileId, unsigned int copyId,
                                                          std::string& error) {
    auto const* given = static_cast<JzRepSourceForReplication*>(source);
    if (!Enter("JzRepSetAddSourceForReplicationWithArchiveFileInfo_C", "snap=" + given->snapDevice, &error)) return 0;
    if (given->snapDevice.empty()) {
        error = "source [" + given->sourceMountPath + "] has no snap device";
        return 0;
    }
    Of(instance)->sources.push_back(Source{*given, backupType, archFileId, copyId});
    return 1;
}

int JzRepInitializeReplication_C(void* instance, int* code, std::string& error) {
    if (!Enter("JzRepInitializeReplication_C", "", &error)) {
        *code = -1;
        Of(instance)->EndRun();
        return 0;
    }
    if (Of(instance)->sources.empty()) {
        *code = -1;
        error = "no source was added for replication";
        return 0;
    }
    Of(instance)->initialized = true;
    return 1;
}

#ifndef NUV_REP_WITHOUT_REPLICATE
int JzRepReplicateSources_C(void* instance, std::string& error) {
    Engine& engine = *Of(instance);
    // This call ends the run whatever it gives: the sources are taken here and
    // no replica of an earlier run outlives it.
    std::vector<Source> const sources = std::move(engine.sources);
    bool const initialized = engine.initialized;
    engine.EndRun();
    engine.replicated = false;
    engine.replicas = SMVolSnapInfo();
    if (!Enter("JzRepReplicateSources_C", "job=" + std::to_string(engine.jobId), &error)) return 0;
    if (!initialized) {
        error = "replication is not initialized";
        return 0;
    }
    // The replicas: one point-in-time copy of each snapshot's copy.
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(engine.jobId));
    record.setBrannoxId(static_cast<int>(engine.brannoxId));
    record.setAppTypeId(static_cast<int>(engine.appTypeId));
    record.setSourceClientId(static_cast<int>(engine.clientId));
    for (Source const& s : sources) {
        SMVolumeInfo volume;
        volume.setSourcePath(s.source.snapDevice);
        volume.setJobId(static_cast<int>(engine.jobId));
        volume.setAppId(static_cast<int>(engine.appId));
        volume.setAppTypeId(static_cast<int>(engine.appTypeId));
        volume.setBrannoxId(static_cast<int>(engine.brannoxId));
        volume.setArchFileId(static_cast<int>(s.archFileId));
        volume.setCopyId(static_cast<int>(s.copyId));
        volume.setSourceGUID(s.source.sourceVolumeGUID);
        record.addVolume(volume);
    }
    JZSnapClientAPI client;
    if (!client.prepareVolumeSnaps(record) || !client.createVolumeSnaps(record)) {
        (void)client.getErrCodeAndStr(error);
        EvDebug::Error(&engine.logger, "JzReplicationEngine::ReplicateSources", "Replication failed: %s",
                       error.c_str());
        return 0;
    }
    // The replicas describe the source volumes they replicate.
    auto volume = record.volumeListBegin();
    for (Source const& s : sources) {
        volume->setSourcePath(s.source.sourceMountPath);
        volume->setSourceDevice(s.source.sourceDevice);
        ++volume;
    }
    engine.replicas = record;
    engine.replicated = true;
    return 1;
}
#endif

int JzRepUpdateSnapShotTables_C(void* instance, SMVolSnapInfo& record, std::string& error) {
    if (!Enter("JzRepUpdateSnapShotTables_C", "", &error)) return 0;
    if (!Of(instance)->replicated) {
        error = "nothing was replicated";
        return 0;
    }
    // The snapshot tables learn which source volume each replica holds.
    JZSnapClientAPI client;
    if (!client.updateVolumeSnaps(Of(instance)->replicas)) {
        (void)client.getErrCodeAndStr(error);
        return 0;
    }
    record = Of(instance)->replicas;
    return 1;
}

int JzRepGetDestinationSnapInformation_C(void* instance, std::string& error) {
    if (!Enter("JzRepGetDestinationSnapInformation_C", "", &error)) return 0;
    error.clear();
    for (auto it = Of(instance)->replicas.snapListBegin(); it != Of(instance)->replicas.snapListEnd(); ++it)
        error += (error.empty() ? "" : ",") + it->getSnapDevice();
    return Of(instance)->replicated ? 1 : 0;
}

int ReserveArchiveFiles_C(void*, std::string& error) { return Enter("ReserveArchiveFiles_C", "", &error) ? 1 : 0; }

// The metadata file of a replication: the replicas' record as XML in the
// job's results directory ("ReplicationMetadata_<job>.xml"). The entry names
// no job: it answers the process's job (its job context, else the job last
// set), and has none for a job that did not replicate in this process, not
// the replicas of an earlier job.
int GetMetadataFiles_C(void* instance, std::vector<std::string>& files) {
    files.clear();
    Engine& engine = *Of(instance);
    uint64_t const context = nuvbase::ProcessJobId();
    unsigned long long const asking = context != 0 ? context : engine.jobId;
    if (!Enter("GetMetadataFiles_C", "job=" + std::to_string(asking))) return 0;
    if (!engine.replicated || static_cast<unsigned long long>(engine.replicas.getJobId()) != asking) return 1;
    unsigned long const brannoxId = engine.brannoxId != 0 ? engine.brannoxId : engine.params.brannoxId;
    std::string directory, xml;
    CFzError e = MakeJobResultsDirectory(engine.jobId, &directory, static_cast<int>(brannoxId));
    if (!e.IsError() && JZSnapClientAPI_VolSnapInfoObjectToXMLStr(engine.replicas, xml) != 0)
        e = FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "the replicas' record cannot be written as XML");
    std::string const path = directory + "/ReplicationMetadata_" + std::to_string(engine.jobId) + ".xml";
    if (!e.IsError()) e = FXFile::WriteWhole(path, xml, 0644);
    if (e.IsError()) {
        EvDebug::Error(&engine.logger, "JzReplicationEngine::GetMetadataFiles", "%s", e.AsString().c_str());
        return 0;
    }
    files.push_back(path);
    return 1;
}

int JzRepShouldJobBeFailed_C(void*) {
    return Enter("JzRepShouldJobBeFailed_C", "") ? 0 : 1;
}

int JzGetJobPhaseStatus_C(void* instance, void* status, unsigned int* /*phase*/, bool* failFlag) {
    *static_cast<unsigned int*>(status) = Of(instance)->replicated ? 1u : 0u;
    *failFlag = !Enter("JzGetJobPhaseStatus_C", "");
    return 1;
}

}  // extern "C"
