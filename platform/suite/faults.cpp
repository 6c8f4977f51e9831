// The fault table: calls that must fail, by service, call and an optional
// substring of the call's arguments, with a use count (-1: always).
//
// Checking costs nothing while no fault of a service is declared: every change
// of the table bumps a counter in the shared file "faults.stamp" of the state
// root (mapped into each process); a thread asks the catalogue whether a
// service has faults only when the counter moved since it last asked.
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "schema_registry.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A declared fault fires a real code and a use count that means something:
// -1 (always) or a positive number of uses.
std::string CheckFaultRow(AdminRow const& row) {
    auto remaining = row.find("remaining");
    if (remaining == row.end()) return std::string();
    int64_t const uses = AsInt(remaining->second);
    return uses == -1 || uses > 0 ? std::string() : "remaining must be -1 (always) or a positive number of uses";
}

AdminTable s_faultAdmin{"fault", "faults", true, "id",
                        {{"id", AdminValue::kId}, {"code", AdminValue::kCode}, {"remaining", AdminValue::kSigned}},
                        CheckFaultRow};

char const* const kMatchSql =
    "SELECT id, code, text, remaining FROM faults"
    " WHERE service = ? AND call = ? AND remaining != 0"
    " AND (pattern = '' OR instr(?, pattern) > 0) ORDER BY id";

using Counter = std::atomic<uint64_t>;
static_assert(Counter::is_always_lock_free, "the shared fault counter must be lock-free");

// The counter of the state root whose catalogue is `cataloguePath`, mapped
// shared; null when the file cannot be made or mapped.
Counter* MapStamp(std::string const& cataloguePath) {
    std::string::size_type slash = cataloguePath.find_last_of('/');
    if (slash == std::string::npos) return nullptr;
    std::string path = cataloguePath.substr(0, slash) + "/faults.stamp";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    struct stat st {};
    void* p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= static_cast<off_t>(sizeof(Counter)) ||
                                ftruncate(fd, sizeof(Counter)) == 0))
        p = mmap(nullptr, sizeof(Counter), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<Counter*>(p);
}

// One thread's view of the stamp: no lock on the way, nothing held across fork().
struct StampView {
    std::string envKey;     // the environment the state root was found from
    std::string catalogue;  // catalogue path of that root
    Counter* counter = nullptr;
    std::map<std::string, std::pair<uint64_t, bool>> known;  // service -> (counter seen, has faults)

    ~StampView() { Unmap(); }
    void Unmap() {
        if (counter) munmap(counter, sizeof(Counter));
        counter = nullptr;
    }
    void Point(std::string const& cataloguePath) {
        if (cataloguePath == catalogue && counter) return;
        Unmap();
        catalogue = cataloguePath;
        counter = MapStamp(cataloguePath);
        known.clear();
    }
};

thread_local StampView t_view;

std::string EnvironmentKey() {
    std::string key;
    for (char const* name : {"JZ_SUITE_ROOT", "XDG_STATE_HOME", "HOME"}) {
        char const* value = std::getenv(name);
        key += value ? value : "";
        key += '\n';
    }
    return key;
}

// Whether the environment still gives the key `key` was made from, read in
// place (a per-entry call asks). A set JZ_SUITE_ROOT alone names the root:
// the others are not read then.
bool SameEnvironment(std::string const& key) {
    size_t pos = 0;
    for (char const* name : {"JZ_SUITE_ROOT", "XDG_STATE_HOME", "HOME"}) {
        char const* value = std::getenv(name);
        size_t const length = value ? std::strlen(value) : 0;
        if (key.size() < pos + length + 1 || key.compare(pos, length, value ? value : "", length) != 0 ||
            key[pos + length] != '\n')
            return false;
        if (pos == 0 && length != 0) return true;
        pos += length + 1;
    }
    return pos == key.size();
}

// This process's changes of the fault table, for when the shared counter cannot be mapped.
std::atomic<uint64_t> s_localEpoch{0};

// The calling thread's view of the current state root's counter (null when unmappable).
StampView& CurrentView() {
    StampView& view = t_view;
    if (!view.counter || !SameEnvironment(view.envKey)) {
        view.envKey = EnvironmentKey();
        view.Point(CataloguePath());
    }
    return view;
}

// False only when the service surely has no fault that could fire.
bool MayHaveFaults(std::string const& service) {
    StampView& view = CurrentView();
    if (!view.counter) return true;
    uint64_t seen = view.counter->load(std::memory_order_acquire);
    auto it = view.known.find(service);
    if (it != view.known.end() && it->second.first == seen) return it->second.second;
    std::vector<CatRow> rows;
    bool any = Catalogue::Instance()
                   .Query("SELECT 1 FROM faults WHERE service = ? AND remaining != 0 LIMIT 1", {service}, &rows)
                   .IsError() ||
               !rows.empty();
    view.known[service] = {seen, any};
    return any;
}

}  // namespace

namespace detail {

void BumpFaultStamp(std::string const& cataloguePath) {
    // Its own mapping, so a bump never disturbs a thread's view.
    if (Counter* counter = MapStamp(cataloguePath)) {
        counter->fetch_add(1, std::memory_order_acq_rel);
        munmap(counter, sizeof(Counter));
    }
}

}  // namespace detail

bool FaultsMayFire(std::string const& service) {
    return MayHaveFaults(service);
}

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

uint64_t FaultTableEpoch() {
    StampView& view = CurrentView();
    return view.counter ? view.counter->load(std::memory_order_acquire) : s_localEpoch.load();
}

bool CheckFault(std::string const& service, std::string const& call, std::string const& args, FaultHit* hit) {
    if (!MayHaveFaults(service)) return false;
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
    ++s_localEpoch;
    if (hit) *hit = found;
    return true;
}

void AddFault(std::string const& service, std::string const& call, int code, std::string const& text, int count,
              std::string const& argsPattern) {
    (void)Catalogue::Instance().Exec(
        "INSERT INTO faults(service, call, pattern, code, text, remaining) VALUES(?, ?, ?, ?, ?, ?)",
        {service, call, argsPattern, int64_t(code), text, int64_t(count < 0 ? -1 : count)});
}

bool RemoveFault(int64_t id) {
    Catalogue& cat = Catalogue::Instance();
    bool removed = false;
    CFzError e = cat.Transaction([&]() -> CFzError {
        std::vector<CatRow> rows;
        CFzError q = cat.Query("SELECT 1 FROM faults WHERE id = ?", {id}, &rows);
        if (q.IsError() || rows.empty()) return q;
        removed = true;
        return cat.Exec("DELETE FROM faults WHERE id = ?", {id});
    });
    if (e.IsError()) return false;
    ++s_localEpoch;
    return removed;
}

void ClearFaults() {
    ++s_localEpoch;
    (void)Catalogue::Instance().Exec("DELETE FROM faults");
}

}  // namespace nuvsuite
