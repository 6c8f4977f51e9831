// The archive manager's catalogue tables and their admin-command kind.
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

namespace {

nuvsuite::SchemaPart s_schema{"archive", 1, R"SQL(
CREATE TABLE IF NOT EXISTS archive_groups (
    id     INTEGER PRIMARY KEY AUTOINCREMENT,
    app_id INTEGER NOT NULL UNIQUE
);
CREATE TABLE IF NOT EXISTS archive_files (
    id          INTEGER PRIMARY KEY AUTOINCREMENT,
    brannox_id  INTEGER NOT NULL,
    group_id    INTEGER NOT NULL,
    job_id      INTEGER NOT NULL,
    type        INTEGER NOT NULL,
    created     INTEGER NOT NULL,
    flags       INTEGER NOT NULL DEFAULT 0,
    copy_id     INTEGER NOT NULL,
    app_id      INTEGER NOT NULL,
    client_id   INTEGER NOT NULL,
    backup_type INTEGER NOT NULL,
    name        TEXT NOT NULL DEFAULT '',
    closed      INTEGER NOT NULL DEFAULT 0,
    closed_time INTEGER NOT NULL DEFAULT 0,
    size_bytes  INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS archive_files_by_job ON archive_files (job_id, created, id);
)SQL"};

// Archive file id 1 is the placeholder of an index key (a key is valid only
// above it), so real archive files start at 2. A catalogue that holds archive
// files already keeps its ids and its sequence.
nuvsuite::SchemaPart s_firstFileId{"archive", 2, R"SQL(
INSERT INTO sqlite_sequence (name, seq)
    SELECT 'archive_files', 1
    WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = 'archive_files')
      AND NOT EXISTS (SELECT 1 FROM archive_files);
)SQL"};

nuvsuite::AdminTable s_afiles{"afile", "archive_files", false, "created DESC, id DESC"};

}  // namespace
