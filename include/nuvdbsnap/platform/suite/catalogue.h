// The one SQLite catalogue of the local suite. Only platform services use it;
// each service declares its own tables with a SchemaPart and reads and writes
// them through this class. Safe across threads (one connection per process,
// serialised) and across processes (WAL, busy timeout, IMMEDIATE transactions).
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace nuvsuite {

using CatValue = std::variant<std::nullptr_t, int64_t, double, std::string>;
using CatRow = std::vector<CatValue>;

int64_t AsInt(CatValue const& v);         // 0 for null
std::string AsText(CatValue const& v);    // "" for null

// A service's tables: applied (CREATE ... IF NOT EXISTS, then migrations keyed
// by version) when the catalogue is opened. Register with a static object:
//   static nuvsuite::SchemaPart s_schema{"archive", 1, "CREATE TABLE IF NOT EXISTS ..."};
struct SchemaPart {
    SchemaPart(char const* service, int version, char const* ddl);
    char const* service;
    int version;
    char const* ddl;
};

class Catalogue {
public:
    // The catalogue of the current state root; reopened when the state root
    // (JZ_SUITE_ROOT) has changed since the last call (outside a transaction),
    // and in a child process after fork(). Errors of the open are returned by
    // the next Exec/Query/Transaction. It is never made afresh in a state root
    // that cannot be written, nor where it is missing or empty while the root
    // shows it was used (snapshot copies, job results...): both are errors. A
    // damaged file (SQLite's "malformed" or "not a database") fails with a text
    // that says "malformed", reported once to the damage reporter below.
    static Catalogue& Instance();

    [[nodiscard]] CFzError Exec(std::string const& sql, std::vector<CatValue> const& params = {});
    [[nodiscard]] CFzError Query(std::string const& sql, std::vector<CatValue> const& params,
                                 std::vector<CatRow>* rows);
    // The rows of a query one at a time, as they are read (no copy of the
    // whole answer): `each` sees each row (valid during the call) and returns
    // false to stop. It may use the catalogue itself.
    [[nodiscard]] CFzError QueryEach(std::string const& sql, std::vector<CatValue> const& params,
                                     std::function<bool(CatRow const&)> const& each);
    // Row id of the last insert of this process; read it inside the same
    // Transaction as the insert (another thread may insert in between otherwise).
    int64_t LastInsertId();

    // Runs fn inside one IMMEDIATE transaction; a failure (or an exception,
    // which is rethrown) rolls it back. Nested calls join the outer
    // transaction as savepoints: a failing nested call undoes only its own
    // work, and nothing is committed before the outer call ends.
    [[nodiscard]] CFzError Transaction(std::function<CFzError()> const& fn);

    // For a writer of much in many transactions: the write-ahead log is
    // copied into the catalogue file once, by Checkpoint() when the work
    // ends, not every 1000 pages on the way (until then only past 16384).
    void DeferCheckpoints();
    // Copies what the write-ahead log holds into the catalogue file, as far
    // as no reader still needs it (never waits), and copies every 1000 pages
    // again from then on.
    void Checkpoint();

    std::string const& path() const;  // the open catalogue file, "" when none

private:
    Catalogue();
    struct Impl;
    Impl* m_impl;
    friend struct CatalogueAccess;
};

// Where the catalogue reports damage it meets (a malformed file, a catalogue
// lost from a used state root), once per process and file: the logger of the
// base library installs itself here; standard error while none is installed.
using CatalogueDamageReporter = void (*)(std::string const& text);
void SetCatalogueDamageReporter(CatalogueDamageReporter reporter);

}  // namespace nuvsuite
