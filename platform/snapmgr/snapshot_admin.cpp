// Single snapshots taken down by the operator, through the snapshot client.
#include "nuvdbsnap/platform/snapmgr/snapshot_admin.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include "nuvdbsnap/platform/base/log.h"

#include "mountinfo.h"
#include "release.h"
#include "sm_paths.h"
#include "snapshot_store.h"

#include <cerrno>

namespace nuvsnapmgr {
namespace {

CFzError Known(int64_t id, SnapshotRow* row) {
    bool found = false;
    CFzError e = GetSnapshot(id, row, &found);
    if (e.IsError()) return e.Push(FZ_LOC, "cannot read snapshot %lld", static_cast<long long>(id));
    if (!found) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "no snapshot %lld", static_cast<long long>(id));
    return CFzError::Success();
}

// A record naming the one snapshot, under its job.
SMVolSnapInfo RecordOf(SnapshotRow const& row) {
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(row.jobId));
    SMVolumeInfo volume;
    volume.setSourcePath(row.sourcePath);
    volume.setSMSnapId(static_cast<int>(row.id));
    record.addVolume(volume);
    SMSnapInfo snap;
    snap.setSMSnapId(static_cast<int>(row.id));
    snap.setSnapDevice(row.snapDevice);
    record.addSnap(snap);
    return record;
}

// A mount point strictly below the copy (a mount on the copy itself is the
// suite's own block clone); "" when none.
std::string MountBelow(std::string const& copy) {
    if (copy.empty()) return std::string();
    for (MountEntry const& m : ParseMountInfo(ReadSelfMountInfo()))
        if (m.mountPoint != copy && PathHolds(copy, m.mountPoint)) return m.mountPoint;
    return std::string();
}

CFzError ClientError(JZSnapClientAPI const& client, char const* what, int64_t id) {
    std::string text;
    int const code = client.getErrCodeAndStr(text);
    return FXErrorUtil::ErrorJZResult(FZ_LOC, code != 0 ? code : -1, "cannot %s snapshot %lld: %s", what,
                                      static_cast<long long>(id), text.c_str());
}

}  // namespace

CFzError UnmountSnapshot(int64_t id) {
    SnapshotRow row;
    CFzError e = Known(id, &row);
    if (e.IsError()) return e;
    SMVolSnapInfo record = RecordOf(row);
    JZSnapClientAPI client;
    if (!client.unmount(record)) return ClientError(client, "unmount", id);
    // Binds that no row records (a run killed before mounts were recorded
    // first left them) go too, wherever they are; none may stay.
    EvEvent event(row.jobId > 0 ? static_cast<uint64_t>(row.jobId) : 0);
    e = ReleaseUnrecordedMounts(row, true, &event);
    if (e.IsError()) return e.Push(FZ_LOC, "cannot unmount snapshot %lld", static_cast<long long>(id));
    std::vector<std::string> const left = MountsOfCopy(row);
    if (!left.empty())
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "snapshot %lld is still mounted at [%s]",
                                       static_cast<long long>(id), left.front().c_str());
    return CFzError::Success();
}

CFzError DeleteSnapshot(int64_t id) {
    SnapshotRow row;
    CFzError e = Known(id, &row);
    if (e.IsError()) return e;
    if (row.state == "creating")
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "snapshot %lld is still being made: not deleted",
                                       static_cast<long long>(id));
    std::vector<MountRow> mounts;
    e = MountsOfSnapshot(id, &mounts);
    if (e.IsError()) return e;
    if (!mounts.empty())
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY,
                                       "snapshot %lld is mounted at [%s]: unmount it first (jzsuite snapshot unmount %lld)",
                                       static_cast<long long>(id), mounts.front().mountPath.c_str(),
                                       static_cast<long long>(id));
    std::vector<std::string> const binds = MountsOfCopy(row);
    if (!binds.empty())
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY,
                                       "snapshot %lld is mounted at [%s]: unmount it first (jzsuite snapshot unmount %lld)",
                                       static_cast<long long>(id), binds.front().c_str(), static_cast<long long>(id));
    std::string const holder = MountBelow(RealPath(row.snapDevice));
    if (!holder.empty())
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "snapshot %lld has [%s] mounted on it: not deleted",
                                       static_cast<long long>(id), holder.c_str());
    SMVolSnapInfo record = RecordOf(row);
    JZSnapClientAPI client;
    if (!client.deleteVolumeSnaps(record)) return ClientError(client, "delete", id);
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
