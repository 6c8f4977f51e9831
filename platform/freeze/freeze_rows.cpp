// Catalogue rows of the freezes and the sweep of freezes left by dead processes.
//   freezes  one row per freeze until its file system is seen thawed: mount
//            point, device ("major:minor"), the freezing process, its guard,
//            state, start (ms), time limit (s), process group of the freeze
//            command and the start time of its leader
#include "freeze_rows.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace nuvfreeze {
namespace {

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;

nuvsuite::SchemaPart s_schema{"freeze", 1, R"SQL(
CREATE TABLE IF NOT EXISTS freezes (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  mount_point TEXT NOT NULL,
  device TEXT NOT NULL,
  pid INTEGER NOT NULL,
  guard_pid INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL DEFAULT 'freezing',
  started INTEGER NOT NULL DEFAULT 0,
  limit_seconds INTEGER NOT NULL DEFAULT 0);
)SQL"};

// The process group of the freeze command: a freeze is seen thawed only once
// no program of it runs any more.
nuvsuite::SchemaPart s_freezeGroup{"freeze", 2,
    "ALTER TABLE freezes ADD COLUMN freeze_pgid INTEGER NOT NULL DEFAULT 0"};

// The start time of the freeze command's process: its number may lead another
// group once the command has ended.
nuvsuite::SchemaPart s_freezeGroupStart{"freeze", 3,
    "ALTER TABLE freezes ADD COLUMN freeze_pgid_start INTEGER NOT NULL DEFAULT 0"};

nuvsuite::AdminTable s_freezes{"freeze", "freezes", false, "id"};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void LogIfFailed(CFzError const& e, char const* what) {
    if (e.IsError()) EvDebug::Error(nullptr, "nuvfreeze", "%s: %s", what, e.AsString().c_str());
}

// Waits up to `ms` for a process to end.
bool WaitGone(int pid, int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (!JzProcess::IsAlive(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !JzProcess::IsAlive(pid);
}

}  // namespace

int64_t InsertFreezeRow(std::string const& mountPoint, std::string const& device, int limitSeconds) {
    Catalogue& cat = Catalogue::Instance();
    int64_t id = 0;
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError r = cat.Exec(
            "INSERT INTO freezes(mount_point, device, pid, started, limit_seconds) VALUES(?, ?, ?, ?, ?)",
            {mountPoint, device, int64_t(::getpid()), NowMs(), int64_t(limitSeconds)});
        if (!r.IsError()) id = cat.LastInsertId();
        return r;
    });
    LogIfFailed(e, "cannot record the freeze");
    return e.IsError() ? 0 : id;
}

void SetFreezeGuard(int64_t id, int guardPid) {
    LogIfFailed(Catalogue::Instance().Exec("UPDATE freezes SET guard_pid = ? WHERE id = ?", {int64_t(guardPid), id}),
                "cannot record the freeze guard");
}

void SetFreezeState(int64_t id, char const* state) {
    LogIfFailed(Catalogue::Instance().Exec("UPDATE freezes SET state = ? WHERE id = ?", {std::string(state), id}),
                "cannot record the freeze's state");
}

bool SetFreezeGroup(int64_t id, int group) {
    unsigned long long const start = JzProcess::StartTime(group);
    if (start == 0) {
        EvDebug::Error(nullptr, "nuvfreeze", "cannot record the freeze command: process %d is gone", group);
        return false;
    }
    CFzError e = Catalogue::Instance().Exec("UPDATE freezes SET freeze_pgid = ?, freeze_pgid_start = ? WHERE id = ?",
                                            {int64_t(group), static_cast<int64_t>(start), id});
    LogIfFailed(e, "cannot record the freeze command");
    return !e.IsError();
}

void ForgetFreezeGroup(int64_t id) {
    LogIfFailed(Catalogue::Instance().Exec("UPDATE freezes SET freeze_pgid = 0, freeze_pgid_start = 0 WHERE id = ?",
                                           {id}),
                "cannot forget the freeze command");
}

FreezeCommand FreezeCommandOf(int64_t id) {
    std::vector<nuvsuite::CatRow> rows;
    LogIfFailed(
        Catalogue::Instance().Query("SELECT freeze_pgid, freeze_pgid_start FROM freezes WHERE id = ?", {id}, &rows),
        "cannot read the freeze command");
    FreezeCommand command;
    if (rows.empty()) return command;
    command.group = static_cast<int>(AsInt(rows[0][0]));
    command.start = static_cast<unsigned long long>(AsInt(rows[0][1]));
    return command;
}

std::string FreezeDeviceOf(int64_t id) {
    std::vector<nuvsuite::CatRow> rows;
    LogIfFailed(Catalogue::Instance().Query("SELECT device FROM freezes WHERE id = ?", {id}, &rows),
                "cannot read the freeze's device");
    return rows.empty() ? std::string() : AsText(rows[0][0]);
}

void DeleteFreezeRow(int64_t id) {
    LogIfFailed(Catalogue::Instance().Exec("DELETE FROM freezes WHERE id = ?", {id}), "cannot remove the freeze");
}

std::vector<FreezeRow> FreezeRows(std::string const& device) {
    std::vector<nuvsuite::CatRow> rows;
    std::string sql =
        "SELECT id, mount_point, device, pid, guard_pid, state, freeze_pgid, freeze_pgid_start, started, limit_seconds "
        "FROM freezes";
    std::vector<nuvsuite::CatValue> params;
    if (!device.empty()) {
        sql += " WHERE device = ?";
        params.push_back(device);
    }
    LogIfFailed(Catalogue::Instance().Query(sql + " ORDER BY id", params, &rows), "cannot read the freezes");
    std::vector<FreezeRow> out;
    for (auto const& r : rows) {
        FreezeRow f;
        f.id = AsInt(r[0]);
        f.mountPoint = AsText(r[1]);
        f.device = AsText(r[2]);
        f.pid = static_cast<int>(AsInt(r[3]));
        f.guardPid = static_cast<int>(AsInt(r[4]));
        f.state = AsText(r[5]);
        f.command.group = static_cast<int>(AsInt(r[6]));
        f.command.start = static_cast<unsigned long long>(AsInt(r[7]));
        f.startedMs = AsInt(r[8]);
        f.limitSeconds = static_cast<int>(AsInt(r[9]));
        out.push_back(f);
    }
    return out;
}

bool FreezeRowExists(int64_t id) {
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = Catalogue::Instance().Query("SELECT id FROM freezes WHERE id = ?", {id}, &rows);
    return e.IsError() || !rows.empty();
}

int RunFreezeTool(char const* mode, std::string const& mountPoint, std::string* error,
                  std::function<bool(int group)> const& started) {
    // The answer that a file system is not frozen is told by its text: the
    // tool's exit status is the same for every failure.
    std::vector<std::string> const cLocale{"LC_ALL=C"};
    std::string output;
    if (started) return JzProcess::system({kFreezeTool, mode, mountPoint}, &output, error, started, cLocale);
    return JzProcess::system({kFreezeTool, mode, mountPoint}, &output, error, 0, false, cLocale);
}

bool NotFrozenAnswer(int rc, std::string const& error) {
    return rc != 0 && error.find("Invalid argument") != std::string::npos;
}

ThawSeen ThawFreeze(std::string const& mountPoint, FreezeCommand const& command, int waitMs, std::string* error) {
    for (int waited = 0; JzProcess::GroupAlive(command.group, command.start); waited += 10) {
        if (waited >= waitMs) {
            *error = "the freeze command (process group " + std::to_string(command.group) + ") still runs";
            return ThawSeen::Failed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int const rc = RunFreezeTool("-u", mountPoint, error);
    if (rc == 0) return ThawSeen::Thawed;
    return NotFrozenAnswer(rc, *error) ? ThawSeen::NotFrozen : ThawSeen::Failed;
}

std::string FreezeMutexName(std::string const& device) { return "freeze-" + device; }

std::vector<std::string> ThawDeadFreezesOf(std::string const& device, bool locked) {
    std::vector<std::string> said;
    for (FreezeRow const& row : FreezeRows(device)) {
        bool const creatorRuns = row.pid == ::getpid() || JzProcess::IsAlive(row.pid);
        if (creatorRuns) {
            // Its guard ends it at the time limit. Without a guard, a creator
            // that hangs or is stopped would keep it frozen without end.
            bool const pastLimit = NowMs() - row.startedMs > int64_t(row.limitSeconds) * 1000;
            if (!pastLimit || (row.guardPid > 0 && JzProcess::IsAlive(row.guardPid))) continue;
        } else if (row.guardPid > 0 && JzProcess::IsAlive(row.guardPid) && !WaitGone(row.guardPid, 5000)) {
            continue;  // its guard thaws it on its own once it sees the end of its channel
        }
        if (!FreezeRowExists(row.id)) continue;
        JzNamedMutex mutex(FreezeMutexName(row.device));
        if (!locked && !mutex.lock(0)) continue;  // a live freeze of the device sweeps it itself
        std::string error;
        ThawSeen const seen = ThawFreeze(row.mountPoint, row.command, 5000, &error);
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        std::string const by = "process " + std::to_string(row.pid) +
                               (creatorRuns ? " past its time limit of " + std::to_string(row.limitSeconds) +
                                                  " seconds, whose guard is gone"
                                            : std::string(", which is gone"));
        std::string line;
        if (seen == ThawSeen::Thawed) {
            line = "thawed [" + row.mountPoint + "], left frozen by " + by;
        } else if (seen == ThawSeen::NotFrozen) {
            line = "found the freeze of [" + row.mountPoint + "] by " + by + "; it was not frozen any more (" +
                   error + ")";
        } else {
            line = "cannot thaw [" + row.mountPoint + "], left frozen by " + by + ": " + error +
                   "; its record stays for the next try";
        }
        EvDebug::DebugLvl(nullptr, -1, "nuvfreeze::ThawDeadFreezes", "%s", line.c_str());
        if (seen != ThawSeen::Failed) DeleteFreezeRow(row.id);
        said.push_back(line);
    }
    return said;
}

std::vector<std::string> ThawDeadFreezes() { return ThawDeadFreezesOf("", false); }

}  // namespace nuvfreeze
