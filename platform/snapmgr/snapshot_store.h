// Catalogue rows of the snapshot manager: SM volume ids, snapshots, mounts.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nuvsnapmgr {

struct SnapshotRow {
    int64_t id = 0;
    int64_t jobId = 0;
    int64_t brannoxId = 0;
    int64_t appId = 0;
    int64_t archFileId = 0;
    int64_t smVolumeId = 0;
    std::string sourcePath;
    std::string sourceDevice;
    std::string snapDevice;
    int64_t engineId = 0;
    std::string state;  // "creating", "ready" or "abandoned" (a create that died half way)
    bool reflink = false;
    int64_t created = 0;
    std::string volumeXml;
    std::string method;  // see snap_methods.h; "" for a row of a create that has not chosen yet
    std::string image;   // a block clone's image file
    std::string failedCreate;  // why the create that made it failed after the snap; "" for a good one
};

struct MountRow {
    int64_t id = 0;
    int64_t snapshotId = 0;
    int64_t jobId = 0;
    std::string mountPath;
    std::vector<std::string> createdDirs;  // outermost first
    int64_t created = 0;
    int64_t holderPid = 0;    // the process that holds the mount while it runs; 0: none
    int64_t holderStart = 0;  // its start time (JzProcess::StartTime)
};

// SM volume ids.
[[nodiscard]] CFzError NewVolumeId(int64_t jobId, std::string const& sourcePath, std::string const& device,
                                   int64_t* id);
[[nodiscard]] CFzError VolumeIdExists(int64_t id, bool* exists);
[[nodiscard]] CFzError DeleteVolumeId(int64_t id);

// Snapshots.
[[nodiscard]] CFzError InsertSnapshot(SnapshotRow const& row, int64_t* id);
// Snapshots whose create died half way (state 'creating', the creating process
// gone), and those a sweep claimed but died before removing (state 'abandoned',
// that sweep gone): each is moved to state 'abandoned' with the caller as its
// process by exactly one caller, who gets its id.
[[nodiscard]] CFzError ClaimAbandonedCreates(std::vector<int64_t>* ids);
// What the create of snapshot `id` is about to make, so that a sweep finds it.
[[nodiscard]] CFzError PlanSnapshot(int64_t id, std::string const& method, std::string const& snapDevice,
                                    std::string const& image);
// Marks the snapshot ready, with the method that made it (reflink = 1 for a
// per-file reflink clone, kept for readers of that column).
[[nodiscard]] CFzError FinishSnapshot(int64_t id, std::string const& snapDevice, std::string const& method,
                                      std::string const& volumeXml);
[[nodiscard]] CFzError UpdateSnapshotVolume(int64_t id, std::string const& volumeXml);
[[nodiscard]] CFzError DeleteSnapshotRow(int64_t id);
// Marks a ready snapshot of job `jobId` (any job for 0) as made by a create that failed; *marked
// tells whether a row took the mark.
[[nodiscard]] CFzError MarkSnapshotOfFailedCreate(int64_t id, int64_t jobId, std::string const& why, bool* marked);
// The ready snapshot whose copy lies at `snapDevice`; *found false when none does.
[[nodiscard]] CFzError SnapshotAtCopy(std::string const& snapDevice, SnapshotRow* row, bool* found);
// found = false when there is no row with this id.
[[nodiscard]] CFzError GetSnapshot(int64_t id, SnapshotRow* row, bool* found);
// Ready snapshots with this column equal to value, oldest first ("job_id", "arch_file_id", "sm_volume_id").
[[nodiscard]] CFzError ListReadySnapshots(char const* column, int64_t value, std::vector<SnapshotRow>* rows);
[[nodiscard]] CFzError CountSnapshotsOfVolume(int64_t smVolumeId, int64_t* count);

// Mounts. A row is recorded before its mount is made, held by the calling
// process (pid and start time); when that process ends normally (exit, not a
// kill) its rows are handed over (holder 0) and their mounts stay.
[[nodiscard]] CFzError InsertMount(MountRow const& row, int64_t* id);
// True when the row's holder is a process other than this one that still runs.
bool HeldByOtherProcess(MountRow const& row);
// Rows whose holder is gone (killed before it released or handed them over),
// each claimed (holder set to the caller) by exactly one caller.
[[nodiscard]] CFzError ClaimAbandonedMounts(std::vector<MountRow>* rows);
// Gives a claimed row back to its former holder, for the next sweep.
[[nodiscard]] CFzError RestoreMountHolder(MountRow const& row);
[[nodiscard]] CFzError DeleteMountRow(int64_t id);
[[nodiscard]] CFzError MountsOfSnapshot(int64_t snapshotId, std::vector<MountRow>* rows);
[[nodiscard]] CFzError MountAtPath(std::string const& path, MountRow* row, bool* found);

// One volume as XML (the record's XML form with that volume alone) and back.
std::string VolumeToXml(SMVolumeInfo const& volume);
bool VolumeFromXml(std::string const& xml, SMVolumeInfo* volume);

}  // namespace nuvsnapmgr
