// The logger: one line per call, written whole with one write(2) on a file
// opened with O_APPEND, so lines of threads and processes never interleave.
//
// Line: "<yyyy-mm-dd hh:mm:ss.mmm> <pid> <thread id> <job id> <level> [<tag>] <text>"
// followed by a line feed (the text is written verbatim; a line feed is added
// only when the text does not end with one).
// File: $JZ_LOG_FILE, else StatePath("logs") + "/nuvdbsnap.log"; resolved at the
// first line and again whenever JZ_LOG_FILE or JZ_SUITE_ROOT changes. A line that
// cannot be written (no file, a failed write) is dropped; the first such failure
// of each file goes to stderr.
// Level: setLevel's, else EventManager / nDebugLevel of the focus instance
// (read once, at the first question), else 1.
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kLevelUnset = -1000000;

std::string EnvOr(char const* name) {
    char const* v = getenv(name);
    return v ? std::string(v) : std::string();
}

// Bumped in every child of fork(): the process and thread ids a thread keeps
// for its lines are taken again after it.
std::atomic<unsigned> g_forkGeneration{0};

// All writers of the process share one lock so that fork() (which takes it in
// its prepare handler) never leaves a child with a lock held by a lost thread.
std::mutex& WriterMutex() {
    static std::mutex* m = [] {
        auto* mutex = new std::mutex;
        pthread_atfork([] { WriterMutex().lock(); }, [] { WriterMutex().unlock(); },
                       [] {
                           g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
                           WriterMutex().unlock();
                       });
        return mutex;
    }();
    return *m;
}

// What a line costs is mostly its one write(2): the rest is kept cheap, since
// a road may log a line per file at the level users run. Each thread keeps
// its ids and the local time of the current second (plain data: lines may
// come while the thread's objects are destroyed).
struct LineHead {
    unsigned generation = ~0u;
    int pid = 0;
    long tid = 0;
    time_t second = -1;
    struct tm local;
};

LineHead& ThreadHead() {
    (void)WriterMutex();   // its fork handlers bump the generation
    static thread_local LineHead head = {};
    unsigned const generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (head.generation != generation) {
        head.generation = generation;
        head.pid = static_cast<int>(getpid());
        head.tid = static_cast<long>(syscall(SYS_gettid));
    }
    return head;
}

// The head of a line: time, pid, thread, job id, level and tag.
void StartLine(std::string& line, int level, char const* tag, uint64_t jobId) {
    LineHead& head = ThreadHead();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != head.second) {
        localtime_r(&tv.tv_sec, &head.local);
        head.second = tv.tv_sec;
    }
    struct tm const& t = head.local;
    char text[160];
    int n = snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %d %ld %llu %d [", t.tm_year + 1900,
                     t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<long>(tv.tv_usec / 1000),
                     head.pid, head.tid, static_cast<unsigned long long>(jobId), level);
    line.reserve(512);
    line.assign(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (tag) line += tag;
    line += "] ";
}

// Appends the formatted text to a line (nothing for a null format).
void AppendFormatted(std::string& line, char const* format, va_list ap) {
    if (format == nullptr) return;
    size_t const at = line.size();
    size_t room = line.capacity() > at + 256 ? line.capacity() - at : 256;
    for (;;) {
        line.resize(at + room);
        va_list copy;
        va_copy(copy, ap);
        int const n = vsnprintf(&line[at], room + 1, format, copy);   // the string keeps room for its terminator
        va_end(copy);
        if (n < 0) {
            line.resize(at);
            return;
        }
        if (static_cast<size_t>(n) <= room) {
            line.resize(at + static_cast<size_t>(n));
            return;
        }
        room = static_cast<size_t>(n);
    }
}

// True when the variable's value is `key` (an unset variable matches "").
bool SameAs(std::string const& key, char const* value) { return key == (value ? value : ""); }


// The jobs that job-control clients of this process registered with, in the
// order they did, each with its ticket; never destroyed (lines may come late
// at exit).
struct RegisteredJobs {
    std::mutex mutex;
    uint64_t lastTicket = 0;
    std::vector<std::pair<uint64_t, uint64_t>> jobs;   // (ticket, job)
};

RegisteredJobs& Registered() {
    static RegisteredJobs* registered = new RegisteredJobs();
    return *registered;
}

uint64_t JobIdFromEnvironment() {
    char const* v = getenv("JZ_JOB_ID");
    if (v == nullptr || *v == '\0') return nuvbase::RegisteredJobId();
    char* end = nullptr;
    unsigned long long id = strtoull(v, &end, 10);
    return (end && *end == '\0') ? static_cast<uint64_t>(id) : 0;
}

JzLogWriter* ProcessWriter() {
    static JzLogWriter* writer = new JzLogWriter();  // never destroyed: lines may come late at exit
    return writer;
}

}  // namespace

struct JzLogWriter::Impl {
    std::atomic<int> level{kLevelUnset};
    int fd = -1;
    std::string path;
    std::string keyLogFile;   // JZ_LOG_FILE and JZ_SUITE_ROOT when the file was resolved
    std::string keySuiteRoot;
    bool resolved = false;
    std::string reportedPath;  // the file whose first failure went to stderr

    // Under WriterMutex: true when the file resolved for this environment is current.
    bool Current(std::string const& logFile, std::string const& suiteRoot) const {
        return resolved && logFile == keyLogFile && suiteRoot == keySuiteRoot;
    }
    bool Current(char const* logFile, char const* suiteRoot) const {
        return resolved && SameAs(keyLogFile, logFile) && SameAs(keySuiteRoot, suiteRoot);
    }

    // Under WriterMutex: opens `newPath` as the file for this environment.
    void Reopen(std::string const& logFile, std::string const& suiteRoot, std::string const& newPath) {
        if (Current(logFile, suiteRoot)) return;
        if (fd >= 0) close(fd);
        keyLogFile = logFile;
        keySuiteRoot = suiteRoot;
        path = newPath;
        resolved = true;
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 && reportedPath != path) {
            reportedPath = path;
            fprintf(stderr, "nuvdbsnap: cannot open log file %s: %s\n", path.c_str(), strerror(errno));
        }
    }

    // Makes the file current for the environment; the path is worked out outside
    // the lock (the state root may log while it is created: those lines are dropped).
    void Resolve(std::string const& logFile, std::string const& suiteRoot) {
        {
            std::lock_guard<std::mutex> lock(WriterMutex());
            if (Current(logFile, suiteRoot)) return;
        }
        static thread_local bool resolving = false;
        if (resolving) return;
        resolving = true;
        std::string newPath = logFile.empty() ? nuvsuite::StatePath("logs") + "/nuvdbsnap.log" : logFile;
        resolving = false;
        std::lock_guard<std::mutex> lock(WriterMutex());
        Reopen(logFile, suiteRoot, newPath);
    }

    // One whole line, a line feed added when it has none, in one write(2).
    void Append(std::string& line) {
        if (line.empty() || line.back() != '\n') line += '\n';
        char const* logFile = getenv("JZ_LOG_FILE");
        char const* suiteRoot = getenv("JZ_SUITE_ROOT");
        std::unique_lock<std::mutex> lock(WriterMutex());
        if (!Current(logFile, suiteRoot)) {
            lock.unlock();
            Resolve(logFile ? logFile : "", suiteRoot ? suiteRoot : "");
            lock.lock();
            if (!Current(logFile, suiteRoot)) return;
        }
        if (fd < 0) return;
        ssize_t w;
        do {
            w = ::write(fd, line.data(), line.size());
        } while (w < 0 && errno == EINTR);
        if (w < 0 && reportedPath != path) {
            reportedPath = path;
            fprintf(stderr, "nuvdbsnap: cannot write to log file %s: %s\n", path.c_str(), strerror(errno));
        }
    }
};

JzLogWriter* g_ptrLogWriter = ProcessWriter();

namespace {

// Damage of the catalogue (malformed, lost) reaches the log as an error line.
void LogCatalogueDamage(std::string const& text) {
    g_ptrLogWriter->WriteText(-1, "nuvsuite::Catalogue", JobIdFromEnvironment(), text);
}

bool const s_damageReporterSet = (nuvsuite::SetCatalogueDamageReporter(&LogCatalogueDamage), true);

}  // namespace

JzLogWriter::JzLogWriter() : m_impl(new Impl) {}

JzLogWriter::~JzLogWriter() {
    if (m_impl->fd >= 0) close(m_impl->fd);
    delete m_impl;
}

int JzLogWriter::getLevel() const {
    int level = m_impl->level.load(std::memory_order_relaxed);
    if (level != kLevelUnset) return level;
    static thread_local bool reading = false;  // the registry read may itself log
    if (reading) return 1;
    reading = true;
    unsigned long value = 1;
    JZPlatformInfo info;
    if (info.getNumber("EventManager", "nDebugLevel", &value) == 0) value = 1;
    reading = false;
    int expected = kLevelUnset;
    m_impl->level.compare_exchange_strong(expected, static_cast<int>(value));
    return m_impl->level.load(std::memory_order_relaxed);
}

void JzLogWriter::setLevel(int level) {
    if (level == kLevelUnset) level = kLevelUnset + 1;
    m_impl->level.store(level, std::memory_order_relaxed);
}

void JzLogWriter::Write(int level, char const* tag, uint64_t jobId, char const* format, ...) {
    if (!enabled(level)) return;
    va_list ap;
    va_start(ap, format);
    WriteV(level, tag, jobId, format, ap);
    va_end(ap);
}

void JzLogWriter::WriteV(int level, char const* tag, uint64_t jobId, char const* format, va_list ap) {
    if (!enabled(level)) return;
    int savedErrno = errno;  // logging never disturbs the caller's errno
    std::string line;
    StartLine(line, level, tag, jobId);
    AppendFormatted(line, format, ap);
    m_impl->Append(line);
    errno = savedErrno;
}

void JzLogWriter::WriteText(int level, char const* tag, uint64_t jobId, std::string const& text) {
    if (!enabled(level)) return;
    int savedErrno = errno;
    std::string line;
    StartLine(line, level, tag, jobId);
    line += text;
    m_impl->Append(line);
    errno = savedErrno;
}

std::string const& JzLogWriter::path() const {
    m_impl->Resolve(EnvOr("JZ_LOG_FILE"), EnvOr("JZ_SUITE_ROOT"));
    return m_impl->path;
}

namespace nuvbase {

uint64_t RegisterJobContext(uint64_t jobId) {
    RegisteredJobs& r = Registered();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.jobs.emplace_back(++r.lastTicket, jobId);
    return r.lastTicket;
}

void UnregisterJobContext(uint64_t ticket) {
    RegisteredJobs& r = Registered();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.jobs.begin(); it != r.jobs.end(); ++it)
        if (it->first == ticket) {
            r.jobs.erase(it);
            return;
        }
}

uint64_t RegisteredJobId() {
    RegisteredJobs& r = Registered();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.jobs.empty() ? 0 : r.jobs.back().second;
}

uint64_t ProcessJobId() { return JobIdFromEnvironment(); }

}  // namespace nuvbase

EvEvent::EvEvent() : m_jobId(JobIdFromEnvironment()) {}
EvEvent::EvEvent(uint64_t jobId) : m_jobId(jobId) {}
EvEvent::~EvEvent() {}

EvEvent& EvEvent::addArgument(char const* text, int /*type*/) {
    m_arguments.emplace_back(text ? text : "");
    return *this;
}

std::vector<std::string> EvEvent::takeArguments() {
    std::vector<std::string> out;
    out.swap(m_arguments);
    return out;
}

namespace {
uint64_t JobOf(EvEvent* ev) { return ev ? ev->getJobId() : JobIdFromEnvironment(); }
JzLogWriter* Writer() { return g_ptrLogWriter ? g_ptrLogWriter : ProcessWriter(); }
}  // namespace

void EvDebug::Debug(EvEvent* ev, char const* tag, char const* format, ...) {
    if (!Writer()->enabled(0)) return;
    va_list ap;
    va_start(ap, format);
    Writer()->WriteV(0, tag, JobOf(ev), format, ap);
    va_end(ap);
}

void EvDebug::DebugLvl(EvEvent* ev, int level, char const* tag, char const* format, ...) {
    if (!Writer()->enabled(level)) return;
    va_list ap;
    va_start(ap, format);
    Writer()->WriteV(level, tag, JobOf(ev), format, ap);
    va_end(ap);
}

void EvDebug::Error(EvEvent* ev, char const* tag, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    Writer()->WriteV(-1, tag, JobOf(ev), format, ap);
    va_end(ap);
}

int EvDebug::getDebugLevel() { return Writer()->getLevel(); }

std::string EvDebug::getClientName() { return JZPI_Focus::getFocusClientName(true); }
