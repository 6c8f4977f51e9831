// The fault table: calls that must fail, by service, call and an optional
// substring of the call's arguments, with a use count (-1: always).
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <atomic>

namespace nuvsuite {
namespace {

SchemaPart s_faultSchema{"suite.faults", 1,
    "CREATE TABLE IF NOT EXISTS faults ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " service TEXT NOT NULL, call TEXT NOT NULL,"
    " pattern TEXT NOT NULL DEFAULT '',"
    " code INTEGER NOT NULL, text TEXT NOT NULL DEFAULT '',"
    " remaining INTEGER NOT NULL DEFAULT -1);"
    "CREATE INDEX IF NOT EXISTS faults_by_call ON faults(service, call);"};

AdminTable s_faultAdmin{"fault", "faults", true, "id"};

char const* const kMatchSql =
    "SELECT id, code, text, remaining FROM faults"
    " WHERE service = ? AND call = ? AND remaining != 0"
    " AND (pattern = '' OR instr(?, pattern) > 0) ORDER BY id";

std::atomic<uint64_t> s_epoch{0};

}  // namespace

std::vector<std::string> FaultedCalls(std::string const& service) {
    std::vector<CatRow> rows;
    std::vector<std::string> out;
    if (Catalogue::Instance()
            .Query("SELECT DISTINCT call FROM faults WHERE service = ? AND remaining != 0", {service}, &rows)
            .IsError())
        return out;
    for (CatRow const& r : rows) out.push_back(AsText(r[0]));
    return out;
}

uint64_t FaultTableEpoch() { return s_epoch.load(); }

bool CheckFault(std::string const& service, std::string const& call, std::string const& args, FaultHit* hit) {
    Catalogue& cat = Catalogue::Instance();
    // Cheap look first: almost every call finds no fault and takes no write lock.
    std::vector<CatRow> rows;
    if (cat.Query(kMatchSql, {service, call, args}, &rows).IsError() || rows.empty()) return false;

    // Consume one use inside an IMMEDIATE transaction, so two processes racing
    // for a counted fault cannot both take its last use.
    bool fired = false;
    FaultHit found;
    CFzError e = cat.Transaction([&]() -> CFzError {
        std::vector<CatRow> again;
        CFzError q = cat.Query(kMatchSql, {service, call, args}, &again);
        if (q.IsError() || again.empty()) return q;
        CatRow const& row = again.front();
        int64_t remaining = AsInt(row[3]);
        if (remaining > 0) {
            q = cat.Exec("UPDATE faults SET remaining = remaining - 1 WHERE id = ?", {AsInt(row[0])});
            if (q.IsError()) return q;
        }
        found.code = static_cast<int>(AsInt(row[1]));
        found.text = AsText(row[2]);
        fired = true;
        return CFzError::Success();
    });
    if (e.IsError() || !fired) return false;
    ++s_epoch;
    if (hit) *hit = found;
    return true;
}

void AddFault(std::string const& service, std::string const& call, int code, std::string const& text, int count,
              std::string const& argsPattern) {
    ++s_epoch;
    (void)Catalogue::Instance().Exec(
        "INSERT INTO faults(service, call, pattern, code, text, remaining) VALUES(?, ?, ?, ?, ?, ?)",
        {service, call, argsPattern, int64_t(code), text, int64_t(count < 0 ? -1 : count)});
}

void ClearFaults() {
    ++s_epoch;
    (void)Catalogue::Instance().Exec("DELETE FROM faults");
}

}  // namespace nuvsuite
