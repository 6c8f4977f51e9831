// The call journal: one row per platform call, readable from every process.
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <chrono>
#include <pthread.h>
#include <unistd.h>
#include <vector>

namespace nuvsuite {
namespace {

SchemaPart s_journalSchema{"suite.journal", 1,
    "CREATE TABLE IF NOT EXISTS journal ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time INTEGER NOT NULL, pid INTEGER NOT NULL,"
    " service TEXT NOT NULL, call TEXT NOT NULL, args TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS journal_by_call ON journal(service, call);"};

AdminTable s_journalAdmin{"journal", "journal", false, "id"};

}  // namespace

int64_t JournalNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch()).count();
}

namespace {

char const kInsertRow[] = "INSERT INTO journal(time, pid, service, call, args) VALUES(?, ?, ?, ?, ?)";

// This process's id without a system call a row (a forked child learns its own).
pid_t s_pid = 0;
pid_t ThisPid() {
    static bool const hooked = [] {
        s_pid = getpid();
        pthread_atfork(nullptr, nullptr, [] { s_pid = getpid(); });
        return true;
    }();
    (void)hooked;
    return s_pid;
}

// A batch writes its rows when it holds this many.
size_t constexpr kMostRows = 4096;
// A run of this many calls of one name in a batch is journalled as one row.
size_t constexpr kFoldedRun = 64;

struct BatchedRow {
    int64_t time;
    std::string service, call, args;
};

// The rows a thread keeps while a JournalBatch lives on it.
struct ThreadBatch {
    int depth = 0;
    pid_t owner = 0;  // a child forked inside a batch writes none of its parent's rows
    std::vector<BatchedRow> rows;

    void Write() {
        if (rows.empty()) return;
        if (owner == ThisPid()) {
            int64_t const pid = owner;
            Catalogue& cat = Catalogue::Instance();
            (void)cat.Transaction([&]() -> CFzError {
                for (size_t i = 0; i < rows.size();) {
                    BatchedRow const& r = rows[i];
                    size_t end = i + 1;
                    while (end < rows.size() && rows[end].call == r.call && rows[end].service == r.service) ++end;
                    std::string const args = end - i < kFoldedRun ? r.args
                                                                   : "calls=" + std::to_string(end - i) + " first=[" +
                                                                         r.args + "] last=[" + rows[end - 1].args + "]";
                    if (end - i < kFoldedRun) end = i + 1;
                    CFzError e = cat.Exec(kInsertRow, {r.time, pid, r.service, r.call, args});
                    if (e.IsError()) return e;
                    i = end;
                }
                return CFzError::Success();
            });
        }
        rows.clear();
    }
};

thread_local ThreadBatch t_batch;

}  // namespace

JournalBatch::JournalBatch() {
    if (t_batch.depth++ == 0 || t_batch.owner != ThisPid()) {
        t_batch.rows.clear();
        t_batch.owner = ThisPid();
    }
}

JournalBatch::~JournalBatch() {
    if (--t_batch.depth == 0) t_batch.Write();
}

void JournalCallAt(int64_t timeMs, std::string const& service, std::string const& call, std::string const& args) {
    if (t_batch.depth > 0 && t_batch.owner == ThisPid()) {
        t_batch.rows.push_back(BatchedRow{timeMs, service, call, args});
        if (t_batch.rows.size() >= kMostRows) t_batch.Write();
        return;
    }
    (void)Catalogue::Instance().Exec(kInsertRow, {timeMs, int64_t(getpid()), service, call, args});
}

void JournalCall(std::string const& service, std::string const& call, std::string const& args) {
    JournalCallAt(JournalNow(), service, call, args);
}

std::vector<JournalEntry> ReadJournal(std::string const& service, std::string const& call) {
    t_batch.Write();
    std::vector<CatRow> rows;
    std::vector<JournalEntry> out;
    if (Catalogue::Instance()
            .Query("SELECT id, time, pid, service, call, args FROM journal"
                   " WHERE (? = '' OR service = ?) AND (? = '' OR call = ?) ORDER BY id",
                   {service, service, call, call}, &rows)
            .IsError())
        return out;
    out.reserve(rows.size());
    for (CatRow const& r : rows) {
        JournalEntry e;
        e.id = AsInt(r[0]);
        e.time = AsInt(r[1]);
        e.pid = static_cast<int>(AsInt(r[2]));
        e.service = AsText(r[3]);
        e.call = AsText(r[4]);
        e.args = AsText(r[5]);
        out.push_back(std::move(e));
    }
    return out;
}

void ClearJournal() {
    (void)Catalogue::Instance().Exec("DELETE FROM journal");
}

}  // namespace nuvsuite
