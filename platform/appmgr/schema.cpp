// The application manager's catalogue tables and their admin-command kinds.
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

namespace {

nuvsuite::SchemaPart s_schema{"appmgr", 1, R"SQL(
CREATE TABLE IF NOT EXISTS clients (
    id       INTEGER PRIMARY KEY,
    name     TEXT NOT NULL UNIQUE COLLATE NOCASE CHECK (name <> ''),
    host     TEXT NOT NULL DEFAULT '',
    app_type INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS instances (
    id        INTEGER PRIMARY KEY,
    client_id INTEGER NOT NULL DEFAULT 0,
    name      TEXT NOT NULL DEFAULT '',
    app_type  INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS instance_properties (
    instance_id INTEGER NOT NULL,
    name        TEXT NOT NULL,
    type        INTEGER NOT NULL DEFAULT 0,
    value       TEXT NOT NULL DEFAULT '',
    number      INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (instance_id, name)
);
CREATE TABLE IF NOT EXISTS backupsets (
    id          INTEGER PRIMARY KEY,
    client_id   INTEGER NOT NULL DEFAULT 0,
    app_type    INTEGER NOT NULL DEFAULT 0,
    instance_id INTEGER NOT NULL DEFAULT 0,
    name        TEXT NOT NULL DEFAULT '',
    is_default  INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS subclients (
    id           INTEGER PRIMARY KEY,
    name         TEXT NOT NULL DEFAULT '',
    guid         TEXT NOT NULL DEFAULT '',
    blocklevel   INTEGER NOT NULL DEFAULT 0,
    metadata     INTEGER NOT NULL DEFAULT 0,
    spos         INTEGER NOT NULL DEFAULT 0,
    snap_engine  INTEGER NOT NULL DEFAULT 0,
    data_streams INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS applications (
    id           INTEGER PRIMARY KEY,
    brannox_id   INTEGER NOT NULL DEFAULT 2,
    client_id    INTEGER NOT NULL DEFAULT 0,
    app_type     INTEGER NOT NULL DEFAULT 0,
    instance_id  INTEGER NOT NULL DEFAULT 0,
    backupset_id INTEGER NOT NULL DEFAULT 0,
    subclient_id INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS content_paths (
    owner    TEXT NOT NULL CHECK (owner IN ('subclient', 'instance')),
    owner_id INTEGER NOT NULL,
    seq      INTEGER NOT NULL,
    path     TEXT NOT NULL,
    PRIMARY KEY (owner, owner_id, seq)
);
)SQL"};

using nuvsuite::AdminValue;

// The rules of the declared columns; a reference names an existing row (0: none, where allowed).
nuvsuite::AdminColumn Ref(char const* name, char const* kind, bool zeroIsNone) {
    return {name, zeroIsNone ? AdminValue::kUnsigned : AdminValue::kId, kind, "id", zeroIsNone, !zeroIsNone};
}

nuvsuite::AdminTable s_clients{"client", "clients", true, "id",
                               {{"id", AdminValue::kId}, {"app_type", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_applications{"application", "applications", true, "id",
                                    {{"id", AdminValue::kId},
                                     {"brannox_id", AdminValue::kId},
                                     Ref("client_id", "client", false),
                                     {"app_type", AdminValue::kUnsigned},
                                     Ref("instance_id", "instance", true),
                                     Ref("backupset_id", "backupset", true),
                                     Ref("subclient_id", "subclient", true)}};
nuvsuite::AdminTable s_instances{"instance", "instances", true, "id",
                                 {{"id", AdminValue::kId},
                                  Ref("client_id", "client", false),
                                  {"app_type", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_instanceProperties{"instance_property", "instance_properties", true, "instance_id, name",
                                          {Ref("instance_id", "instance", false),
                                           {"type", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_backupSets{"backupset", "backupsets", true, "id",
                                  {{"id", AdminValue::kId},
                                   Ref("client_id", "client", false),
                                   {"app_type", AdminValue::kUnsigned},
                                   Ref("instance_id", "instance", true),
                                   {"is_default", AdminValue::kFlag}}};
nuvsuite::AdminTable s_subclients{"subclient", "subclients", true, "id",
                                  {{"id", AdminValue::kId},
                                   {"blocklevel", AdminValue::kFlag},
                                   {"metadata", AdminValue::kFlag},
                                   {"spos", AdminValue::kFlag},
                                   {"snap_engine", AdminValue::kUnsigned},
                                   {"data_streams", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_content{"content", "content_paths", true, "owner, owner_id, seq",
                               {{"owner_id", AdminValue::kId}, {"seq", AdminValue::kUnsigned}}};

}  // namespace
