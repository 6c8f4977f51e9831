// The full road: per snap job, mount its snapshots on the data mover, start
// the file-restore program, send it every source and destination path of the
// snap job, wait for its answer and unmount.
#include "nuvdbsnap/restore/snap_restore.h"

#include "nuvdbsnap/engine/hold_file.h"
#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

char const kTag[] = "IdxRestore::restoreData";
constexpr uint32_t kOracleStreamsOption = 0x4CBC8BB3;
constexpr uint32_t kStreamsOption = 0x38EB7735;

// The source-path entries of one run, released on every road out.
class SnapEntries {
public:
    ~SnapEntries() { release(); }
    void release() {
        int n = static_cast<int>(m_count);
        NuvSnapRestore::freeSnapArray(m_entries, n);
        m_entries = nullptr;
        m_count = m_capacity = 0;
    }
    FSRSnapSrcPath& add() {
        if (m_count == m_capacity) {
            size_t grown = m_capacity + 1024;
            auto* bigger = static_cast<FSRSnapSrcPath*>(std::realloc(m_entries, grown * sizeof(FSRSnapSrcPath)));
            if (bigger == nullptr) throw std::bad_alloc();
            m_entries = bigger;
            m_capacity = grown;
        }
        FSRSnapSrcPath* e = new (&m_entries[m_count++]) FSRSnapSrcPath();
        return *e;
    }
    FSRSnapSrcPath* data() { return m_entries; }
    uint32_t count() const { return static_cast<uint32_t>(m_count); }

private:
    FSRSnapSrcPath* m_entries = nullptr;
    size_t m_count = 0;
    size_t m_capacity = 0;
};

// Unmounts a run's snapshots when the road leaves before the planned unmount.
class MountGuard {
public:
    MountGuard(NuvSnapRestore& restore, ArchFileInfo const& first) : m_restore(restore), m_first(first) {}
    ~MountGuard() {
        if (m_armed) (void)m_restore.unmountSnapshots(m_first);
    }
    void arm() { m_armed = true; }
    void disarm() { m_armed = false; }

private:
    NuvSnapRestore& m_restore;
    ArchFileInfo const& m_first;
    bool m_armed = false;
};

}  // namespace

void NuvSnapRestore::freeSnapArray(FSRSnapSrcPath* entries, int const& count) {
    if (entries == nullptr) return;
    for (int i = 0; i < count; ++i) {
        std::free(entries[i].srcPath);
        std::free(entries[i].destPath);
    }
    std::free(entries);
}

void NuvSnapRestore::setNumberofStreams(EvRstTask& task, unsigned long const& numArchFiles) {
    char const tag[] = "IdxRestore::setNumberofStreams";
    long streams = 1;
    uint64_t appType = 0;
    (void)task.getAppTypeId(appType, nullptr);
    if (appType == 22 || appType == 80 || appType == 61 || appType == 135) {
        int64_t value = 1;
        if (task.getOptionNumber(kOracleStreamsOption, value, nullptr) != 0) {
            EvDebug::Error(nullptr, tag,
                           "Failed to get the Oracle restore streams option ORACLERSTOPTION_RESTORE_STREAM  from "
                           "EvRstTask. Setting it to 1");
            value = 1;
        }
        streams = static_cast<long>(value);
    } else if (appType == 37 || appType == 62 || appType == 103 || appType == 5) {
        bool const db2 = appType != 5;
        JZPlatformInfo info(1, 1);
        unsigned long value = 0;
        if (info.getNumber(db2 ? "Db2Agent" : "SybaseAgent", "RESTORESTREAMS", &value) == 0) {
            if (db2)
                EvDebug::Error(nullptr, tag,
                               "failed to read  the RESTORESTREAMS parameter from DB2Agent registry, "
                               "\t\t\t\t\t\t\t\t\tdefaulting to number of archive files: [%lu]",
                               numArchFiles);
            else
                EvDebug::Error(nullptr, tag,
                               "failed to read  the RESTORESTREAMS parameter from Sybase Agent registry,        "
                               "                     defaulting to number of archive files: [%lu]",
                               numArchFiles);
            value = numArchFiles;
        }
        streams = static_cast<long>(value);
    } else {
        EvDebug::Error(nullptr, tag, "unsupported apptype [%ld] defaulting the streams to 1", static_cast<long>(appType));
    }
    EvDebug::Debug(nullptr, tag, "Got the number of restore streams as [%ld] number of archivefiles to restore from =[%lu].",
                   streams, numArchFiles);
    (void)task.setOptionNumber(kStreamsOption, static_cast<int32_t>(streams), nullptr);
}

int NuvSnapRestore::getRestoreSarnelAndMountSnap(ArchFileInfo const& first, unsigned long& clientId,
                                                 std::string& host) {
    char const tag[] = "IdxRestore::getRestoreSarnelAndMountSnap";
    GetRestoreSarnelInput_t in;
    GetRestoreSarnelOutput_t out;
    in.archFileId = static_cast<int32_t>(first.archFileId);
    in.brannoxId = static_cast<int32_t>(first.brannoxId);
    in.copyId = first.copyId;
    in.jobId = static_cast<int32_t>(jobId());
    in.destClientName = m_destClientName;
    EvDebug::DebugLvl(m_event, 6, tag,
                      "calling arMgr.getRestoreSarnel with arguments archiveFildId=%u, jobId=[%u:%lld], copyId=[%d] "
                      "destClientName=[%s]",
                      first.archFileId, first.brannoxId, static_cast<long long>(jobId()), first.copyId,
                      m_destClient.c_str());
    ArMgrClientAPI arMgr;
    int rc = arMgr.getRestoreSarnel(&in, &out);
    if (rc != 0) {
        failed(tag,
                       "calling arMgr.getRestoreSarnel failed with an error [%d] arguments = [archiveFildId=%u, "
                       "jobId=[%u:%lld], copyId=[%d] destClientName=[%s]",
                       rc, first.archFileId, first.brannoxId, static_cast<long long>(jobId()), first.copyId,
                       m_destClient.c_str());
        return -1;
    }
    EvDebug::Debug(m_event, tag, "Got the proxy host [%s] for snap mount for the job [%u:%lld]", out.sarnelHost.c_str(),
                   first.brannoxId, static_cast<long long>(first.snapJobId));
    std::string hostName, clientName;
    int port = 0, brannox = 0;
    (void)DemangleHostName(out.sarnelHost.c_str(), hostName, clientName, port, brannox);
    JZClient client(clientName, false, 0);
    if (client.getClientId(clientId, nullptr) != 0) {
        failed(tag, "Failed to fetch the clientId for the proxyHost [%s]", clientName.c_str());
        return -2;
    }
    host = out.sarnelHost;
    return 0;
}

int NuvSnapRestore::attachToProcess(CJzNetwork& link, std::string const& host, char const* executable,
                                    JZJobCtrlClient* jobCtrlClient, std::string& commandLine, std::string& error,
                                    std::string const&) {
    char const tag[] = "IdxRestore::attachToProcess";
    char const* token = jobCtrlClient->GetJobToken();
    bool const hasToken = token != nullptr && token[0] != '\0';
    commandLine += FXString::Format(" -j %lld ", static_cast<long long>(jobCtrlClient->GetJobID())) +
                   (hasToken ? "-jt" : "") + " " + (hasToken ? token : "") + "  ";
    CNSession::jzsExecuteRemoteCommandType request;
    request.setint64(1, 1, 0);
    request.setstring(2, 2, executable);
    request.setstring(3, 3, commandLine);
    request.setint64(4, 4, 1);
    request.setint64(5, 5, 0);
    EvDebug::Debug(m_event, tag, "dataAgentAttach-> remoteExecutableName=%s commandLineArgs=%s, HostName=%s", executable,
                   "<arguments>", host.c_str());
    JZPlatformInfo info;
    std::string local;
    if (info.getJZPlatformType() & 1) {
        char name[256] = {};
        if (info.getKelvanerClientName(name, sizeof name) != 0) local = name;
    } else if (char const* machine = info.getPhysicalMachine()) {
        local.assign(machine, strnlen(machine, 255));
    }
    bool retry = false;
    CFzError e = link.Attach_RemoteCommand(host.c_str(), &request, nullptr, local.c_str(), 120, retry);
    if (e.IsError()) {
        error = e.AsString();
        EvDebug::Debug(m_event, tag, "dataAgentAttach() failed: m_jzsMux.getLastError: Error=[%s]", error.c_str());
        return 0;
    }
    EvDebug::Debug(m_event, tag, " after dataAgentAttach-> remoteExecutableName=%s commandLineArgs=%s, HostName=%s",
                   executable, "<arguments>", host.c_str());
    return 1;
}

int NuvSnapRestore::receiveMessage(CJzNetwork& link, jzsDatabuf_v2& buffer, unsigned long& messageType) {
    char const tag[] = "IdxRestore::receiveMessage";
    messageType = 0;
    for (;;) {
        while (nuvengine::HoldFileHolds(nuvengine::kSnapUtilHoldFile, m_event, tag)) usleep(1000 * 1000);
        bool retry = false;
        CFzError e = link.ReceiveXDRMessage(&messageType, buffer, nullptr, 0, 0, retry);
        if (e.IsError() && !retry) {
            EvDebug::Debug(m_event, "DbSnapUtil::ReceiveXDRMessage", "getLastError: Error=[%s]\n", e.AsString().c_str());
            return -1;
        }
        if (!retry) break;
        usleep(100 * 1000);
    }
    EvDebug::Debug(m_event, tag, "dataRecv = [%d] rcvMsgType = [%ld] ", 1, static_cast<long>(messageType));
    return 0;
}

int NuvSnapRestore::unmountSnapshots(ArchFileInfo const& archFile) {
    char const tag[] = "IdxRestore::unmountSnapshots";
    if (archFile.archFileKind != 0) return 0;
    NuvSnapUtil util(0, JZBkpLevel(0), nullptr, 1, true, m_jobCtrlClient, const_cast<char*>(m_destClient.c_str()),
                     SPAWN_IN_PROCESS);
    CFzError init = util.initialize();
    if (init.IsError()) EvDebug::Error(m_event, tag, "Failed to load blocklevel details %s", init.AsString().c_str());
    EvDebug::Debug(m_event, tag, "++unmountSnapshots called.");
    CFzError e = m_snapsMounted ? util.UnmountSnapshots(m_snapInfo)
                                : util.UnmountSnapshots(archFile.brannoxId, static_cast<long long>(archFile.snapJobId));
    if (e.IsError()) {
        EvDebug::Error(m_event, tag, "Failed to unmount snapshot for jobId [%u:%lld], error=%s", archFile.brannoxId,
                       static_cast<long long>(archFile.snapJobId), e.AsString().c_str());
        return -1;
    }
    return 0;
}

int NuvSnapRestore::fullRestore(std::list<ArchFileInfo>& archFiles) {
    if (m_jobCtrlClient == nullptr) {
        failed(kTag, "No job-control client for the full restore (Init was not called)");
        return -1;
    }
    // The snap jobs in the order of their first archive file; each run holds
    // every archive file of its job, wherever it stands in the list.
    std::vector<NuvSnapRestoreJob> jobs;
    std::vector<std::vector<ArchFileInfo*>> runs;
    for (ArchFileInfo& af : archFiles) {
        NuvSnapRestoreJob key(af.brannoxId, af.snapJobId);
        size_t i = 0;
        while (i < jobs.size() && jobs[i] != key) ++i;
        if (i == jobs.size()) {
            jobs.push_back(key);
            runs.emplace_back();
        }
        runs[i].push_back(&af);
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        int rc = restoreSnapJob(jobs[i], runs[i]);
        if (rc != 0) return rc;
    }
    EvDebug::Debug(m_event, kTag, "Restore of all files completed successfully");
    return 0;
}

int NuvSnapRestore::restoreSnapJob(NuvSnapRestoreJob const& job, std::vector<ArchFileInfo*> const& run) {
    SnapEntries entries;
    std::vector<unsigned int> archFileIds;
    bool needsMount = false;
    for (ArchFileInfo* af : run) {
        if (m_jobCtrlClient->checkQuitFlag() != 0) {
            failed(kTag, "Quit Flag has been set.. exiting from restore");
            return 1;
        }
        archFileIds.push_back(af->archFileId);
        needsMount = needsMount || af->archFileKind == 0;
        bool wholeFileDone = false;
        for (DataFileInfo const& df : af->dataFiles) {
            std::string const& target = df.destPath.empty() ? df.srcPath : df.destPath;
            // The copy of a snapshot makes missing directories as the snapshot holds them.
            bool const ready = af->archFileKind == 0 ? checkDirectoryStructure(target)
                                                     : createDirectoryStructureIfNotExist(target);
            if (!ready) {
                failed(kTag, "Failed to create directory for path %s", df.srcPath.c_str());
                return -2;
            }
            if (af->archFileKind != 0 && wholeFileDone) continue;
            wholeFileDone = true;
            FSRSnapSrcPath& e = entries.add();
            e.info8 = af->archFileKind;
            e.info16 = af->archFileId;
            e.info24 = static_cast<int64_t>(af->snapJobId);
            if (af->archFileKind == 0) {
                e.srcPath = strdup(df.srcPath.c_str());
                if (!df.destPath.empty()) e.destPath = strdup(df.destPath.c_str());
                EvDebug::DebugLvl(m_event, 2, kTag, " allocatedLen = [%d] source path = [%s] dest path = [%s]",
                                  static_cast<int>(entries.count() - 1), e.srcPath,
                                  e.destPath ? e.destPath : "NULL");
            }
        }
    }
    {
        EvRstTask task(static_cast<long long>(jobId()), 0, nullptr, false);
        setNumberofStreams(task, static_cast<unsigned long>(run.size()));
    }
    if (run.empty()) {
        EvDebug::Error(m_event, kTag, "No archive files found for snap job [%u:%lld]", job.brannoxId,
                       static_cast<long long>(job.snapJobId));
        return 0;
    }
    if (m_jobCtrlClient->checkQuitFlag() != 0) {
        failed(kTag, "Quit flag set bailing out ");
        return -1;
    }
    ArchFileInfo const& first = *run.front();
    // A run that mixes kinds mounts when any of its archive files needs the snapshot.
    ArchFileInfo mountKey = first;
    mountKey.archFileKind = needsMount ? 0 : first.archFileKind;
    MountGuard mount(*this, mountKey);
    if (needsMount) {
        unsigned long clientId = 0;
        std::string host;
        if (getRestoreSarnelAndMountSnap(first, clientId, host) != 0) {
            failed(kTag, "Failed to mount snaps for snap jobId %u:%lld", job.brannoxId,
                           static_cast<long long>(job.snapJobId));
            return -1;
        }
        NuvSnapUtil util(0, JZBkpLevel(0), nullptr, 1, true, m_jobCtrlClient, const_cast<char*>(host.c_str()),
                         SPAWN_IN_PROCESS);
        util.setBrannoxId(static_cast<int>(first.brannoxId));
        util.setClientId(static_cast<int>(clientId));
        CFzError init = util.initialize();
        if (init.IsError()) EvDebug::Error(m_event, kTag, "Failed to load blocklevel details %s", init.AsString().c_str());
        EvRstTask task(static_cast<long long>(jobId()), 0, nullptr, true);
        uint64_t appType = 0;
        (void)task.getAppTypeId(appType, nullptr);
        CFzError e;
        if (appType == 103) {
            e = util.LoadAndMountVolumesForArchiveFiles(archFileIds, first.brannoxId, m_snapInfo);
            if (!e.IsError()) m_snapsMounted = true;
        } else {
            long long snapJob = static_cast<long long>(first.snapJobId);
            e = util.LoadAndMountVolumestForJobID(snapJob, true, 0);
        }
        // A mount that failed half way is taken down as well.
        mount.arm();
        if (e.IsError()) {
            failed(kTag,
                           "Failed while mounting the snapshot on proxyhost clientId = [%lu],Please check the JZKK.log "
                           "on proxyClient, error=%s",
                           clientId, e.AsString().c_str());
            return -1;
        }
    }
    std::string commandLine = FXString::Format("%lld %lld -clientInvoked -snapJID %u:%lld ",
                                               static_cast<long long>(jobId()), static_cast<long long>(jobId()),
                                               job.brannoxId, static_cast<long long>(job.snapJobId));
    JZPlatformInfo kv(4, 1);
    char kvName[256] = {};
    if (kv.getCommClientKVClientName(kvName, sizeof kvName) == 0) {
        EvDebug::Debug(m_event, kTag, " getCommClientKVClientName Failed ");
        noteCause("The central server's client name was not found");
        return -1;
    }
    EvDebug::Debug(m_event, "jzpi.getCommClientKVClientName", "Kelvaner clientname %s", kvName);
    std::string kvHost;
    JZClient kvClient(kvName, false, 0);
    if (kvClient.getNetworkHostnameMangled(kvHost, nullptr) != 0) {
        failed(kTag, "Failed while getting the mangled KV name from AppManager");
        return -1;
    }
    CJzNetwork link;
    std::string error;
    if (attachToProcess(link, kvHost, "Brisvolk.exe", m_jobCtrlClient, commandLine, error, std::string()) == 0) {
        failed(kTag, "failed  to start the process Brisvolk.exe on KV retVal = %d, error=[%s]", 0,
                       error.c_str());
        return -1;
    }
    EvDebug::Debug(m_event, kTag, " Successfully invoked Brisvolk with commandLineArgs = %s", "<arguments>");
    FSRSnapSrcPathArray message;
    message.lastArchFileKind = run.back()->archFileKind;
    message.firstArchFileKind = static_cast<int32_t>(first.archFileKind);
    message.count = entries.count();
    message.entries = entries.data();
    jzsDatabuf_v2 out;
    out.setExternalBuffer(reinterpret_cast<char*>(&message), sizeof message);
    bool retry = false;
    CFzError sent = link.SendXDRMessage(FSR_SNAP_SRC_PATH_ARRAY, out, 0, -1, retry);
    if (sent.IsError()) {
        EvDebug::Debug(m_event, kTag, "-getLastError for send: Error =[%s]\n", sent.AsString().c_str());
        noteCause("The paths were not sent to Brisvolk.exe: " + sent.AsString());
        return -2;
    }
    entries.release();
    FSRRestoreReply reply;
    jzsDatabuf_v2 in;
    in.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
    unsigned long type = 0;
    // The receive may wait without end (the debugging hold): the snapshots are
    // unmounted after it only on the planned road below.
    if (receiveMessage(link, in, type) != 0) {
        failed(kTag, "Failed while receiving the message from Brisvolk");
        return -3;
    }
    for (uint32_t i = 0; i < reply.count; ++i) {
        FSRFileReport const& r = reply.reports[i];
        if (r.error != 0)
            failed(kTag, "[%s] was not restored: %s", r.srcPath ? r.srcPath : "", r.errorText ? r.errorText : "");
        else
            EvDebug::DebugLvl(m_event, 2, kTag, "[%s] restored to [%s], %llu bytes", r.srcPath ? r.srcPath : "",
                              r.destPath ? r.destPath : "", static_cast<unsigned long long>(r.bytes));
    }
    std::string const replyError = reply.errorText != nullptr ? reply.errorText : "";
    CJzNetwork::FreeXDRMessage(type, in);
    mount.disarm();
    (void)unmountSnapshots(mountKey);
    if (type == FSR_RESTORE_END) {
        EvDebug::Debug(m_event, kTag, "restore for job [%u:%lld] completed successfully.", job.brannoxId,
                       static_cast<long long>(job.snapJobId));
        return 0;
    }
    if (type == FSR_MSG_FATAL_ERROR) {
        EvDebug::Debug(m_event, kTag, "restore job failed with an error. Please check the logs");
        noteCause(!replyError.empty() ? replyError : "Brisvolk.exe reported a fatal error");
        return -4;
    }
    failed(kTag, "Message received is not FSR_RESTORE_END or FSR_MSG_FATAL_ERROR , unknown msgType [%lu] ", type);
    return -5;
}
