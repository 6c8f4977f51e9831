// The indexing service's catalogue tables and their admin-command kinds.
//
// idx_runs      one connection run: its job, application, generation and state
//               ('open' while feeding, 'good' after backupDone(1), 'failed').
// idx_entries   one entry per path and run; parent is the path's directory
//               ("" for "/"), so a browse of a directory reads one key range.
// idx_metadata  metadata values of an entry, one slot per type, in the order
//               they first arrived.
// idx_dirchanges directories a job reported as changed, with their files.
// idx_jobinfo   job-info containers a job saved (container, key, value).
// idx_generation which applications index in the second generation.
// idx_files     files a job shipped with its index (the optional files of its
//               directory change), by name, with their content.
// idx_runs.job_started  the start of the run's job: the browse's time window
//               reads it.
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

namespace {

nuvsuite::SchemaPart s_schema{"indexing", 1, R"SQL(
CREATE TABLE IF NOT EXISTS idx_generation (
    brannox_id INTEGER NOT NULL DEFAULT 2,
    app_id     INTEGER NOT NULL,
    v2         INTEGER NOT NULL DEFAULT 1,
    PRIMARY KEY (brannox_id, app_id)
);
CREATE TABLE IF NOT EXISTS idx_runs (
    id         INTEGER PRIMARY KEY AUTOINCREMENT,
    job_id     INTEGER NOT NULL,
    brannox_id INTEGER NOT NULL,
    app_id     INTEGER NOT NULL,
    app_type   INTEGER NOT NULL,
    level      INTEGER NOT NULL,
    generation INTEGER NOT NULL,
    host       TEXT NOT NULL DEFAULT '',
    client     TEXT NOT NULL DEFAULT '',
    flags      INTEGER NOT NULL DEFAULT 0,
    status     TEXT NOT NULL DEFAULT 'open' CHECK (status IN ('open', 'good', 'failed')),
    pid        INTEGER NOT NULL,
    started    INTEGER NOT NULL,
    ended      INTEGER NOT NULL DEFAULT 0,
    entries    INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS idx_runs_by_app ON idx_runs (app_id, status, job_id);
CREATE INDEX IF NOT EXISTS idx_runs_by_job ON idx_runs (job_id);
CREATE TABLE IF NOT EXISTS idx_entries (
    id             INTEGER PRIMARY KEY,
    run_id         INTEGER NOT NULL,
    path           TEXT NOT NULL,
    parent         TEXT NOT NULL,
    is_dir         INTEGER NOT NULL,
    size           INTEGER NOT NULL,
    mtime          INTEGER NOT NULL,
    sequence       INTEGER NOT NULL,
    brannox_id     INTEGER NOT NULL,
    group_id       INTEGER NOT NULL,
    afile_id       INTEGER NOT NULL,
    guid           TEXT NOT NULL DEFAULT '',
    parent_guid    TEXT NOT NULL DEFAULT '',
    version_guid   TEXT NOT NULL DEFAULT '',
    component_guid TEXT NOT NULL DEFAULT ''
);
CREATE UNIQUE INDEX IF NOT EXISTS idx_entries_by_path ON idx_entries (run_id, path);
CREATE INDEX IF NOT EXISTS idx_entries_by_parent ON idx_entries (parent, run_id);
CREATE TABLE IF NOT EXISTS idx_metadata (
    entry_id INTEGER NOT NULL,
    type     INTEGER NOT NULL,
    value    TEXT NOT NULL,
    UNIQUE (entry_id, type)
);
CREATE TABLE IF NOT EXISTS idx_dirchanges (
    id      INTEGER PRIMARY KEY AUTOINCREMENT,
    job_id  INTEGER NOT NULL,
    app_id  INTEGER NOT NULL,
    dir     TEXT NOT NULL,
    files   TEXT NOT NULL DEFAULT '',
    time    INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS idx_dirchanges_by_job ON idx_dirchanges (job_id);
CREATE TABLE IF NOT EXISTS idx_jobinfo (
    job_id     INTEGER NOT NULL,
    container  TEXT NOT NULL,
    key        TEXT NOT NULL,
    seq        INTEGER NOT NULL,
    value      TEXT NOT NULL,
    afile_id   INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (job_id, container, key, seq)
);
)SQL"};

nuvsuite::SchemaPart s_schemaFiles{"indexing", 2, R"SQL(
CREATE TABLE IF NOT EXISTS idx_files (
    job_id  INTEGER NOT NULL,
    name    TEXT NOT NULL,
    content BLOB NOT NULL,
    time    INTEGER NOT NULL,
    PRIMARY KEY (job_id, name)
);
ALTER TABLE idx_runs ADD COLUMN job_started INTEGER NOT NULL DEFAULT 0;
)SQL"};

// An entry's metadata by entry alone: the index holds each entry's values in
// the order they arrived (rowid), so entries read with their metadata in path
// order need no sort.
nuvsuite::SchemaPart s_metadataByEntry{"indexing", 3,
    "CREATE INDEX IF NOT EXISTS idx_metadata_by_entry ON idx_metadata (entry_id)"};

nuvsuite::AdminTable s_generation{"indexgen", "idx_generation", true, "brannox_id, app_id",
                                  {{"brannox_id", nuvsuite::AdminValue::kId},
                                   {"app_id", nuvsuite::AdminValue::kId, "application", "id", false, true},
                                   {"v2", nuvsuite::AdminValue::kFlag}}};
nuvsuite::AdminTable s_runs{"indexrun", "idx_runs", false, "id"};
nuvsuite::AdminTable s_dirchanges{"dirchange", "idx_dirchanges", false, "id",
                                  {{"files", nuvsuite::AdminValue::kLines}}};
nuvsuite::AdminTable s_jobinfo{"jobinfo", "idx_jobinfo", false, "job_id, container, key, seq"};

}  // namespace
