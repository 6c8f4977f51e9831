// Catalogue tables of the snapshot manager and the ones the admin command shows.
//   sm_volumes        declared volumes: a path taken as a volume of its own (device, fstype, options)
//   sm_volume_ids     SM volume ids given by a prepare
//   sm_snapshots      point-in-time copies (state 'creating', with the creating process, until the
//                     copy is in place, then 'ready'), with the method that made them, for a
//                     block clone its image, and, for one of a create that failed after it, why
//   sm_loop_volumes   loop-backed volumes the suite made (image, loop device, mount)
//   sm_mounts         read-only bind mounts the suite made (with the directories it created for them
//                     and the process that holds them while it runs; see ClaimAbandonedMounts)
//   sm_control_hosts  storage arrays;  sm_engines  snapshot engines;  sm_replication  per application
//   sm_snap_tasks     pre-snap (phase 1) and post-snap (phase 2) programs of an application
//   sm_ddr_hosts      per application, the client that is its DDR host (JZSnapOSUtil::getDDRHostID)
#include "sm_paths.h"

#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

namespace {

using nuvsuite::AdminValue;

// A declared volume may not be the state root, lie inside it (other than the
// suite's own loop volumes under volumes/) or hold it or its snapshot folder:
// its snapshots would copy into themselves, and a freeze of it would stop the
// suite. Checked as written and with links resolved.
std::string CheckVolumeRow(nuvsuite::AdminRow const& row) {
    auto found = row.find("path");
    if (found == row.end()) return std::string();
    std::string const path = nuvsuite::AsText(found->second);
    std::string const root = nuvsuite::StateRootPath();
    std::string const snapshots = nuvsnapmgr::SnapshotRoot();
    std::string const volumes = root + "/volumes";
    for (bool resolved : {false, true}) {
        auto form = [&](std::string const& p) {
            if (!resolved) return nuvsnapmgr::NormalisePath(p);
            std::string const real = nuvsnapmgr::RealPath(p);
            return real.empty() ? nuvsnapmgr::ResolveAsFarAsExists(p) : real;
        };
        std::string const v = form(path), r = form(root), s = form(snapshots), own = form(volumes);
        if (v == r) return "volume [" + path + "] is the suite's state root [" + root + "]";
        if (nuvsnapmgr::PathHolds(r, v) && !(v != own && nuvsnapmgr::PathHolds(own, v)))
            return "volume [" + path + "] lies inside the suite's state root [" + root + "]";
        if (nuvsnapmgr::PathHolds(v, r))
            return "volume [" + path + "] holds the suite's state root [" + root + "]";
        if (nuvsnapmgr::PathHolds(v, s))
            return "volume [" + path + "] holds the suite's snapshot folder [" + s +
                   "]: its snapshot would copy into itself";
    }
    return std::string();
}

nuvsuite::SchemaPart s_schema{"snapmgr", 1, R"SQL(
CREATE TABLE IF NOT EXISTS sm_volumes (
  path TEXT PRIMARY KEY,
  device TEXT NOT NULL DEFAULT '',
  fstype TEXT NOT NULL DEFAULT '',
  options TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS sm_volume_ids (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL DEFAULT 0,
  source_path TEXT NOT NULL,
  source_device TEXT NOT NULL DEFAULT '',
  created INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sm_snapshots (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL DEFAULT 0,
  brannox_id INTEGER NOT NULL DEFAULT 0,
  app_id INTEGER NOT NULL DEFAULT 0,
  arch_file_id INTEGER NOT NULL DEFAULT 0,
  sm_volume_id INTEGER NOT NULL DEFAULT 0,
  source_path TEXT NOT NULL DEFAULT '',
  source_device TEXT NOT NULL DEFAULT '',
  snap_device TEXT NOT NULL DEFAULT '',
  engine_id INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL DEFAULT 'creating',
  reflink INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL DEFAULT 0,
  volume_xml TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS sm_snapshots_job ON sm_snapshots(job_id);
CREATE INDEX IF NOT EXISTS sm_snapshots_afile ON sm_snapshots(arch_file_id);
CREATE TABLE IF NOT EXISTS sm_mounts (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  snapshot_id INTEGER NOT NULL,
  job_id INTEGER NOT NULL DEFAULT 0,
  mount_path TEXT NOT NULL UNIQUE,
  created_dirs TEXT NOT NULL DEFAULT '',
  created INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sm_control_hosts (
  id INTEGER PRIMARY KEY,
  host_name TEXT NOT NULL UNIQUE,
  vendor_name TEXT NOT NULL DEFAULT '',
  engine_id INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sm_engines (
  id INTEGER PRIMARY KEY,
  vendor_name TEXT NOT NULL DEFAULT '',
  engine_name TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS sm_replication (
  app_id INTEGER PRIMARY KEY,
  enabled INTEGER NOT NULL DEFAULT 0,
  type INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sm_snap_tasks (
  app_id INTEGER NOT NULL,
  phase INTEGER NOT NULL,
  program TEXT NOT NULL,
  args TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (app_id, phase));
)SQL"};

// The process that is making a snapshot, so that the copy of a create that died
// half way can be told from one still running (see SweepAbandonedCreates).
nuvsuite::SchemaPart s_creatorPid{"snapmgr", 2,
    "ALTER TABLE sm_snapshots ADD COLUMN creator_pid INTEGER NOT NULL DEFAULT 0"};

// How each snapshot was made ("btrfs", "block-clone", "reflink", "copy"; see
// snap_methods.h), the image of a block clone, and the loop-backed volumes the
// suite makes itself (state 'creating' with the creating process until whole).
nuvsuite::SchemaPart s_methods{"snapmgr", 3, R"SQL(
ALTER TABLE sm_snapshots ADD COLUMN method TEXT NOT NULL DEFAULT '';
ALTER TABLE sm_snapshots ADD COLUMN image TEXT NOT NULL DEFAULT '';
CREATE TABLE IF NOT EXISTS sm_loop_volumes (
  name TEXT PRIMARY KEY,
  fstype TEXT NOT NULL,
  size INTEGER NOT NULL,
  image TEXT NOT NULL,
  mount_point TEXT NOT NULL,
  path TEXT NOT NULL,
  device TEXT NOT NULL DEFAULT '',
  state TEXT NOT NULL DEFAULT 'creating',
  creator_pid INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL DEFAULT 0);
)SQL"};

// The DDR host of an application (a client id), declared by the operator.
nuvsuite::SchemaPart s_ddrHosts{"snapmgr", 4, R"SQL(
CREATE TABLE IF NOT EXISTS sm_ddr_hosts (
  app_id INTEGER PRIMARY KEY,
  client_id INTEGER NOT NULL);
)SQL"};

// Why the create that made a snapshot reported failure after the snapshot was
// made (the thaw refused, say): "" for a good snapshot. Such a snapshot is kept,
// but every later look at it (listing, mount, replica) says what it is.
nuvsuite::SchemaPart s_failedCreate{"snapmgr", 5,
    "ALTER TABLE sm_snapshots ADD COLUMN failed_create TEXT NOT NULL DEFAULT ''"};

// The process that holds a mount (pid and start time) from before the mount is
// made until that process ends: a mount whose holder was killed is taken down by
// the next sweep; one whose holder ended normally stays (holder 0) until unmounted.
nuvsuite::SchemaPart s_mountHolder{"snapmgr", 6, R"SQL(
ALTER TABLE sm_mounts ADD COLUMN holder_pid INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sm_mounts ADD COLUMN holder_start INTEGER NOT NULL DEFAULT 0;
)SQL"};

nuvsuite::AdminTable s_volumes{"volume", "sm_volumes", true, "path",
                               {{"path", AdminValue::kPath}, {"fstype", AdminValue::kFsType}}, CheckVolumeRow};
nuvsuite::AdminTable s_snapshots{"snapshot", "sm_snapshots", false, "id"};
nuvsuite::AdminTable s_loopVolumes{"loopvolume", "sm_loop_volumes", false, "name"};
nuvsuite::AdminTable s_mounts{"mount", "sm_mounts", false, "id", {{"created_dirs", AdminValue::kLines}}};
nuvsuite::AdminTable s_controlHosts{"controlhost", "sm_control_hosts", true, "id",
                                    {{"id", AdminValue::kId}, {"engine_id", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_engines{"snapengine", "sm_engines", true, "id", {{"id", AdminValue::kId}}};
nuvsuite::AdminTable s_replication{"replication", "sm_replication", true, "app_id",
                                   {{"app_id", AdminValue::kId, "application", "id", false, true},
                                    {"enabled", AdminValue::kFlag},
                                    {"type", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_snapTasks{"snaptask", "sm_snap_tasks", true, "app_id, phase",
                                 {{"app_id", AdminValue::kId, "application", "id", false, true},
                                  {"phase", AdminValue::kUnsigned},
                                  {"program", AdminValue::kPath}}};
nuvsuite::AdminTable s_ddrHostRows{"ddrhost", "sm_ddr_hosts", true, "app_id",
                                   {{"app_id", AdminValue::kId, "application", "id", false, true},
                                    {"client_id", AdminValue::kId, "client", "id", false, true}}};

}  // namespace
