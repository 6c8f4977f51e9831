// The job clients of the job manager. A JZJobClient is the job's event: texts
// queued with `*client << "text"` become the arguments of the next pending
// cause it raises. Changes made with the setters are sent by updateInfo().
#pragma once

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobtypes.h"

#include <cstdint>
#include <mutex>
#include <string>

class CNMessageBase;

class JZJobClient : public EvEvent {
public:
    JZJobClient();                        // the process's job context (nuvbase::ProcessJobId), else job 0
    explicit JZJobClient(uint64_t jobId);
    ~JZJobClient() override;

    // Raises a pending cause on the job, with an event of the same code; the
    // queued arguments are taken (also when the call fails). False for job 0,
    // an unknown job or an injected fault.
    bool setPendingCauseAndEvent(int code, int level, int subcode, bool append, EvMessageType messageType,
                                 bool notify, JMGUIAlertColorLevel alertLevel, JMPendingCauseFlags flags,
                                 unsigned extra1, unsigned extra2);

    // An XML request to the job manager. Answered: JobManager::GetArchiveIndexParamForJob
    // (the job's JobManager::ArchiveIndexParam, new object owned by the caller).
    bool processXmlReq(CNMessageBase& request, CNMessageBase** answer);

    // Phase parameters: action 3 appends the text, action 1 replaces them;
    // sent by updateInfo. False for a null text or another action.
    bool concatPhaseParams(char const* text, int action);

    // Sends the pending changes to the job manager in one step. The first
    // argument is accepted and not interpreted; *sent (when given) tells
    // whether anything was pending. False on failure (changes stay pending).
    bool updateInfo(bool urgent, bool* sent);

    // Ends the job: status 1 success, 2 failure, 3 killed. False for an
    // unknown or already ended job, another status, or an injected fault.
    bool complete(int status, int statusFor, int reserved, int pendingCause);

    // Non-zero when the job manager asked the job to stop (or the job is gone).
    int checkQuitFlag();

    std::string const& lastError() const { return m_lastError; }

protected:
    bool guard(char const* call, std::string const& args);  // journal + fault table
    void setLastError(std::string text) { m_lastError = std::move(text); }

    struct Pending {
        bool phaseReplace = false;
        bool phaseDirty = false;
        std::string phaseText;
        bool metadataDirty = false;
        bool metadataCollection = true;
        int64_t addFiles = 0;
        int64_t addUncompressed = 0;
        int64_t addCompressed = 0;
    };
    // One client may be shared by the threads of a job (the streams of a
    // restore): the pending changes are guarded, and updateInfo sends and
    // clears them in one step.
    mutable std::mutex m_pendingLock;
    Pending m_pending;
    std::string m_lastError;
};

// The backup job's client: bound to its job by init().
class JZBkpJobClient : public JZJobClient {
public:
    JZBkpJobClient();
    ~JZBkpJobClient() override;

    // Binds the client to the job. False for job 0, an unknown or ended job,
    // a non-empty token that is not the job's, or an injected fault.
    bool init(char const* server, long long jobId, int reserved, int platformType, bool interactive,
              char const* token);

    // Metadata collection of the job: turned off here, sent by updateInfo.
    void turnOffMetaDataCollection();
    bool isMetaDataCollectionOn() const {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        return m_pending.metadataCollection;
    }
};

// The restore job's client: restored counts are added by updateInfo.
class JZRstJobClient : public JZJobClient {
public:
    JZRstJobClient();
    explicit JZRstJobClient(uint64_t jobId);
    ~JZRstJobClient() override;

    void setNumSuccessful2Add(long long count) {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        m_pending.addFiles += count;
    }
    void setUncompBytes2Add(long long bytes) {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        m_pending.addUncompressed += bytes;
    }
    void setCompBytes2Add(long long bytes) {
        std::lock_guard<std::mutex> lock(m_pendingLock);
        m_pending.addCompressed += bytes;
    }
};
