// The job-control client: registers this process for one job of the job
// manager (Init2) and answers its job id, job token and quit request.
#pragma once

#include <cstdint>
#include <string>

// The token of a job of the local suite ("" for an unknown job); the other
// three arguments are accepted and not used.
std::string constructJobToken(long long jobId, unsigned long, unsigned long, unsigned long);

class JZJobCtrlClient {
public:
    explicit JZJobCtrlClient(int verbose = 0);
    virtual ~JZJobCtrlClient();
    JZJobCtrlClient(JZJobCtrlClient const&) = delete;
    JZJobCtrlClient& operator=(JZJobCtrlClient const&) = delete;

    // Registers with the job: false for job 0, an unknown or ended job, a
    // non-empty token that is not the job's, or an injected fault. `flags`
    // and `platformType` are recorded in the journal only. A registered job
    // is the process's job context while this client lives (or until it
    // registers again), unless JZ_JOB_ID sets one (nuvbase::ProcessJobId).
    bool Init2(long long jobId, char const* server, int flags, int platformType, char const* token,
               void* reserved);

    uint64_t GetJobID() const { return m_jobId; }
    // The job's token; null before a successful Init2.
    char const* GetJobToken() const { return m_registered ? m_token.c_str() : nullptr; }
    // Non-zero when the job manager asked the job to stop (or the job is gone).
    int checkQuitFlag();

    bool isRegistered() const { return m_registered; }
    std::string const& lastError() const { return m_lastError; }

private:
    int m_verbose = 0;
    uint64_t m_jobId = 0;
    std::string m_token;
    bool m_registered = false;
    uint64_t m_contextTicket = 0;   // the job context this client registered, 0 for none
    std::string m_lastError;
};
