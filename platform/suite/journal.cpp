// The call journal: one row per platform call, readable from every process.
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <chrono>
#include <unistd.h>

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

void JournalCallAt(int64_t timeMs, std::string const& service, std::string const& call, std::string const& args) {
    (void)Catalogue::Instance().Exec("INSERT INTO journal(time, pid, service, call, args) VALUES(?, ?, ?, ?, ?)",
                                     {timeMs, int64_t(getpid()), service, call, args});
}

void JournalCall(std::string const& service, std::string const& call, std::string const& args) {
    JournalCallAt(JournalNow(), service, call, args);
}

std::vector<JournalEntry> ReadJournal(std::string const& service, std::string const& call) {
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
