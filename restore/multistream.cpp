// The multi-stream restore: the per-job work once, then one partial restore
// per stream on a thread pool, fed and waited for by a monitor thread.
#include "nuvdbsnap/restore/snap_restore.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/thread.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/jobmgr/task_files.h"

#include "destination_client.h"

#include <boost/make_shared.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

char const kTag[] = "NuvSnapRestore::multithreadedRestore";

struct RestoreThreadParams {
    MultiThreadedRestoreParams* m_params;
    JzRstInitParams* m_slot;
    int m_streamNo;
};

// Builds a slot's path arrays from a stream's archive files (a counting pass,
// then a collecting pass) and frees them again.
class NuvSnapRestoreUtil {
public:
    NuvSnapRestoreUtil(JzRstInitParams& slot, unsigned long restoreFlags)
        : m_initParams(&slot), m_restoreFlags(restoreFlags) {}
    NuvSnapRestoreUtil(NuvSnapRestoreUtil const&) = delete;
    NuvSnapRestoreUtil& operator=(NuvSnapRestoreUtil const&) = delete;

    void operator()(ArchFileInfo& af) {
        if (m_counting) {
            m_count += af.dataFiles.size();
            return;
        }
        for (DataFileInfo& df : af.dataFiles) (*this)(df);
    }

    void setCountFlagOff() {
        m_counting = false;
        if (m_initParams->srcPaths != nullptr) return;
        g_ptrLogWriter->Write(2, kTag, 0, "Number of source paths = [%d]", static_cast<int>(m_count));
        m_srcArray = static_cast<char**>(std::calloc(m_count + 1, sizeof(char*)));
        if (m_restoreFlags & 0x8) m_destArray = static_cast<char**>(std::calloc(m_count + 1, sizeof(char*)));
        m_initParams->srcPaths = m_srcArray;
        m_initParams->destPaths = m_destArray;
        m_allocated = true;
    }

    void operator()(DataFileInfo& df) {
        JzRstInitParams& p = *m_initParams;
        if (p.srcPaths == nullptr || static_cast<uint64_t>(p.numSrcPaths) >= m_count) return;
        char* src = strdup(df.srcPath.c_str());
        p.srcPaths[p.numSrcPaths] = src;
        if ((m_restoreFlags & 0x8) && p.destPaths != nullptr) {
            p.destPaths[p.numDestPaths] =
                !df.destPath.empty() && df.destPath != df.srcPath ? strdup(df.destPath.c_str()) : src;
            ++p.numDestPaths;
        }
        ++p.numSrcPaths;
    }

    // Frees the arrays it made and their paths (an array of a stream without
    // data files too), whatever the slot points at by then.
    ~NuvSnapRestoreUtil() {
        if (!m_allocated) return;
        JzRstInitParams& p = *m_initParams;
        for (uint64_t i = 0; i < m_count && m_srcArray != nullptr && m_srcArray[i] != nullptr; ++i) {
            if (m_destArray != nullptr && m_destArray[i] != nullptr && m_destArray[i] != m_srcArray[i])
                std::free(m_destArray[i]);
            std::free(m_srcArray[i]);
        }
        std::free(m_destArray);
        std::free(m_srcArray);
        p.srcPaths = p.destPaths = nullptr;
        p.numSrcPaths = p.numDestPaths = 0;
    }

    uint64_t count() const { return m_count; }

private:
    JzRstInitParams* m_initParams;
    uint64_t m_count = 0;
    bool m_counting = true;
    unsigned long m_restoreFlags;
    bool m_allocated = false;
    char** m_srcArray = nullptr;   // the arrays it made
    char** m_destArray = nullptr;
};

void StreamEnded(MultiThreadedRestoreParams& params, int code, std::string const& cause) {
    params.m_lock.enter(true);
    if (params.m_result == 0 && code != 0) {
        params.m_result = code;
        params.m_failureText = cause;
    }
    --params.m_pending;
    params.m_lock.leave();
}

void* RestoreThread(void* threadParams) {
    auto* p = static_cast<RestoreThreadParams*>(threadParams);
    auto& stream = (*p->m_params->m_streams)[p->m_streamNo];
    g_ptrLogWriter->Write(2, kTag, 0, "stream no = [%d]  number of ArchFiles in stream = [%lu]", p->m_streamNo,
                          static_cast<unsigned long>(stream.size()));
    std::string cause;
    int code = NuvSnapRestore::restoreStream(*p->m_params, stream, *p->m_slot, &cause);
    StreamEnded(*p->m_params, code, cause);
    return nullptr;
}

}  // namespace

int NuvSnapRestore::multithreadedRestore(MultiThreadedRestoreParams& params) {
    JzThread monitor;
    if (monitor.createThread(&NuvSnapRestore::MonitorMultiThreadRestore, &params) != 0) {
        EvDebug::Error(params.m_event, kTag, "The monitor thread did not start");
        params.m_failureText = "The monitor thread did not start";
        return -1;
    }
    if (monitor.joinThread(nullptr) != 0) EvDebug::Error(params.m_event, kTag, "Terminating the thread");
    if (params.m_threadPool) params.m_threadPool->terminateAllThreads();
    return params.m_result;
}

void* NuvSnapRestore::MonitorMultiThreadRestore(void* arg) {
    auto& params = *static_cast<MultiThreadedRestoreParams*>(arg);
    auto& streams = *params.m_streams;
    params.m_threadPool = boost::make_shared<JzThreadPool>();
    std::vector<JzRstInitParams> slots(streams.size());
    // The tasks' parameters are the monitor's, like the slots: a task the pool
    // drops unstarted leaves nothing behind.
    std::vector<RestoreThreadParams> tasks(streams.size());
    // The per-job work sets the task's destination client for the streams;
    // it is set back however the monitor ends.
    long long const job = static_cast<long long>(params.m_event != nullptr ? params.m_event->getJobId() : 0);
    uint64_t savedClient = 0;
    {
        EvRstTask task(job, 0, nullptr, false);
        (void)task.getDestinationClientId(savedClient, nullptr);
    }
    std::optional<DestinationClientRestorer> restorer;

    // The per-job work, once for every stream: task values, token file,
    // redirect decision and one map file with the lines of every stream.
    {
        NuvSnapRestore prep(params.m_event, false, params.m_jobCtrlClient, params.m_restoreFlags);
        restorer.emplace(job, savedClient, prep.m_destClientId != savedClient);
        std::vector<std::list<ArchFileInfo>*> lists;
        for (auto& s : streams) lists.push_back(&s.second);
        std::string options;
        if (params.m_multiplexed) {
            CExtendedOptions ext;
            ext.setOption("DBRestoreFromMultiplexedBackup", 1);
            ext.getOptions(options);
        }
        long long snapJob = 0;
        for (auto& s : streams)
            if (!s.second.empty()) {
                snapJob = static_cast<long long>(s.second.front().snapJobId);
                break;
            }
        int rc = prep.prepareJob(snapJob, lists, options, *params.m_initParams);
        if (rc != 0) {
            params.m_result = rc;
            params.m_failureText = prep.failureText();
            params.m_threadPool.reset();
            return &params.m_result;
        }
        params.m_redirect = prep.m_redirect;
    }

    JzRstInitParams const& shared = *params.m_initParams;
    if (shared.userName != nullptr && shared.userName[0] != '\0') {
        EvRstTask task(shared.jobId, 0, nullptr, false);
        (void)task.setOptionString(0x4322B07D, shared.userName, nullptr);
        if (shared.password != nullptr && shared.password[0] != '\0') (void)task.setPassword(shared.password, nullptr);
    }

    unsigned long const n = streams.size();
    if (params.m_threadPool->initThreadPool("SapIdxRestore", 0, n, static_cast<unsigned>(n + 1), 0) == 0) {
        EvDebug::Debug(params.m_event, kTag, "Thread Pool initialization failed errno={%d]", errno);
        params.m_result = -1;
        params.m_failureText = "Thread Pool initialization failed: " + std::string(strerror(errno));
        params.m_threadPool.reset();
        return &params.m_result;
    }
    size_t next = 0;
    for (auto& s : streams) {
        if (g_ptrLogWriter->enabled(15))
            g_ptrLogWriter->Write(15, kTag, 0, "stream no = [%d]  number of ArchFiles in stream = [%lu]", s.first,
                                  static_cast<unsigned long>(s.second.size()));
        slots[next] = shared;
        tasks[next] = RestoreThreadParams{&params, &slots[next], s.first};
        RestoreThreadParams* task = &tasks[next];
        ++next;
        if (params.m_threadPool->doWork(&RestoreThread, task) == 0) {
            EvDebug::Error(params.m_event, kTag, "Stream %d could not be queued", s.first);
            StreamEnded(params, -1, "Stream " + std::to_string(s.first) + " could not be queued");
        }
    }
    if (params.m_threadPool->waitForAllThreads(true, true, true, -1) == 0)
        EvDebug::Error(params.m_event, kTag, "Waiting for all the threads to finish failed with an error");
    // The slots and the tasks' parameters stay until no task can use them any more.
    params.m_threadPool->terminateAllThreads();
    params.m_lock.enter(true);
    if (params.m_pending != 0 && params.m_result == 0) {
        EvDebug::Error(params.m_event, kTag, "%lu streams never finished", params.m_pending);
        params.m_result = -1;
        params.m_failureText = std::to_string(params.m_pending) + " streams never finished";
    }
    params.m_lock.leave();
    params.m_threadPool.reset();
    return &params.m_result;
}

int NuvSnapRestore::doRestore(MultiThreadedRestoreParams& params, std::list<ArchFileInfo>& stream, JzRstInitParams& slot) {
    return restoreStream(params, stream, slot, nullptr);
}

int NuvSnapRestore::restoreStream(MultiThreadedRestoreParams& params, std::list<ArchFileInfo>& stream,
                                  JzRstInitParams& slot, std::string* cause) {
    char const tag[] = "NuvSnapRestore::doRestore";
    if (stream.empty()) return 0;
    NuvSnapRestoreUtil util(slot, params.m_restoreFlags);
    if (slot.numSrcPaths == 0) {
        for (ArchFileInfo& af : stream) util(af);
        util.setCountFlagOff();
        for (ArchFileInfo& af : stream) util(af);
        if (slot.numDestPaths == 0) {
            slot.numDestPaths = 0;
            slot.destPaths = util.count() > 0 && (params.m_restoreFlags & 0x8) ? slot.destPaths : nullptr;
        }
    }
    if (params.m_rstJobClient == nullptr) {
        EvDebug::Error(params.m_event, tag, "Job object not passed for restore");
        if (cause != nullptr) *cause = "Job object not passed for restore";
        return -1;
    }
    slot.jobId = static_cast<int64_t>(params.m_event != nullptr ? params.m_event->getJobId() : 0);
    NuvSnapRestore restore(params.m_event, false, params.m_jobCtrlClient, params.m_restoreFlags);
    restore.m_restoreType = "DBDiskRestore";
    restore.m_jobPrepared = true;
    restore.m_redirect = params.m_redirect;
    std::string options;
    if (params.m_multiplexed) {
        CExtendedOptions ext;
        ext.setOption("DBRestoreFromMultiplexedBackup", 1);
        ext.getOptions(options);
    }
    int code = restore.restoreData(static_cast<long long>(stream.front().snapJobId), true, stream, slot,
                                   params.m_callback, params.m_callbackContext, options);
    if (code != 0) {
        EvDebug::Debug(params.m_event, tag, "Calling NuvSnapRestore::restoreData failed with errCode %d", code);
        if (cause != nullptr) *cause = restore.failureText();
    }
    int fin = restore.Finalize(params.m_rstJobClient);
    if (fin != 0) {
        EvDebug::Debug(params.m_event, tag, "Calling NuvSnapRestore::Finalize failed with errCode %d", fin);
        if (code == 0) code = fin;
    }
    return code;
}
