#include "snapshot_store.h"

#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
#include <unistd.h>
#include <sstream>

namespace nuvsnapmgr {
namespace {

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::CatRow;
using nuvsuite::Catalogue;

constexpr char const* kSnapshotColumns =
    "id, job_id, brannox_id, app_id, arch_file_id, sm_volume_id, source_path, source_device, snap_device, "
    "engine_id, state, reflink, created, volume_xml, method, image, failed_create";

SnapshotRow ToSnapshot(CatRow const& r) {
    SnapshotRow s;
    s.id = AsInt(r[0]);
    s.jobId = AsInt(r[1]);
    s.brannoxId = AsInt(r[2]);
    s.appId = AsInt(r[3]);
    s.archFileId = AsInt(r[4]);
    s.smVolumeId = AsInt(r[5]);
    s.sourcePath = AsText(r[6]);
    s.sourceDevice = AsText(r[7]);
    s.snapDevice = AsText(r[8]);
    s.engineId = AsInt(r[9]);
    s.state = AsText(r[10]);
    s.reflink = AsInt(r[11]) != 0;
    s.created = AsInt(r[12]);
    s.volumeXml = AsText(r[13]);
    s.method = AsText(r[14]);
    s.image = AsText(r[15]);
    s.failedCreate = AsText(r[16]);
    return s;
}

MountRow ToMount(CatRow const& r) {
    MountRow m;
    m.id = AsInt(r[0]);
    m.snapshotId = AsInt(r[1]);
    m.jobId = AsInt(r[2]);
    m.mountPath = AsText(r[3]);
    std::istringstream dirs(AsText(r[4]));
    for (std::string d; std::getline(dirs, d);)
        if (!d.empty()) m.createdDirs.push_back(d);
    m.created = AsInt(r[5]);
    m.holderPid = AsInt(r[6]);
    m.holderStart = AsInt(r[7]);
    return m;
}

constexpr char const* kMountColumns =
    "id, snapshot_id, job_id, mount_path, created_dirs, created, holder_pid, holder_start";

// This process's start time (looked up again in a child after fork()).
int64_t OwnStart() {
    static std::mutex s_mutex;
    static pid_t s_pid = 0;
    static int64_t s_start = 0;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (s_pid != ::getpid()) {
        s_pid = ::getpid();
        s_start = static_cast<int64_t>(JzProcess::StartTime(s_pid));
    }
    return s_start;
}

// The state roots (as JZ_SUITE_ROOT gave them) in which this process recorded
// mounts it holds.
std::mutex s_heldMutex;
std::set<std::string>& HeldIn() {
    static std::set<std::string>* const files = new std::set<std::string>();  // outlives exit handlers
    return *files;
}

// At a normal exit the mounts this process still holds are handed over: they
// stay, as the caller left them, until someone unmounts them. Only the
// catalogue of the state root in use then is reached, and only when this
// process recorded mounts there (never one made afresh at exit).
std::string RootSetting() {
    char const* root = std::getenv("JZ_SUITE_ROOT");
    return root != nullptr ? root : "";
}

void HandOverHeldMounts() {
    {
        std::lock_guard<std::mutex> lock(s_heldMutex);
        if (HeldIn().count(RootSetting()) == 0) return;
    }
    struct stat st;
    if (::stat(nuvsuite::CataloguePath().c_str(), &st) != 0) return;
    (void)Catalogue::Instance().Exec(
        "UPDATE sm_mounts SET holder_pid = 0, holder_start = 0 WHERE holder_pid = ? AND holder_start = ?",
        {int64_t(::getpid()), OwnStart()});
}

// A holder is gone when no process runs with its pid, or the one that does
// started at another time (the pid was taken again).
bool HolderGone(int64_t pid, int64_t start) {
    if (pid <= 0) return false;
    if (!JzProcess::IsAlive(static_cast<int>(pid))) return true;
    int64_t const now = static_cast<int64_t>(JzProcess::StartTime(static_cast<int>(pid)));
    return start != 0 && now != 0 && now != start;
}

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

// Insert inside a transaction so the id read back is the row's own.
CFzError InsertReturningId(std::string const& sql, std::vector<nuvsuite::CatValue> const& params, int64_t* id) {
    Catalogue& cat = Catalogue::Instance();
    return cat.Transaction([&]() -> CFzError {
        CFzError e = cat.Exec(sql, params);
        if (!e.IsError()) *id = cat.LastInsertId();
        return e;
    });
}

}  // namespace

CFzError NewVolumeId(int64_t jobId, std::string const& sourcePath, std::string const& device, int64_t* id) {
    return InsertReturningId(
        "INSERT INTO sm_volume_ids(job_id, source_path, source_device, created) VALUES(?, ?, ?, ?)",
        {jobId, sourcePath, device, Now()}, id);
}

CFzError VolumeIdExists(int64_t id, bool* exists) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query("SELECT id FROM sm_volume_ids WHERE id = ?", {id}, &rows);
    *exists = !e.IsError() && !rows.empty();
    return e;
}

CFzError DeleteVolumeId(int64_t id) {
    return Catalogue::Instance().Exec("DELETE FROM sm_volume_ids WHERE id = ?", {id});
}

CFzError InsertSnapshot(SnapshotRow const& r, int64_t* id) {
    return InsertReturningId(
        "INSERT INTO sm_snapshots(job_id, brannox_id, app_id, arch_file_id, sm_volume_id, source_path, "
        "source_device, snap_device, engine_id, state, reflink, created, volume_xml, creator_pid) "
        "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, 'creating', 0, ?, ?, ?)",
        {r.jobId, r.brannoxId, r.appId, r.archFileId, r.smVolumeId, r.sourcePath, r.sourceDevice, r.snapDevice,
         r.engineId, Now(), r.volumeXml, int64_t(::getpid())},
        id);
}

CFzError ClaimAbandonedCreates(std::vector<int64_t>* ids) {
    ids->clear();
    std::vector<CatRow> rows;
    // A row left 'abandoned' by a sweep that died before it removed the copy is
    // taken again: its creator_pid is then that sweep's.
    CFzError e = Catalogue::Instance().Query(
        "SELECT id, creator_pid, state FROM sm_snapshots WHERE state IN ('creating', 'abandoned') "
        "AND creator_pid > 0 AND creator_pid != ?",
        {int64_t(::getpid())}, &rows);
    if (e.IsError()) return e;
    for (auto const& r : rows) {
        pid_t pid = static_cast<pid_t>(AsInt(r[1]));
        if (JzProcess::IsAlive(pid)) continue;  // the creator still runs (or cannot be told)
        // Claimed by one process only: the row moves on exactly once from what was seen.
        std::vector<CatRow> claimed;
        e = Catalogue::Instance().Query(
            "UPDATE sm_snapshots SET state = 'abandoned', creator_pid = ? "
            "WHERE id = ? AND state = ? AND creator_pid = ? RETURNING id",
            {int64_t(::getpid()), AsInt(r[0]), AsText(r[2]), AsInt(r[1])}, &claimed);
        if (e.IsError()) return e;
        if (!claimed.empty()) ids->push_back(AsInt(r[0]));
    }
    return CFzError::Success();
}

CFzError PlanSnapshot(int64_t id, std::string const& method, std::string const& snapDevice, std::string const& image) {
    return Catalogue::Instance().Exec("UPDATE sm_snapshots SET method = ?, snap_device = ?, image = ? WHERE id = ?",
                                      {method, snapDevice, image, id});
}

CFzError FinishSnapshot(int64_t id, std::string const& snapDevice, std::string const& method,
                        std::string const& volumeXml) {
    return Catalogue::Instance().Exec(
        "UPDATE sm_snapshots SET state = 'ready', snap_device = ?, method = ?, reflink = ?, volume_xml = ? "
        "WHERE id = ?",
        {snapDevice, method, int64_t(method == "reflink" ? 1 : 0), volumeXml, id});
}

CFzError UpdateSnapshotVolume(int64_t id, std::string const& volumeXml) {
    return Catalogue::Instance().Exec("UPDATE sm_snapshots SET volume_xml = ? WHERE id = ?", {volumeXml, id});
}

CFzError DeleteSnapshotRow(int64_t id) {
    return Catalogue::Instance().Exec("DELETE FROM sm_snapshots WHERE id = ?", {id});
}

CFzError MarkSnapshotOfFailedCreate(int64_t id, int64_t jobId, std::string const& why, bool* marked) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        "UPDATE sm_snapshots SET failed_create = ? WHERE id = ? AND state = 'ready' AND (? = 0 OR job_id = ?) "
        "RETURNING id",
        {why.empty() ? std::string("failed create") : why, id, jobId, jobId}, &rows);
    *marked = !e.IsError() && !rows.empty();
    return e;
}

CFzError SnapshotAtCopy(std::string const& snapDevice, SnapshotRow* row, bool* found) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(std::string("SELECT ") + kSnapshotColumns +
                                                 " FROM sm_snapshots WHERE state = 'ready' AND snap_device = ? "
                                                 "ORDER BY id LIMIT 1",
                                             {snapDevice}, &rows);
    *found = !e.IsError() && !rows.empty();
    if (*found) *row = ToSnapshot(rows[0]);
    return e;
}

CFzError GetSnapshot(int64_t id, SnapshotRow* row, bool* found) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        std::string("SELECT ") + kSnapshotColumns + " FROM sm_snapshots WHERE id = ?", {id}, &rows);
    *found = !e.IsError() && !rows.empty();
    if (*found) *row = ToSnapshot(rows[0]);
    return e;
}

CFzError ListReadySnapshots(char const* column, int64_t value, std::vector<SnapshotRow>* out) {
    std::string col = column;
    if (col != "job_id" && col != "arch_file_id" && col != "sm_volume_id")
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "no selection by [%s]", column);
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(std::string("SELECT ") + kSnapshotColumns +
                                                 " FROM sm_snapshots WHERE state = 'ready' AND " + col +
                                                 " = ? ORDER BY id",
                                             {value}, &rows);
    out->clear();
    for (auto const& r : rows) out->push_back(ToSnapshot(r));
    return e;
}

CFzError CountSnapshotsOfVolume(int64_t smVolumeId, int64_t* count) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query("SELECT COUNT(*) FROM sm_snapshots WHERE sm_volume_id = ?",
                                             {smVolumeId}, &rows);
    *count = rows.empty() ? 0 : AsInt(rows[0][0]);
    return e;
}

CFzError InsertMount(MountRow const& m, int64_t* id) {
    static std::once_flag s_handOver;
    // Registered after the catalogue exists, so it runs before the catalogue goes.
    std::call_once(s_handOver, [] {
        (void)Catalogue::Instance();
        std::atexit(HandOverHeldMounts);
    });
    {
        std::lock_guard<std::mutex> lock(s_heldMutex);
        HeldIn().insert(RootSetting());
    }
    std::string dirs;
    for (auto const& d : m.createdDirs) dirs += d + "\n";
    return InsertReturningId(
        "INSERT INTO sm_mounts(snapshot_id, job_id, mount_path, created_dirs, created, holder_pid, holder_start) "
        "VALUES(?, ?, ?, ?, ?, ?, ?)",
        {m.snapshotId, m.jobId, m.mountPath, dirs, Now(), int64_t(::getpid()), OwnStart()}, id);
}

bool HeldByOtherProcess(MountRow const& row) {
    if (row.holderPid <= 0) return false;
    if (row.holderPid == ::getpid() && row.holderStart == OwnStart()) return false;
    return !HolderGone(row.holderPid, row.holderStart);
}

CFzError ClaimAbandonedMounts(std::vector<MountRow>* out) {
    out->clear();
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        std::string("SELECT ") + kMountColumns +
            " FROM sm_mounts WHERE holder_pid > 0 AND NOT (holder_pid = ? AND holder_start = ?)",
        {int64_t(::getpid()), OwnStart()}, &rows);
    if (e.IsError()) return e;
    for (auto const& r : rows) {
        MountRow m = ToMount(r);
        if (!HolderGone(m.holderPid, m.holderStart)) continue;  // still running (or cannot be told)
        std::vector<CatRow> claimed;
        e = Catalogue::Instance().Query(
            "UPDATE sm_mounts SET holder_pid = ?, holder_start = ? "
            "WHERE id = ? AND holder_pid = ? AND holder_start = ? RETURNING id",
            {int64_t(::getpid()), OwnStart(), m.id, m.holderPid, m.holderStart}, &claimed);
        if (e.IsError()) return e;
        if (!claimed.empty()) out->push_back(m);
    }
    return CFzError::Success();
}

CFzError RestoreMountHolder(MountRow const& row) {
    return Catalogue::Instance().Exec("UPDATE sm_mounts SET holder_pid = ?, holder_start = ? WHERE id = ?",
                                      {row.holderPid, row.holderStart, row.id});
}

CFzError DeleteMountRow(int64_t id) { return Catalogue::Instance().Exec("DELETE FROM sm_mounts WHERE id = ?", {id}); }

CFzError MountsOfSnapshot(int64_t snapshotId, std::vector<MountRow>* out) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        std::string("SELECT ") + kMountColumns + " FROM sm_mounts WHERE snapshot_id = ? ORDER BY id",
        {snapshotId}, &rows);
    out->clear();
    for (auto const& r : rows) out->push_back(ToMount(r));
    return e;
}

CFzError MountAtPath(std::string const& path, MountRow* row, bool* found) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        std::string("SELECT ") + kMountColumns + " FROM sm_mounts WHERE mount_path = ?",
        {path}, &rows);
    *found = !e.IsError() && !rows.empty();
    if (*found) *row = ToMount(rows[0]);
    return e;
}

std::string VolumeToXml(SMVolumeInfo const& volume) {
    SMVolSnapInfo one;
    one.addVolume(volume, true);
    std::string text;
    if (JZSnapClientAPI_VolSnapInfoObjectToXMLStr(one, text) != 0) return std::string();
    return text;
}

bool VolumeFromXml(std::string const& xml, SMVolumeInfo* volume) {
    SMVolSnapInfo one;
    if (JZSnapClientAPI_VolSnapInfoXMLStrToObject(xml, one) != 0 || one.getNumVolumes() != 1) return false;
    *volume = *one.volumeListBegin();
    return true;
}

}  // namespace nuvsnapmgr
