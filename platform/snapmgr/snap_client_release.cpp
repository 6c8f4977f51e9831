// JZSnapClientAPI: delete and unmount. Only what the catalogue says the suite
// made is released; every path is checked before anything is removed.
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"

#include "mountinfo.h"
#include "release.h"
#include "sm_call.h"
#include "sm_paths.h"
#include "snap_methods.h"
#include "snapshot_store.h"

#include <map>
#include <set>

using namespace nuvsnapmgr;

bool JZSnapClientAPI::deleteVolumeSnaps(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::deleteVolumeSnaps", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;

    // The snapshots named by the record: its snaps (with the device it claims) and its volumes' snaps.
    std::map<int, std::string> claimed;
    for (auto it = record.snapListBegin(); it != record.snapListEnd(); ++it)
        claimed[it->getSMSnapId()] = it->getSnapDevice();
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it)
        if (it->getSMSnapId() > 0 && !claimed.count(it->getSMSnapId())) claimed[it->getSMSnapId()] = "";

    // Check everything before removing anything.
    std::vector<SnapshotRow> doomed;
    for (auto const& c : claimed) {
        if (!c.second.empty() && !IsOwnSnapshotDevice(c.second))
            return call.Fail(SM_ERR_OUTSIDE_STATE_ROOT,
                             "snapshot device [" + c.second + "] lies outside the state root: refused");
        SnapshotRow row;
        bool found = false;
        CFzError e = GetSnapshot(c.first, &row, &found);
        if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot read the snapshots");
        if (!found)
            return call.Fail(SM_ERR_NOT_FOUND,
                             "snapshot " + std::to_string(c.first) + " is unknown to the snapshot manager: refused");
        if (!c.second.empty() && NormalisePath(c.second) != NormalisePath(row.snapDevice) &&
            RealPath(c.second) != RealPath(row.snapDevice))
            return call.Fail(SM_ERR_OUTSIDE_STATE_ROOT, "snapshot device [" + c.second + "] is not snapshot " +
                                                            std::to_string(c.first) + ": refused");
        if (!IsOwnSnapshotDevice(row.snapDevice))
            return call.Fail(SM_ERR_OUTSIDE_STATE_ROOT,
                             "snapshot device [" + row.snapDevice + "] lies outside the state root: refused");
        doomed.push_back(row);
    }
    std::set<int> gone;
    for (auto const& row : doomed) {
        CFzError e = ReleaseSnapshot(row);
        if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot delete snapshot " + std::to_string(row.id));
        gone.insert(static_cast<int>(row.id));
    }
    // Volume ids of a prepare that no snapshot uses any more.
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        if (it->getSMVolumeId() <= 0) continue;
        int64_t count = 0;
        CFzError e = CountSnapshotsOfVolume(it->getSMVolumeId(), &count);
        if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot read the snapshots");
        if (count == 0 && (e = DeleteVolumeId(it->getSMVolumeId())).IsError())
            return call.Fail(SM_ERR_INTERNAL, e, "cannot release volume id " + std::to_string(it->getSMVolumeId()));
    }
    // The record no longer names what is gone.
    auto& snaps = record.snaps();
    for (size_t i = snaps.size(); i-- > 0;)
        if (gone.count(snaps[i].getSMSnapId())) snaps.erase(snaps.begin() + static_cast<long>(i));
    auto& map = record.volSnapMap();
    for (size_t i = map.size(); i-- > 0;)
        if (gone.count(map[i].getSMSnapId())) map.erase(map.begin() + static_cast<long>(i));
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it)
        if (gone.count(it->getSMSnapId())) {
            it->setSMSnapId(0);
            it->setMountPath("");
        }
    return true;
}

bool JZSnapClientAPI::unmount(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::unmount", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;

    SweepAbandonedMounts(call.event());
    std::map<int64_t, MountRow> mounts;  // by row id
    std::set<int64_t> bySnapshot;        // snapshots released as a whole
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        // A disk-group mount path ("+NAME") is released by the volume's snapshot.
        if (!it->getMountPath().empty() && !IsAsmGroupPath(it->getMountPath())) {
            MountRow row;
            bool found = false;
            CFzError e = MountAtPath(NormalisePath(it->getMountPath()), &row, &found);
            if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot read the mounts");
            if (!found)
                return call.Fail(SM_ERR_NOT_FOUND, "[" + it->getMountPath() +
                                                       "] is no mount of the snapshot manager: refused");
            mounts[row.id] = row;
        } else if (it->getSMSnapId() > 0) {
            std::vector<MountRow> rows;
            CFzError e = MountsOfSnapshot(it->getSMSnapId(), &rows);
            if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot read the mounts");
            for (auto const& r : rows) mounts[r.id] = r;
            bySnapshot.insert(it->getSMSnapId());
        }
    }
    std::set<std::string> released;
    std::set<int64_t> releasedSnaps;
    for (auto const& m : mounts) {
        CFzError e = ReleaseMount(m.second);
        if (e.IsError()) return call.Fail(SM_ERR_UNMOUNT, e, "cannot unmount [" + m.second.mountPath + "]");
        released.insert(m.second.mountPath);
        releasedSnaps.insert(m.second.snapshotId);
    }
    // A snapshot released as a whole loses its unrecorded binds in the suite's
    // mount areas too, and the unmount fails while a mount of it stays there.
    for (int64_t id : bySnapshot) {
        SnapshotRow snapshot;
        bool found = false;
        CFzError e = GetSnapshot(id, &snapshot, &found);
        if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "cannot read the snapshots");
        if (!found) continue;
        e = ReleaseUnrecordedMounts(snapshot, false, call.event());
        if (e.IsError()) return call.Fail(SM_ERR_UNMOUNT, e, "cannot unmount snapshot " + std::to_string(id));
    }
    for (auto const& m : mounts) {
        SnapshotRow snapshot;
        bool found = false;
        if (GetSnapshot(m.second.snapshotId, &snapshot, &found).IsError() || !found) continue;
        if (IsSnapshotMountedAt(m.second.mountPath, snapshot.snapDevice))
            return call.Fail(SM_ERR_UNMOUNT, "snapshot " + std::to_string(snapshot.id) + " is still mounted at [" +
                                                 m.second.mountPath + "]");
    }
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it)
        if (released.count(NormalisePath(it->getMountPath())) ||
            (IsAsmGroupPath(it->getMountPath()) && releasedSnaps.count(it->getSMSnapId())))
            it->setMountPath("");
    return true;
}
