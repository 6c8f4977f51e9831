// The suite's logger: the process-wide writer g_ptrLogWriter, the job event
// context EvEvent and the EvDebug helpers. One line per call, written whole.
//
// A line is "<yyyy-mm-dd hh:mm:ss.mmm> <pid> <thread id> <job id> <level> [<tag>] <text>",
// appended to $JZ_LOG_FILE, else to StatePath("logs") + "/nuvdbsnap.log".
// Lines are kept in memory and appended in batches of whole lines, each with
// a single write(2): a line reaches the file within 200 ms, an error line at
// once, and what is kept goes out before fork(), at exit() and on a fatal
// signal. The level of a writer is setLevel's, else the settings registry's
// EventManager / nDebugLevel (read at the first question), else 1.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

// Process-wide log writer. A line is written when its level is at most the
// writer's level; level -1 (errors) is always written. The level comes from
// the settings registry (EventManager / nDebugLevel) unless set explicitly.
class JzLogWriter {
public:
    JzLogWriter();
    ~JzLogWriter();
    int getLevel() const;
    void setLevel(int level);
    bool enabled(int level) const { return level < 0 || level <= getLevel(); }

    // One whole line: time, pid, thread, job id, level, tag, text (verbatim).
    void Write(int level, char const* tag, uint64_t jobId, char const* format, ...)
        __attribute__((format(printf, 5, 6)));
    void WriteV(int level, char const* tag, uint64_t jobId, char const* format, va_list ap);
    void WriteText(int level, char const* tag, uint64_t jobId, std::string const& text);

    std::string const& path() const;  // the log file this writer appends to
    void Flush();                      // the lines kept in memory go to the file now

    struct Impl;   // the file and the batch (log.cpp)
private:
    Impl* m_impl;
};

extern JzLogWriter* g_ptrLogWriter;

// The job context of a process: the job that a default EvEvent (and so
// every line logged without one) belongs to. JZ_JOB_ID when it is set and not
// empty (a value that is not a number gives 0); else the job that the
// process's job-control client registered with (JZJobCtrlClient::Init2), the
// latest one still registered; else 0.
namespace nuvbase {
uint64_t ProcessJobId();
// Makes `jobId` the job context of a process without JZ_JOB_ID until the
// ticket returned is unregistered (a later registration takes precedence
// while it lasts). Thread-safe.
uint64_t RegisterJobContext(uint64_t jobId);
void UnregisterJobContext(uint64_t ticket);
// The latest job still registered, or 0.
uint64_t RegisteredJobId();
}  // namespace nuvbase

// The job event: job id, log context and the queued arguments of the next
// event raised to the job manager.
class EvEvent {
public:
    EvEvent();                          // job id from the process's job context (nuvbase::ProcessJobId)
    explicit EvEvent(uint64_t jobId);
    EvEvent(EvEvent const&) = default;
    EvEvent& operator=(EvEvent const&) = default;
    virtual ~EvEvent();

    uint64_t getJobId() const { return m_jobId; }
    void setJobId(uint64_t jobId) { m_jobId = jobId; }

    // Queues a text argument (type 11 = C string) for the next event.
    EvEvent& operator<<(char const* text) { return addArgument(text, 11); }
    EvEvent& addArgument(char const* text, int type);
    std::vector<std::string> const& getArguments() const { return m_arguments; }
    std::vector<std::string> takeArguments();

    // Raise a critical / major event on this event's job with the queued
    // arguments (taken); the job manager records it. False when it could not.
    bool CriticalEvent(int code, long long value, int flags);
    bool MajorEvent(int code, long long value, int flags);

private:
    uint64_t m_jobId = 0;
    std::vector<std::string> m_arguments;
};

class EvDebug {
public:
    static void Debug(EvEvent* ev, char const* tag, char const* format, ...)
        __attribute__((format(printf, 3, 4)));                       // level 0
    static void DebugLvl(EvEvent* ev, int level, char const* tag, char const* format, ...)
        __attribute__((format(printf, 4, 5)));
    static void Error(EvEvent* ev, char const* tag, char const* format, ...)
        __attribute__((format(printf, 3, 4)));                       // level -1
    static int getDebugLevel();
    int GetDebugLevel() { return getDebugLevel(); }
    static std::string getClientName();
};
