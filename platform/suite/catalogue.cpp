// The SQLite catalogue of the local suite: one connection per process and
// state root, serialised by one recursive mutex, reopened after fork() and
// when JZ_SUITE_ROOT changes.
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "catalogue_health.h"
#include "schema_registry.h"

#include <sqlite3.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace nuvsuite {

int64_t AsInt(CatValue const& v) {
    if (auto const* i = std::get_if<int64_t>(&v)) return *i;
    if (auto const* d = std::get_if<double>(&v)) return static_cast<int64_t>(*d);
    if (auto const* s = std::get_if<std::string>(&v)) return std::strtoll(s->c_str(), nullptr, 0);
    return 0;
}

std::string AsText(CatValue const& v) {
    if (auto const* s = std::get_if<std::string>(&v)) return *s;
    if (auto const* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
    if (auto const* d = std::get_if<double>(&v)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", *d);
        return buf;
    }
    return "";
}

namespace {

constexpr int kBusyTimeoutMs = 30000;

// Waits while another process writes the catalogue, for kBusyTimeoutMs in
// all. Two processes of one job (an agent and its helper program) write by
// turns in transactions of well under a millisecond: the first looks come
// every 50 microseconds, then every 200, then every 2 milliseconds.
int BusyWait(void*, int tries) {
    constexpr int kFine = 20, kMedium = 100;               // 1 ms, then 16 ms more
    constexpr int kWaitedBeforeCoarseMs = 17;
    if (tries >= kMedium && kWaitedBeforeCoarseMs + (tries - kMedium) * 2 >= kBusyTimeoutMs) return 0;
    ::usleep(tries < kFine ? 50 : tries < kMedium ? 200 : 2000);
    return 1;
}
constexpr size_t kStatementCacheLimit = 256;
constexpr int kCheckpointPages = 1000;           // SQLite's own
constexpr int kDeferredCheckpointPages = 16384;  // 64 MiB of log at most

bool OnlySpaceOrSemicolons(char const* text) {
    for (; text && *text; ++text) {
        if (*text != ';' && *text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
    }
    return true;
}

std::string Excerpt(std::string const& sql) {
    return sql.size() <= 160 ? sql : sql.substr(0, 157) + "...";
}

// A damaged file: SQLite's "database disk image is malformed" or "file is not a database".
bool IsDamage(int rc) {
    int const primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::string DirectoryOf(std::string const& path) {
    std::string::size_type const slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Size of a file; -1 when it does not exist.
long long FileSize(std::string const& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A recursive lock that a forked child can take over: the child gets a fresh
// lock (a recursive pthread mutex records its owner's thread id, which the
// child's thread does not have, so it could never unlock the inherited one).
class ForkSafeRecursiveLock {
public:
    ForkSafeRecursiveLock() { Init(); }
    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
    void ReinitInChild() { Init(); }

private:
    void Init() {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    pthread_mutex_t m_mutex;
};

}  // namespace

struct Catalogue::Impl {
    ForkSafeRecursiveLock mutex;
    sqlite3* db = nullptr;
    std::string path;
    pid_t pid = 0;
    bool inherited = false;   // set in a child of fork(): the connection is the parent's
    int depth = 0;                // transaction nesting: 0 none, 1 BEGIN, >1 savepoints
    uint64_t schemaGeneration = ~uint64_t(0);
    std::string openError;
    std::unordered_map<std::string, sqlite3_stmt*> cache;
    bool stampWatch = false;     // the fault-table triggers of this connection are in place
    bool faultsTouched = false;  // the fault table changed in the work under way
    mutable bool damaged = false;  // a step met a malformed file since the open

    CFzError SqliteError(int rc, char const* what, std::string const& sql) const {
        return Failure(rc, what, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), sql);
    }

    // The error of a failed step; a damaged file is named "malformed" and reported.
    CFzError Failure(int rc, char const* what, char const* msg, std::string const& sql) const {
        if (IsDamage(rc)) {
            damaged = true;
            std::string const text = "the catalogue [" + path + "] is malformed (" + msg + "): restore it from a copy";
            detail::ReportCatalogueDamage(path, text);
            return FXErrorUtil::ErrorJZResult(FZ_LOC, rc, "catalogue %s failed: %s [%s]", what, text.c_str(),
                                              Excerpt(sql).c_str());
        }
        return FXErrorUtil::ErrorJZResult(FZ_LOC, rc, "catalogue %s failed: %s [%s] (%s)", what, msg,
                                          Excerpt(sql).c_str(), path.c_str());
    }

    void DropStatements() {
        for (auto& entry : cache) sqlite3_finalize(entry.second);
        cache.clear();
    }

    void Close() {
        DropStatements();
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        depth = 0;
        path.clear();
        schemaGeneration = ~uint64_t(0);
        stampWatch = false;
        faultsTouched = false;
        damaged = false;
    }

    // Temporary triggers of this connection mark any change of the fault table;
    // the change is announced once the work that made it has ended (committed),
    // so that another process never reads the announcement before the rows.
    void WatchFaultTable() {
        if (stampWatch) return;
        auto mark = [](sqlite3_context* ctx, int, sqlite3_value**) {
            static_cast<Impl*>(sqlite3_user_data(ctx))->faultsTouched = true;
        };
        if (sqlite3_create_function(db, "nuv_faults_touched", 0, SQLITE_UTF8, this, mark, nullptr, nullptr) !=
            SQLITE_OK)
            return;
        std::string script;
        for (char const* op : {"INSERT", "UPDATE", "DELETE"})
            script += std::string("CREATE TEMP TRIGGER IF NOT EXISTS nuv_faults_") + op + " AFTER " + op +
                      " ON main.faults BEGIN SELECT nuv_faults_touched(); END;";
        stampWatch = !ExecScript(script).IsError();
    }

    // After the outermost piece of work: announces a change of the fault table.
    void AnnounceFaultChange() {
        if (depth != 0 || !faultsTouched) return;
        faultsTouched = false;
        detail::BumpFaultStamp(path);
    }

    // Runs every statement of `sql` (no parameters, no cache): DDL and control.
    CFzError ExecScript(std::string const& sql) {
        char* err = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
        if (rc != SQLITE_OK) {
            CFzError e = Failure(rc, "exec", err ? err : sqlite3_errstr(rc), sql);
            sqlite3_free(err);
            return e;
        }
        return CFzError::Success();
    }

    CFzError Open(std::string const& newPath) {
        Close();
        openError.clear();
        pid = getpid();
        inherited = false;
        path = newPath;
        CFzError refused = RefuseUnsafeRoot(newPath);
        if (refused.IsError()) {
            path.clear();
            return refused;
        }
        // Every use of the connection and its statements is under `mutex`:
        // SQLite's own lock per call would only be taken again.
        int rc = sqlite3_open_v2(newPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            CFzError e = SqliteError(rc, "open", newPath);
            if (db) sqlite3_close_v2(db);
            db = nullptr;
            return e;
        }
        sqlite3_busy_handler(db, BusyWait, nullptr);
        sqlite3_extended_result_codes(db, 1);
        // Before anything is written to it (the journal mode is).
        CFzError e = RefuseForeignDatabase(newPath);
        if (e.IsError()) {
            Close();
            return e;
        }
        // Temporary storage in memory: a statement's journal (a statement of
        // many rows keeps one) never goes through a file of its own. Set
        // before any temporary object is made (setting it drops them).
        e = ExecScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA temp_store=MEMORY;");
        if (e.IsError()) {
            Close();
            return e;
        }
        return CFzError::Success();
    }

    // A catalogue is made only in a state root that can be written, and only
    // where none was before: one missing or empty while the root shows use is lost.
    static CFzError RefuseUnsafeRoot(std::string const& file) {
        std::string const root = DirectoryOf(file);
        std::string const problem = detail::StateRootProblem(root);
        if (!problem.empty())
            return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_CANTOPEN,
                                              "catalogue open failed: the state root [%s] cannot be written: %s",
                                              root.c_str(), problem.c_str());
        long long const size = FileSize(file);
        if (size > 0 || FileSize(file + "-wal") > 0) return CFzError::Success();
        return RefuseLostCatalogue(file, size < 0 ? "missing" : "empty");
    }

    // A file that opens as a database but holds none of the catalogue's tables
    // (a valid SQLite file put in its place) is as lost as an emptied one.
    CFzError RefuseForeignDatabase(std::string const& file) {
        std::vector<CatRow> rows;
        CFzError e = RunStatement("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_versions'",
                                  {}, &rows);
        if (e.IsError()) return damaged ? e : CFzError::Success();  // the steps that follow say what else is wrong
        if (rows.empty() || AsInt(rows[0][0]) != 0) return CFzError::Success();
        return RefuseLostCatalogue(file, "a database without the catalogue's tables");
    }

    // An error when the state root shows use: the catalogue in `state` lost its records.
    static CFzError RefuseLostCatalogue(std::string const& file, char const* state) {
        std::string const used = detail::PriorUse(DirectoryOf(file));
        if (used.empty()) return CFzError::Success();
        std::string const text = "the catalogue [" + file + "] is " + state + " while the state root holds " + used +
                                 ": its records are lost; restore the catalogue, or move the state root aside "
                                 "to start afresh";
        detail::ReportCatalogueDamage(file, text);
        return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_CANTOPEN, "catalogue open failed: %s", text.c_str());
    }

    // Applies every registered part whose version is above the recorded one,
    // one service per IMMEDIATE transaction. A failing service is reported on
    // stderr and left for the next registration; the others go on.
    CFzError ApplySchema() {
        uint64_t generation = 0;
        std::vector<SchemaPart> parts = detail::RegisteredSchemaParts(&generation);
        CFzError result = ExecScript(
            "CREATE TABLE IF NOT EXISTS schema_versions (service TEXT PRIMARY KEY, version INTEGER NOT NULL)");
        if (result.IsError()) return result;

        std::map<std::string, std::vector<SchemaPart>> byService;
        for (SchemaPart const& part : parts) byService[part.service ? part.service : ""].push_back(part);
        // The versions already applied, read at once: a service that is up to
        // date takes no write transaction, so a process that opens a current
        // catalogue does not queue behind the writers of the others.
        std::map<std::string, int64_t> applied;
        {
            std::vector<CatRow> rows;
            if (!RunStatement("SELECT service, version FROM schema_versions", {}, &rows).IsError())
                for (CatRow const& row : rows)
                    if (row.size() == 2 && std::holds_alternative<std::string>(row[0]))
                        applied[std::get<std::string>(row[0])] = AsInt(row[1]);
        }
        for (auto& entry : byService) {
            std::vector<SchemaPart>& list = entry.second;
            std::stable_sort(list.begin(), list.end(),
                             [](SchemaPart const& a, SchemaPart const& b) { return a.version < b.version; });
            auto const known = applied.find(entry.first);
            if (known != applied.end() && !list.empty() && known->second >= list.back().version) continue;
            CFzError e = ApplyService(entry.first, list);
            if (e.IsError() && damaged) return e;  // reported; no other service can do better
            if (e.IsError()) {
                std::fprintf(stderr, "nuvsuite: schema of service '%s' not applied: %s\n", entry.first.c_str(),
                             e.AsString().c_str());
                result = e;
            }
        }
        schemaGeneration = generation;
        return result;
    }

    CFzError ApplyService(std::string const& service, std::vector<SchemaPart> const& list) {
        CFzError e = ExecScript("BEGIN IMMEDIATE");
        if (e.IsError()) return e;
        int64_t current = 0;
        {
            std::vector<CatRow> rows;
            e = RunStatement("SELECT version FROM schema_versions WHERE service = ?", {service}, &rows);
            if (!e.IsError() && !rows.empty()) current = AsInt(rows[0][0]);
        }
        int64_t reached = current;
        for (SchemaPart const& part : list) {
            if (e.IsError()) break;
            if (part.version <= current) continue;
            e = ExecScript(part.ddl ? part.ddl : "");
            if (!e.IsError()) reached = std::max<int64_t>(reached, part.version);
        }
        if (!e.IsError() && reached != current) {
            e = RunStatement("INSERT INTO schema_versions(service, version) VALUES(?, ?) "
                             "ON CONFLICT(service) DO UPDATE SET version = excluded.version",
                             {service, reached}, nullptr);
        }
        if (e.IsError()) {
            if (!sqlite3_get_autocommit(db)) (void)ExecScript("ROLLBACK");
            return e;
        }
        return ExecScript("COMMIT");
    }

    // Brings the connection in line with this process and the current state root.
    CFzError EnsureCurrent() {
        if (db && inherited) {
            // A child of fork(): the parent's connection must not be used here.
            // Closing it only releases this process's view (its fcntl locks were
            // not inherited), and it keeps the shared per-file state of SQLite
            // from pairing a fresh connection with locks the child does not hold.
            Close();
        }
        if (depth == 0) {
            std::string wanted = CataloguePath();
            if (!db || wanted != path) {
                CFzError e = Open(wanted);
                if (e.IsError()) {
                    openError = e.AsString();
                    return e;
                }
            }
        }
        if (!db) {
            return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_CANTOPEN, "catalogue not open: %s",
                                              openError.c_str());
        }
        if (depth == 0 && schemaGeneration != detail::SchemaGeneration()) {
            // Failures are reported by ApplySchema; statements of a broken service fail on their own.
            // A damaged file is closed: every call fails with its text.
            CFzError e = ApplySchema();
            if (e.IsError() && damaged) {
                openError = e.AsString();
                Close();
                return e;
            }
        }
        if (depth == 0) WatchFaultTable();
        return CFzError::Success();
    }

    CFzError Prepare(std::string const& sql, bool hasParams, sqlite3_stmt** out, bool* cached) {
        *cached = false;
        auto found = cache.find(sql);
        if (found != cache.end()) {
            *out = found->second;
            *cached = true;
            return CFzError::Success();
        }
        sqlite3_stmt* stmt = nullptr;
        char const* tail = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
        if (rc != SQLITE_OK) return SqliteError(rc, "prepare", sql);
        if (!OnlySpaceOrSemicolons(tail)) {
            sqlite3_finalize(stmt);
            if (hasParams)
                return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_MISUSE,
                                                  "catalogue: one statement expected with parameters [%s]",
                                                  Excerpt(sql).c_str());
            *out = nullptr;  // a script: the caller runs it whole
            return CFzError::Success();
        }
        if (stmt == nullptr) {  // empty text
            *out = nullptr;
            return CFzError::Success();
        }
        if (cache.size() >= kStatementCacheLimit) DropStatements();
        cache.emplace(sql, stmt);
        *out = stmt;
        *cached = true;
        return CFzError::Success();
    }

    CFzError Bind(sqlite3_stmt* stmt, std::vector<CatValue> const& params, std::string const& sql) {
        int expected = sqlite3_bind_parameter_count(stmt);
        if (expected != static_cast<int>(params.size())) {
            return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_RANGE,
                                              "catalogue: %d parameters expected, %zu given [%s]", expected,
                                              params.size(), Excerpt(sql).c_str());
        }
        for (size_t i = 0; i < params.size(); ++i) {
            int idx = static_cast<int>(i) + 1;
            int rc = SQLITE_OK;
            CatValue const& v = params[i];
            if (std::holds_alternative<std::nullptr_t>(v)) rc = sqlite3_bind_null(stmt, idx);
            else if (auto const* n = std::get_if<int64_t>(&v)) rc = sqlite3_bind_int64(stmt, idx, *n);
            else if (auto const* d = std::get_if<double>(&v)) rc = sqlite3_bind_double(stmt, idx, *d);
            else {
                std::string const& s = std::get<std::string>(v);
                // The parameters outlive the statement's run: every caller resets
                // (or finalizes) the statement before they go.
                rc = sqlite3_bind_text64(stmt, idx, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
            }
            if (rc != SQLITE_OK) return SqliteError(rc, "bind", sql);
        }
        return CFzError::Success();
    }

    CFzError RunStatement(std::string const& sql, std::vector<CatValue> const& params, std::vector<CatRow>* rows) {
        if (rows) rows->clear();
        sqlite3_stmt* stmt = nullptr;
        bool cached = false;
        CFzError e = Prepare(sql, !params.empty(), &stmt, &cached);
        if (e.IsError()) return e;
        if (stmt == nullptr) return rows ? FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_MISUSE,
                                                                      "catalogue: one query expected [%s]",
                                                                      Excerpt(sql).c_str())
                                         : ExecScript(sql);
        e = Bind(stmt, params, sql);
        if (!e.IsError()) e = Step(stmt, sql, [&](CatRow& row) {
            rows->push_back(std::move(row));
            return true;
        }, rows != nullptr);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (!cached) sqlite3_finalize(stmt);
        if (e.IsError() && rows) rows->clear();
        return e;
    }

    // The current row of a statement into `row`, reusing the texts it holds.
    static void ReadRow(sqlite3_stmt* stmt, CatRow* row) {
        int const n = sqlite3_column_count(stmt);
        row->resize(static_cast<size_t>(n));
        for (int c = 0; c < n; ++c) {
            CatValue& value = (*row)[static_cast<size_t>(c)];
            switch (sqlite3_column_type(stmt, c)) {
            case SQLITE_INTEGER: value = static_cast<int64_t>(sqlite3_column_int64(stmt, c)); break;
            case SQLITE_FLOAT: value = sqlite3_column_double(stmt, c); break;
            case SQLITE_NULL: value = nullptr; break;
            default: {
                auto const* p = static_cast<char const*>(sqlite3_column_blob(stmt, c));
                size_t const len = p ? static_cast<size_t>(sqlite3_column_bytes(stmt, c)) : 0;
                if (auto* text = std::get_if<std::string>(&value)) text->assign(p ? p : "", len);
                else value = std::string(p ? p : "", len);
            }
            }
        }
    }

    // One query on a statement of its own (never a cached one), each row
    // handed to `each` as it is read; stops when `each` returns false. The
    // callback may use the catalogue itself.
    CFzError RunEach(std::string const& sql, std::vector<CatValue> const& params,
                     std::function<bool(CatRow const&)> const& each) {
        sqlite3_stmt* stmt = nullptr;
        char const* tail = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
        if (rc != SQLITE_OK) return SqliteError(rc, "prepare", sql);
        if (stmt == nullptr || !OnlySpaceOrSemicolons(tail)) {
            sqlite3_finalize(stmt);
            return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_MISUSE, "catalogue: one query expected [%s]",
                                              Excerpt(sql).c_str());
        }
        CFzError e = Bind(stmt, params, sql);
        if (!e.IsError()) e = Step(stmt, sql, [&](CatRow& row) { return each(row); }, true);
        sqlite3_finalize(stmt);
        return e;
    }

    // Steps a bound statement to its end, each row (read when `read`) handed
    // to `each`, which may take it and returns false to stop.
    CFzError Step(sqlite3_stmt* stmt, std::string const& sql, std::function<bool(CatRow&)> const& each, bool read) {
        CatRow row;
        for (;;) {
            int const rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) return CFzError::Success();
            if (rc != SQLITE_ROW) return SqliteError(rc, "step", sql);
            if (!read) continue;
            ReadRow(stmt, &row);
            if (!each(row)) return CFzError::Success();
        }
    }
};

namespace {

Catalogue* g_catalogue = nullptr;  // never destroyed: used up to process exit

void LockForFork();
void UnlockInParent();
void RenewInChild();

}  // namespace

struct CatalogueAccess {
    static Catalogue::Impl& Of(Catalogue& c) { return *c.m_impl; }
    static Catalogue* Make() { return new Catalogue(); }
};

namespace {

void LockForFork() {
    if (g_catalogue) CatalogueAccess::Of(*g_catalogue).mutex.lock();
}
void UnlockInParent() {
    if (g_catalogue) CatalogueAccess::Of(*g_catalogue).mutex.unlock();
}
void RenewInChild() {
    if (!g_catalogue) return;
    CatalogueAccess::Of(*g_catalogue).mutex.ReinitInChild();
    CatalogueAccess::Of(*g_catalogue).inherited = true;
}

}  // namespace

Catalogue::Catalogue() : m_impl(new Impl()) {}

Catalogue& Catalogue::Instance() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        g_catalogue = CatalogueAccess::Make();
        // No other thread may be inside the catalogue while the process
        // forks, so the child inherits a connection at rest.
        pthread_atfork(LockForFork, UnlockInParent, RenewInChild);
    });
    Impl& impl = *g_catalogue->m_impl;
    std::lock_guard<ForkSafeRecursiveLock> lock(impl.mutex);
    (void)impl.EnsureCurrent();  // a failure is reported by the next call
    return *g_catalogue;
}

CFzError Catalogue::Exec(std::string const& sql, std::vector<CatValue> const& params) {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    CFzError e = m_impl->EnsureCurrent();
    if (e.IsError()) return e;
    e = m_impl->RunStatement(sql, params, nullptr);
    m_impl->AnnounceFaultChange();
    return e;
}

CFzError Catalogue::Query(std::string const& sql, std::vector<CatValue> const& params, std::vector<CatRow>* rows) {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    std::vector<CatRow> scratch;
    CFzError e = m_impl->EnsureCurrent();
    if (e.IsError()) {
        if (rows) rows->clear();
        return e;
    }
    e = m_impl->RunStatement(sql, params, rows ? rows : &scratch);
    m_impl->AnnounceFaultChange();
    return e;
}

CFzError Catalogue::QueryEach(std::string const& sql, std::vector<CatValue> const& params,
                              std::function<bool(CatRow const&)> const& each) {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    CFzError e = m_impl->EnsureCurrent();
    if (e.IsError()) return e;
    e = m_impl->RunEach(sql, params, each);
    m_impl->AnnounceFaultChange();
    return e;
}

int64_t Catalogue::LastInsertId() {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    return m_impl->db ? sqlite3_last_insert_rowid(m_impl->db) : 0;
}

CFzError Catalogue::Transaction(std::function<CFzError()> const& fn) {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    Impl& impl = *m_impl;
    CFzError e = impl.EnsureCurrent();
    if (e.IsError()) return e;

    // The outer call holds one IMMEDIATE transaction; a nested call is a
    // savepoint inside it, so its failure undoes only its own work.
    int const level = impl.depth;
    std::string const savepoint = "nuv_sp" + std::to_string(level);
    e = impl.ExecScript(level == 0 ? std::string("BEGIN IMMEDIATE") : "SAVEPOINT " + savepoint);
    if (e.IsError()) return e;
    impl.depth = level + 1;

    auto undo = [&impl, level, &savepoint] {
        impl.depth = level;
        if (!sqlite3_get_autocommit(impl.db)) {  // else SQLite already rolled back
            if (level == 0) (void)impl.ExecScript("ROLLBACK");
            else (void)impl.ExecScript("ROLLBACK TO " + savepoint + "; RELEASE " + savepoint);
        }
        impl.AnnounceFaultChange();
    };

    CFzError result;
    try {
        result = fn();
    } catch (...) {
        if (impl.db && !impl.inherited) undo();
        throw;
    }
    if (!impl.db || impl.inherited) {
        impl.depth = 0;
        return result.IsError() ? result
                                : FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_MISUSE,
                                                             "catalogue transaction lost its connection");
    }
    if (result.IsError()) {
        undo();
        return result;
    }
    if (sqlite3_get_autocommit(impl.db)) {
        impl.depth = level;
        return FXErrorUtil::ErrorJZResult(FZ_LOC, SQLITE_ABORT, "catalogue transaction was rolled back");
    }
    impl.depth = level;
    e = impl.ExecScript(level == 0 ? std::string("COMMIT") : "RELEASE " + savepoint);
    if (e.IsError()) {
        impl.depth = level + 1;
        undo();
        return e;
    }
    impl.AnnounceFaultChange();
    return CFzError::Success();
}

void Catalogue::DeferCheckpoints() {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    if (m_impl->EnsureCurrent().IsError()) return;
    (void)sqlite3_wal_autocheckpoint(m_impl->db, kDeferredCheckpointPages);
}

void Catalogue::Checkpoint() {
    std::lock_guard<ForkSafeRecursiveLock> lock(m_impl->mutex);
    if (m_impl->EnsureCurrent().IsError()) return;
    (void)sqlite3_wal_autocheckpoint(m_impl->db, kCheckpointPages);
    if (m_impl->depth == 0)
        (void)sqlite3_wal_checkpoint_v2(m_impl->db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
}

std::string const& Catalogue::path() const {
    return m_impl->path;
}

}  // namespace nuvsuite
