// The local suite's shared ground: the state root, the fault table, the call
// journal and the program substitution table. All four live in the one SQLite
// catalogue under the state root, so tests, plug-ins and helper programs in
// other processes see the same rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvsuite {

// The state root: $JZ_SUITE_ROOT, else $XDG_STATE_HOME/nuvsuite, else
// $HOME/.local/state/nuvsuite (a relative path is made absolute). The
// directory is created on first use, its catalogue when first opened.
std::string StateRootPath();

// A directory of the state root, created when missing: a folder of
// StateEntries ("registry", "jobresults", "snapshots", ...).
std::string StatePath(char const* sub);

// One entry of the state root that the suite keeps.
struct StateEntry {
    enum Kind { kFolder, kFile, kCatalogue };  // kCatalogue: the SQLite file, its "-wal" and "-shm" beside it
    // What in a folder shows that the root was used before: any entry, or a
    // snapshot copy (named by its id, "12", a half-made one ".partial-12").
    enum Sign { kNoSign, kAnyEntry, kSnapshotCopy };
    char const* name;
    Kind kind;
    bool everyRoot;        // a folder of every state root: `jzsuite init` makes it, a snapshot create writes to it
    bool suiteOwn;         // the suite's own state, no place to restore to (volumes/ holds declared volumes)
    Sign sign;
    char const* signText;  // what the sign shows ("snapshot copies under snapshots/"); null without one
};

// Every entry of the state root, the one list of them: the signs of use in
// the order they are looked for, then the rest.
std::vector<StateEntry> const& StateEntries();

// The state root, or the entry of the suite's own state in it (each entry of
// StateEntries that is suiteOwn), that `path` (resolved as far as it exists)
// is or lies in; "" when none. The suite's own state is no place to restore
// files to; the loop volumes under volumes/ and other folders in the state
// root are not the suite's state.
std::string SuiteStateHolding(std::string const& path);
// The same for a path and a state root both resolved already (no look-up).
std::string SuiteStateIn(std::string const& resolvedPath, std::string const& resolvedRoot);
// The state root, resolved (realpath); "" when it does not resolve.
std::string ResolvedStateRoot();

// The first place the local suite writes to during a snapshot create that lies
// on the file system of `path` (by device, links followed): the state root, each
// of its folders (the snapshot copies' destination among them), the catalogue
// and its journal files, the log file. "" when none does (or `path` cannot be
// looked at). Freezing such a file system would stop the suite itself in the
// middle of the create, with nothing left to thaw it.
std::string SuiteStateOn(std::string const& path);

// Path of the SQLite catalogue file.
std::string CataloguePath();

// Brannox id of the local suite.
constexpr int kLocalBrannoxId = 2;

struct FaultHit {
    int code = -1;
    std::string text;
};

// True when the fault table says this call must fail now; consumes one use of
// a counted fault (atomically across processes). `args` is matched against the
// fault's optional pattern (a substring; empty matches any); the oldest matching
// fault wins.
bool CheckFault(std::string const& service, std::string const& call,
                std::string const& args, FaultHit* hit);

// False only when no fault of `service` can fire now: a read of a shared
// counter while the fault table has not changed since this thread last asked,
// so a hot path (a file write) may ask on every call.
bool FaultsMayFire(std::string const& service);

// Appends one row to the call journal (time in milliseconds since the epoch).
void JournalCall(std::string const& service, std::string const& call, std::string const& args);
// The same with the call's own time, for a service that journals a batch of
// calls later in one transaction.
void JournalCallAt(int64_t timeMs, std::string const& service, std::string const& call, std::string const& args);
// Milliseconds since the epoch, as the journal records them.
int64_t JournalNow();

// While one lives on a thread, that thread's journal rows (each with its own
// time, in order) are kept and written together in one transaction when the
// outermost one ends (and every 4096 rows), for a caller that makes a service
// call per file. A run of 64 or more calls of one service and name becomes
// one row, with the first call's time and the arguments "calls=<n>
// first=[<first call's>] last=[<last call's>]". ReadJournal on the thread
// writes them first. The fault table is consulted at each call as ever; a
// process killed inside loses its rows.
class JournalBatch {
public:
    JournalBatch();
    ~JournalBatch();
    JournalBatch(JournalBatch const&) = delete;
    JournalBatch& operator=(JournalBatch const&) = delete;
};

// For a service that makes many calls a second: the calls of the service that
// have a fault with uses left (CheckFault is needed only for these), and a
// number that changes whenever this process changes the fault table. A fault
// added by another process is seen at the service's next look.
std::vector<std::string> FaultedCalls(std::string const& service);
uint64_t FaultTableEpoch();

// The program to run in place of `program` (an absolute path), or `program` itself.
std::string SubstituteProgram(std::string const& program);

// --- control, for tests and the admin command ---
void AddFault(std::string const& service, std::string const& call, int code,
              std::string const& text, int count /* -1: always */,
              std::string const& argsPattern = "");
void ClearFaults();
// Removes the one fault `id`; false when there is none (or the catalogue fails).
bool RemoveFault(int64_t id);

struct JournalEntry {
    int64_t id = 0;
    int64_t time = 0;
    int pid = 0;
    std::string service;
    std::string call;
    std::string args;
};
std::vector<JournalEntry> ReadJournal(std::string const& service = "", std::string const& call = "");
void ClearJournal();

void SetSubstitution(std::string const& program, std::string const& replacement);
void ClearSubstitutions();

}  // namespace nuvsuite
