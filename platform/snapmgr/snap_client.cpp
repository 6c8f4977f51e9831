// JZSnapClientAPI: prepare, discover, pre-create, create, post-create, delete.
#include "snap_metadata.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/snapmgr/failed_create.h"

#include "mountinfo.h"
#include "release.h"
#include "sm_call.h"
#include "sm_paths.h"
#include "snap_methods.h"
#include "snapshot_store.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"

#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

using namespace nuvsnapmgr;

namespace {

bool IsDirectory(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t JobOf(SMVolSnapInfo const& record, SMVolumeInfo const& volume) {
    return record.getJobId() != 0 ? record.getJobId() : volume.getJobId();
}

// Why a snapshot of `source` would copy into itself: the source holds the
// snapshot folder (the copies' destination), unless that folder lies inside a
// state root below the source, which the copy leaves out. "" when it would not
// (a copy already in the snapshot folder may be copied again, as a replica).
std::string SuiteStateInside(std::string const& source) {
    std::string const real = RealPath(source);
    std::string const root = RealPath(nuvsuite::StateRootPath());
    std::string const snapshots = RealPath(SnapshotRoot());
    if (real.empty() || snapshots.empty() || !PathHolds(real, snapshots)) return std::string();
    bool const leftOut = !root.empty() && real != root && !PathHolds(root, real) && PathHolds(root, snapshots);
    if (leftOut) return std::string();
    return "volume [" + source + "] holds the suite's snapshot folder [" + snapshots +
           "]: its snapshot would copy into itself";
}

// Fills one volume's device and mount options; refuses a source that cannot be
// copied (missing, not a directory, or the root file system not declared as a volume).
bool FillDetails(SMCall& call, SMVolumeInfo& volume) {
    std::string const& source = volume.getSourcePath();
    if (source.empty() || source[0] != '/')
        return call.Fail(SM_ERR_INVALID_ARGUMENT, "volume source path [" + source + "] is not absolute");
    if (!IsDirectory(source)) return call.Fail(SM_ERR_VOLUME, "volume source [" + source + "] is not a directory");
    ResolvedVolume resolved;
    CFzError e = ResolveVolume(source, &resolved);
    if (e.IsError()) return call.Fail(SM_ERR_VOLUME, e, "cannot resolve volume [" + source + "]");
    if (!resolved.declared && RealPath(source) == "/")
        return call.Fail(SM_ERR_VOLUME,
                         "the root file system is no volume of its own; declare the volume to snapshot");
    std::string const inside = SuiteStateInside(source);
    if (!inside.empty()) return call.Fail(SM_ERR_VOLUME, inside);
    volume.setSourceDevice(resolved.device);
    volume.setMountOptions(resolved.MountOptions());
    return true;
}

// The disk volumes of a volume of an ASM disk group (source "+NAME"), each
// checked as FillDetails checks a volume; false when the call failed.
bool GroupDisks(SMCall& call, SMVolumeInfo const& volume, std::vector<std::string>* disks) {
    std::vector<SMVolumeInfo> volumes;
    int code = 0;
    std::string text;
    if (!AsmDiskVolumes(volume, &volumes, &code, &text)) return call.Fail(code, text);
    disks->clear();
    for (auto& disk : volumes) {
        if (!FillDetails(call, disk)) return false;
        disks->push_back(RealPath(disk.getSourcePath()));
    }
    return true;
}

// Fills a plain volume's details, or checks the disks of a group volume (which
// has no device or mount options of its own); `disks` receives a group's disks.
bool FillVolume(SMCall& call, SMVolumeInfo& volume, std::vector<std::string>* disks) {
    disks->clear();
    if (IsAsmGroupPath(volume.getSourcePath())) return GroupDisks(call, volume, disks);
    return FillDetails(call, volume);
}

// When `source` is the copy of a snapshot of a failed create: what the copy
// inherits ("copy of snapshot N of a failed create: why"), with a warning; else "".
std::string FailedCreateOfCopy(SMCall& call, std::string const& source) {
    SnapshotRow row;
    bool found = false;
    if (source.empty() || SnapshotAtCopy(source, &row, &found).IsError() || !found || row.failedCreate.empty())
        return std::string();
    EvDebug::DebugLvl(call.event(), 0, call.tag().c_str(),
                      "warning: [%s] is snapshot %lld, which belongs to a failed create (%s): its copy is marked so",
                      source.c_str(), static_cast<long long>(row.id), row.failedCreate.c_str());
    return "copy of snapshot " + std::to_string(row.id) + " of a failed create: " + row.failedCreate;
}

}  // namespace

bool JZSnapClientAPI::discoverVolumeDetails(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::discoverVolumeDetails", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;
    SMVolSnapInfo::VolumeList volumes = record.volumes();
    std::vector<std::string> disks;
    for (auto& v : volumes)
        if (!FillVolume(call, v, &disks)) return false;
    record.volumes() = volumes;
    return true;
}

bool JZSnapClientAPI::prepareVolumeSnaps(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::prepareVolumeSnaps", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;
    if (record.getNumVolumes() == 0) return call.Fail(SM_ERR_INVALID_ARGUMENT, "the record has no volumes");
    // A volume that names an ASM disk group stays one volume: its disks are
    // checked, and it is marked as the group's volume.
    SMVolSnapInfo::VolumeList volumes = record.volumes();
    std::vector<std::string> disks;
    for (auto& v : volumes) {
        if (!FillVolume(call, v, &disks)) return false;
        if (!disks.empty()) v.setVolumeFlags(v.getVolumeFlags() | JZSM_VOLUMEFLAGS_ASM_DISKGROUP);
    }
    // Every new id in one transaction: all volumes get theirs, or none does.
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    std::string failedVolume;
    CFzError e = cat.Transaction([&]() -> CFzError {
        for (auto& v : volumes) {
            bool known = false;
            if (v.getSMVolumeId() > 0) {
                CFzError r = VolumeIdExists(v.getSMVolumeId(), &known);
                if (r.IsError()) return r.Push(FZ_LOC, "cannot read the volume ids");
            }
            if (known) continue;
            int64_t id = 0;
            CFzError r = NewVolumeId(JobOf(record, v), v.getSourcePath(), v.getSourceDevice(), &id);
            if (!r.IsError() && (id <= 0 || id > INT32_MAX))
                r = FXErrorUtil::ErrorErrNo(FZ_LOC, EOVERFLOW, "volume id %lld out of range", (long long)id);
            if (r.IsError()) return r.Push(FZ_LOC, "cannot give volume [%s] an id", v.getSourcePath().c_str());
            v.setSMVolumeId(static_cast<int>(id));
        }
        return CFzError::Success();
    });
    if (e.IsError()) return call.Fail(SM_ERR_INTERNAL, e, "prepare of the volumes failed");
    record.volumes() = volumes;
    return true;
}

int JZSnapClientAPI::preCreateVolumeSnaps(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::preCreateVolumeSnaps", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return 0;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        bool known = false;
        if (it->getSMVolumeId() > 0) (void)VolumeIdExists(it->getSMVolumeId(), &known);
        if (!known) return call.Fail(SM_ERR_NOT_PREPARED, "volume [" + it->getSourcePath() + "] is not prepared"), 0;
        std::vector<std::string> disks;
        if (IsAsmGroupPath(it->getSourcePath())) {
            if (!GroupDisks(call, *it, &disks)) return 0;
        } else if (!IsDirectory(it->getSourcePath())) {
            return call.Fail(SM_ERR_VOLUME, "volume source [" + it->getSourcePath() + "] is gone"), 0;
        }
    }
    return 1;
}

bool JZSnapClientAPI::createVolumeSnaps(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::createVolumeSnaps", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return false;
    SweepAbandonedCreates(call.event());
    if (record.getNumVolumes() == 0) return call.Fail(SM_ERR_INVALID_ARGUMENT, "the record has no volumes");

    SMVolSnapInfo::VolumeList volumes = record.volumes();
    std::vector<std::vector<std::string>> groupDisks(volumes.size());  // the disks of a group volume
    for (size_t i = 0; i < volumes.size(); ++i) {
        SMVolumeInfo& v = volumes[i];
        bool known = false;
        if (v.getSMVolumeId() > 0) (void)VolumeIdExists(v.getSMVolumeId(), &known);
        if (!known) return call.Fail(SM_ERR_NOT_PREPARED, "volume [" + v.getSourcePath() + "] is not prepared");
        if (!FillVolume(call, v, &groupDisks[i])) return false;
    }

    std::string const stateRoot = nuvsuite::StateRootPath();
    struct Made {
        int64_t id = 0;
        SnapshotRow row;  // what a removal needs: id, method, device, image
        std::string method;
        CopyStats stats;
    };
    std::vector<Made> made;
    auto undo = [&]() {
        for (auto const& m : made) {
            (void)RemoveSnapshotCopy(m.row);
            (void)DeleteSnapshotRow(m.id);
        }
    };

    // Rows first (one transaction): the ids name the snapshots.
    nuvsuite::Catalogue& cat = nuvsuite::Catalogue::Instance();
    CFzError rowsMade = cat.Transaction([&]() -> CFzError {
        for (auto const& v : volumes) {
            SnapshotRow row;
            row.jobId = JobOf(record, v);
            row.brannoxId = v.getBrannoxId() != 0 ? v.getBrannoxId() : record.getBrannoxId();
            row.appId = v.getAppId();
            row.archFileId = v.getArchFileId();
            row.smVolumeId = v.getSMVolumeId();
            row.sourcePath = v.getSourcePath();
            row.sourceDevice = v.getSourceDevice();
            row.engineId = record.getSnapShotEngineId();
            Made m;
            CFzError e = InsertSnapshot(row, &m.id);
            if (!e.IsError() && (m.id <= 0 || m.id > INT32_MAX))
                e = FXErrorUtil::ErrorErrNo(FZ_LOC, EOVERFLOW, "snapshot id %lld out of range", (long long)m.id);
            if (e.IsError()) return e.Push(FZ_LOC, "cannot record the snapshot of [%s]", v.getSourcePath().c_str());
            m.row.id = m.id;
            made.push_back(m);
        }
        return CFzError::Success();
    });
    if (rowsMade.IsError()) {
        made.clear();  // rolled back: no row, no snapshot yet
        return call.Fail(SM_ERR_INTERNAL, rowsMade, "cannot record the snapshots");
    }
    // Each volume by the best method it offers; the row names what is made
    // before it is made, so that a sweep finds it after a killed create.
    std::vector<std::string> inherited(volumes.size());  // why a copied snapshot's create failed
    for (size_t i = 0; i < volumes.size(); ++i) {
        bool const group = !groupDisks[i].empty();
        std::string const source = group ? std::string() : RealPath(volumes[i].getSourcePath());
        if (!group) inherited[i] = FailedCreateOfCopy(call, source);
        SnapPlan plan = group ? ChooseGroupMethod(made[i].id) : ChooseMethod(made[i].id, source, call.event());
        made[i].row.method = plan.method;
        made[i].row.snapDevice = plan.device;
        made[i].row.image = plan.image;
        CFzError e = PlanSnapshot(made[i].id, plan.method, plan.device, plan.image);
        if (!e.IsError())
            e = group ? MakeGroupSnapshot(plan, groupDisks[i], {stateRoot}, call.event(), &made[i].stats,
                                          &made[i].method)
                      : MakeSnapshot(plan, source, {stateRoot}, call.event(), &made[i].stats, &made[i].method);
        if (e.IsError()) {
            undo();
            return call.Fail(SM_ERR_COPY, e, "snapshot (" + plan.method + ") of [" + volumes[i].getSourcePath() +
                                                 "] failed");
        }
    }
    // Every snapshot becomes ready in one transaction: all of them or none.
    CFzError ready = cat.Transaction([&]() -> CFzError {
        for (size_t i = 0; i < volumes.size(); ++i) {
            SMVolumeInfo v = volumes[i];
            v.setSMSnapId(static_cast<int>(made[i].id));
            CFzError e = FinishSnapshot(made[i].id, made[i].row.snapDevice, made[i].method, VolumeToXml(v));
            if (e.IsError()) return e.Push(FZ_LOC, "cannot record the snapshot [%s]", made[i].row.snapDevice.c_str());
        }
        return CFzError::Success();
    });
    if (ready.IsError()) {
        undo();
        return call.Fail(SM_ERR_INTERNAL, ready, "cannot record the snapshots");
    }
    // A copy of a snapshot of a failed create is no better than its source.
    for (size_t i = 0; i < volumes.size(); ++i) {
        bool marked = false;
        CFzError e = inherited[i].empty()
                         ? CFzError::Success()
                         : MarkSnapshotOfFailedCreate(made[i].id, 0, inherited[i], &marked);
        if (e.IsError()) {
            undo();
            return call.Fail(SM_ERR_INTERNAL, e, "cannot mark the copy of a snapshot of a failed create");
        }
    }
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    SMVolSnapInfo result = record;
    result.volumes().clear();
    for (size_t i = 0; i < volumes.size(); ++i) {
        SMVolumeInfo v = volumes[i];
        v.setSMSnapId(static_cast<int>(made[i].id));
        SMSnapInfo snap;
        snap.setSMSnapId(static_cast<int>(made[i].id));
        snap.setSnapDevice(made[i].row.snapDevice);
        snap.setSnapSourceDevice(v.getSourceDevice());
        snap.setUniqueIdentifier(std::to_string(made[i].id));
        snap.setSnapShotEngineId(record.getSnapShotEngineId());
        snap.setCreationTime(now);
        if (!inherited[i].empty()) snap.setSnapFlagsEx(snap.getSnapFlagsEx() | kSnapFlagExFailedCreate);
        result.addVolume(v, true);
        result.addSnap(snap);
        result.addVolSnapMap(SMVolSnapMapInfo(v.getSMVolumeId(), snap.getSMSnapId()));
        AddSnapMetaData(result, snap, v);
        EvDebug::DebugLvl(call.event(), 2, call.tag().c_str(),
                          "snapshot %lld of [%s] at [%s] by %s: %llu files (%llu cloned, %llu copied, %llu hard "
                          "links), %llu dirs, %llu symbolic links, %llu skipped",
                          static_cast<long long>(made[i].id), v.getSourcePath().c_str(),
                          made[i].row.snapDevice.c_str(), made[i].method.c_str(),
                          static_cast<unsigned long long>(made[i].stats.files),
                          static_cast<unsigned long long>(made[i].stats.cloned),
                          static_cast<unsigned long long>(made[i].stats.fullCopies),
                          static_cast<unsigned long long>(made[i].stats.hardLinks),
                          static_cast<unsigned long long>(made[i].stats.directories),
                          static_cast<unsigned long long>(made[i].stats.symlinks),
                          static_cast<unsigned long long>(made[i].stats.skipped));
    }
    record = result;
    return true;
}

int JZSnapClientAPI::postCreateVolumeSnaps(SMVolSnapInfo& record) {
    SMCall call("JZSnapClientAPI::postCreateVolumeSnaps", RecordArgs(record), &record, &m_errCode, &m_errStr);
    if (call.Faulted()) return 0;
    for (auto it = record.volumeListBegin(); it != record.volumeListEnd(); ++it) {
        SnapshotRow row;
        bool found = false;
        if (it->getSMSnapId() > 0) (void)GetSnapshot(it->getSMSnapId(), &row, &found);
        if (!found || row.state != "ready" || !IsDirectory(row.snapDevice))
            return call.Fail(SM_ERR_NOT_FOUND, "volume [" + it->getSourcePath() + "] has no snapshot"), 0;
    }
    return 1;
}
