// The logger: lines gathered in a batch in memory and appended to the file
// with one write(2) on a file opened with O_APPEND, so lines of threads and
// processes never interleave and a line per file costs no system call.
//
// Line: "<yyyy-mm-dd hh:mm:ss.mmm> <pid> <thread id> <job id> <level> [<tag>] <text>"
// followed by a line feed (the text is written verbatim; a line feed is added
// only when the text does not end with one).
// Batch: written when it would overflow, when a line comes after it is older
// than kBatchAge, by a flusher thread within kBatchAge of its first line, at
// once with an error line, before fork(), before the file changes, at exit()
// and on a fatal signal (from the handler, with write(2) only). A child of
// fork() that has not exec'd writes every line at once: it may end with _exit().
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
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <thread>
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

// Set in a child of fork() (it may end with _exit(), which writes no batch)
// and once exit() has written the batches: from then on every line goes out
// at once.
std::atomic<bool> g_unbatched{false};

void WriteAllBatches();   // under WriterMutex

// All writers of the process share one lock so that fork() (which takes it in
// its prepare handler) never leaves a child with a lock held by a lost thread.
// The prepare handler writes the batches, so that no line is left in the
// memory of both processes.
std::mutex& WriterMutex() {
    static std::mutex* m = [] {
        auto* mutex = new std::mutex;
        pthread_atfork(
            [] {
                WriterMutex().lock();
                WriteAllBatches();
            },
            [] { WriterMutex().unlock(); },
            [] {
                g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
                g_unbatched.store(true, std::memory_order_relaxed);
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
    char stamp[32];          // "yyyy-mm-dd hh:mm:ss." of `second`
    size_t stampLength = 0;
    char ids[48];            // " <pid> <thread id> "
    size_t idsLength = 0;
};

// Appends n as decimal digits.
template <class Integer>
void AppendNumber(std::string& line, Integer n) {
    char digits[24];
    auto const made = std::to_chars(digits, digits + sizeof digits, n);
    line.append(digits, static_cast<size_t>(made.ptr - digits));
}

LineHead& ThreadHead() {
    (void)WriterMutex();   // its fork handlers bump the generation
    static thread_local LineHead head = {};
    unsigned const generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (head.generation != generation) {
        head.generation = generation;
        head.pid = static_cast<int>(getpid());
        head.tid = static_cast<long>(syscall(SYS_gettid));
        int const n = snprintf(head.ids, sizeof head.ids, " %d %ld ", head.pid, head.tid);
        head.idsLength = n > 0 ? static_cast<size_t>(n) : 0;
    }
    return head;
}

// The head of a line: time, pid, thread, job id, level and tag. The date and
// the ids are formatted once (a second, a thread), the rest per line.
void StartLine(std::string& line, int level, char const* tag, uint64_t jobId) {
    LineHead& head = ThreadHead();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != head.second) {
        localtime_r(&tv.tv_sec, &head.local);
        head.second = tv.tv_sec;
        struct tm const& t = head.local;
        int const n = snprintf(head.stamp, sizeof head.stamp, "%04d-%02d-%02d %02d:%02d:%02d.", t.tm_year + 1900,
                               t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        head.stampLength = n > 0 ? static_cast<size_t>(n) : 0;
    }
    long const ms = static_cast<long>(tv.tv_usec / 1000);
    char const millis[3] = {static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                            static_cast<char>('0' + ms % 10)};
    line.reserve(512);
    line.assign(head.stamp, head.stampLength);
    line.append(millis, 3);
    line.append(head.ids, head.idsLength);
    AppendNumber(line, static_cast<unsigned long long>(jobId));
    line += ' ';
    AppendNumber(line, level);
    line += " [";
    if (tag) line += tag;
    line += "] ";
}

// A format whose only conversions are plain "%s" (and "%%"): its texts are
// appended as they are, with no printf. False, with nothing appended, for
// any other format.
bool AppendTexts(std::string& line, char const* format, va_list ap) {
    for (char const* f = format; *f != '\0'; ++f)
        if (*f == '%' && f[1] != 's' && f[1] != '%') return false;
        else if (*f == '%') ++f;
    va_list copy;
    va_copy(copy, ap);
    char const* literal = format;
    for (char const* f = format; *f != '\0'; ++f) {
        if (*f != '%') continue;
        line.append(literal, static_cast<size_t>(f - literal));
        ++f;
        if (*f == '%') {
            line += '%';
        } else {
            char const* text = va_arg(copy, char const*);
            line += text != nullptr ? text : "(null)";
        }
        literal = f + 1;
    }
    line += literal;
    va_end(copy);
    return true;
}

// Appends the formatted text to a line (nothing for a null format).
void AppendFormatted(std::string& line, char const* format, va_list ap) {
    if (format == nullptr || AppendTexts(line, format, ap)) return;
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

namespace {

constexpr size_t kBatchBytes = 64 * 1024;   // one write(2) at most this long, lines kept whole
constexpr int64_t kBatchAgeMs = 200;          // no line waits longer in memory
constexpr size_t kMaxWriters = 16;            // writers a fatal signal can reach

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes the whole range (a short write is followed by the rest); false on a failure.
bool WriteAll(int fd, char const* data, size_t size) {
    while (size > 0) {
        ssize_t const w = ::write(fd, data, size);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

struct JzLogWriter::Impl {
    std::atomic<int> level{kLevelUnset};
    std::atomic<int> fd{-1};
    std::string path;
    std::string keyLogFile;   // JZ_LOG_FILE and JZ_SUITE_ROOT when the file was resolved
    std::string keySuiteRoot;
    bool resolved = false;
    std::string reportedPath;  // the file whose first failure went to stderr

    // The batch: whole lines of the current file, `length` bytes, the first
    // of them taken at `batchStart`. Changed under WriterMutex; a fatal
    // signal's handler reads it without the lock (length is stored after the
    // bytes, so what it sees is whole lines), and skips it while `writing`.
    char* batch = new char[kBatchBytes];
    std::atomic<size_t> length{0};
    std::atomic<bool> writing{false};
    int64_t batchStart = 0;

    Impl();
    ~Impl();

    // Under WriterMutex: true when the file resolved for this environment is current.
    bool Current(std::string const& logFile, std::string const& suiteRoot) const {
        return resolved && logFile == keyLogFile && suiteRoot == keySuiteRoot;
    }
    bool Current(char const* logFile, char const* suiteRoot) const {
        return resolved && SameAs(keyLogFile, logFile) && SameAs(keySuiteRoot, suiteRoot);
    }

    // Under WriterMutex: writes `size` bytes of whole lines to the file in one write(2).
    void WriteOut(char const* data, size_t size) {
        int const file = fd.load(std::memory_order_relaxed);
        if (file < 0 || size == 0) return;
        if (!WriteAll(file, data, size) && reportedPath != path) {
            reportedPath = path;
            fprintf(stderr, "nuvdbsnap: cannot write to log file %s: %s\n", path.c_str(), strerror(errno));
        }
    }

    // Under WriterMutex: writes the batch and empties it.
    void Flush() {
        size_t const n = length.load(std::memory_order_relaxed);
        if (n == 0) return;
        writing.store(true, std::memory_order_seq_cst);
        WriteOut(batch, n);
        length.store(0, std::memory_order_seq_cst);
        writing.store(false, std::memory_order_seq_cst);
    }

    // Under WriterMutex: opens `newPath` as the file for this environment (the
    // batch of the file before goes to it first).
    void Reopen(std::string const& logFile, std::string const& suiteRoot, std::string const& newPath) {
        if (Current(logFile, suiteRoot)) return;
        Flush();
        int const old = fd.exchange(-1);
        if (old >= 0) close(old);
        keyLogFile = logFile;
        keySuiteRoot = suiteRoot;
        path = newPath;
        resolved = true;
        int const opened = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (opened < 0 && reportedPath != path) {
            reportedPath = path;
            fprintf(stderr, "nuvdbsnap: cannot open log file %s: %s\n", path.c_str(), strerror(errno));
        }
        fd.store(opened);
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

    // One whole line, a line feed added when it has none: into the batch, or
    // out at once (with the batch before it) for an error line and where
    // lines are not batched.
    void Append(std::string& line, bool urgent);
};

namespace {

// The writers a fatal signal's handler writes out, and the flusher's wake-up.
std::atomic<JzLogWriter::Impl*> g_writers[kMaxWriters];
std::condition_variable& FlusherWake() {
    static auto* wake = new std::condition_variable;   // never destroyed: the flusher outlives exit()
    return *wake;
}

void WriteAllBatches() {
    for (auto& slot : g_writers)
        if (JzLogWriter::Impl* w = slot.load()) w->Flush();
}

// Writes every batch older than kBatchAge; sleeps until the oldest is due.
std::atomic<bool> g_flusherRunning{false};

[[noreturn]] void FlusherLoop() {
    // Told before anything else: from here on the thread allocates nothing
    // (see BatchesReady).
    g_flusherRunning.store(true, std::memory_order_release);
    std::unique_lock<std::mutex> lock(WriterMutex());
    for (;;) {
        int64_t oldest = INT64_MAX;
        int64_t const now = NowMs();
        for (auto& slot : g_writers) {
            JzLogWriter::Impl* w = slot.load();
            if (w == nullptr || w->length.load(std::memory_order_relaxed) == 0) continue;
            if (now - w->batchStart >= kBatchAgeMs) {
                w->Flush();
            } else {
                oldest = std::min(oldest, w->batchStart);
            }
        }
        if (oldest == INT64_MAX) {
            FlusherWake().wait(lock);
        } else {
            FlusherWake().wait_for(lock, std::chrono::milliseconds(oldest + kBatchAgeMs - now + 1));
        }
    }
}

// A fatal signal: what the batches hold goes out (write(2) only, no lock: a
// batch being written by another thread is left to it), then the signal takes
// its earlier course.
int const kFatalSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS,
                             SIGQUIT, SIGTERM, SIGINT, SIGHUP, SIGXCPU, SIGXFSZ};
struct sigaction g_earlier[NSIG];

void OnFatalSignal(int signal) {
    int const savedErrno = errno;
    for (auto& slot : g_writers) {
        JzLogWriter::Impl* w = slot.load();
        if (w == nullptr || w->writing.load()) continue;
        size_t const n = w->length.exchange(0);
        int const file = w->fd.load();
        if (n > 0 && file >= 0) (void)WriteAll(file, w->batch, n);
    }
    sigaction(signal, &g_earlier[signal], nullptr);
    errno = savedErrno;
    raise(signal);   // delivered when this handler returns, to the earlier disposition
}

void InstallSignalHandlers() {
    for (int signal : kFatalSignals) {
        struct sigaction earlier;
        if (sigaction(signal, nullptr, &earlier) != 0) continue;
        if (!(earlier.sa_flags & SA_SIGINFO) && earlier.sa_handler == SIG_IGN) continue;
        g_earlier[signal] = earlier;
        struct sigaction mine;
        memset(&mine, 0, sizeof mine);
        mine.sa_handler = OnFatalSignal;
        sigfillset(&mine.sa_mask);
        mine.sa_flags = SA_RESTART | SA_ONSTACK;
        sigaction(signal, &mine, nullptr);
    }
}

// exit(): the batches go out, and the lines that come later (destructors of
// static objects) go out at once.
void OnExit() {
    std::lock_guard<std::mutex> lock(WriterMutex());
    WriteAllBatches();
    g_unbatched.store(true, std::memory_order_relaxed);
}

// Under WriterMutex, before the first batch: the flusher thread, the exit
// handler and the signal handlers. False when batches cannot be kept (no thread).
bool BatchesReady() {
    static bool ready = false, tried = false;
    if (tried) return ready;
    tried = true;
    try {
        std::thread flusher(FlusherLoop);
        pthread_setname_np(flusher.native_handle(), "nuvlog");
        flusher.detach();
        // A thread still starting may hold the allocator's locks (the
        // sanitizers' allocator has no fork handler): a fork() in that window
        // leaves the child with a lock nobody releases. The first line returns
        // only once the flusher runs its own code, which allocates nothing.
        for (int i = 0; i < 200000 && !g_flusherRunning.load(std::memory_order_acquire); ++i) sched_yield();
    } catch (...) {
        return ready = false;
    }
    atexit(OnExit);
    InstallSignalHandlers();
    return ready = true;
}

}  // namespace

JzLogWriter::Impl::Impl() {
    for (auto& slot : g_writers) {
        Impl* empty = nullptr;
        if (slot.compare_exchange_strong(empty, this)) return;
    }
}

JzLogWriter::Impl::~Impl() {
    {
        std::lock_guard<std::mutex> lock(WriterMutex());
        Flush();
        for (auto& slot : g_writers) {
            Impl* self = this;
            slot.compare_exchange_strong(self, nullptr);
        }
    }
    int const file = fd.exchange(-1);
    if (file >= 0) close(file);
    delete[] batch;
}

void JzLogWriter::Impl::Append(std::string& line, bool urgent) {
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
    if (fd.load(std::memory_order_relaxed) < 0) return;
    size_t const n = length.load(std::memory_order_relaxed);
    int64_t const now = NowMs();
    bool const batched = !g_unbatched.load(std::memory_order_relaxed) && BatchesReady();
    if (n > 0 && (n + line.size() > kBatchBytes || now - batchStart >= kBatchAgeMs || !batched)) Flush();
    if (!batched || line.size() > kBatchBytes) {
        WriteOut(line.data(), line.size());
        return;
    }
    size_t const at = length.load(std::memory_order_relaxed);
    memcpy(batch + at, line.data(), line.size());
    length.store(at + line.size(), std::memory_order_seq_cst);
    if (urgent) {
        Flush();
    } else if (at == 0) {
        batchStart = now;
        FlusherWake().notify_one();
    }
}

void JzLogWriter::Flush() {
    std::lock_guard<std::mutex> lock(WriterMutex());
    m_impl->Flush();
}

JzLogWriter* g_ptrLogWriter = ProcessWriter();

namespace {

// Damage of the catalogue (malformed, lost) reaches the log as an error line.
void LogCatalogueDamage(std::string const& text) {
    g_ptrLogWriter->WriteText(-1, "nuvsuite::Catalogue", JobIdFromEnvironment(), text);
}

bool const s_damageReporterSet = (nuvsuite::SetCatalogueDamageReporter(&LogCatalogueDamage), true);

}  // namespace

JzLogWriter::JzLogWriter() : m_impl(new Impl) {}

JzLogWriter::~JzLogWriter() { delete m_impl; }

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
    m_impl->Append(line, level < 0);
    errno = savedErrno;
}

void JzLogWriter::WriteText(int level, char const* tag, uint64_t jobId, std::string const& text) {
    if (!enabled(level)) return;
    int savedErrno = errno;
    std::string line;
    StartLine(line, level, tag, jobId);
    line += text;
    m_impl->Append(line, level < 0);
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
