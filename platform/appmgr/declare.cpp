#include "nuvdbsnap/platform/appmgr/declare.h"

#include "nuvdbsnap/platform/suite/catalogue.h"

#include <cerrno>

namespace nuvappmgr {

using nuvsuite::Catalogue;
using nuvsuite::CatValue;

namespace {

CatValue IdOrNull(unsigned long id) {
    if (id == 0) return nullptr;
    return static_cast<int64_t>(id);
}

CatValue Num(unsigned long v) {
    return static_cast<int64_t>(v);
}

// Runs an INSERT ... RETURNING id and hands the id back.
CFzError Insert(std::string const& sql, std::vector<CatValue> const& params, unsigned long* assignedId) {
    std::vector<nuvsuite::CatRow> rows;
    CFzError err = Catalogue::Instance().Query(sql + " RETURNING id", params, &rows);
    if (err.IsError()) return err.Push(FZ_LOC, "declaring a row failed");
    if (assignedId && !rows.empty()) *assignedId = static_cast<unsigned long>(nuvsuite::AsInt(rows[0][0]));
    return CFzError::Success();
}

}  // namespace

CFzError DeclareClient(ClientDecl const& d, unsigned long* assignedId) {
    if (d.name.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "a client needs a name");
    return Insert("INSERT INTO clients (id, name, host, app_type) VALUES (?, ?, ?, ?)",
                  {IdOrNull(d.id), d.name, d.host, static_cast<int64_t>(d.appType)}, assignedId);
}

CFzError DeclareInstance(InstanceDecl const& d, unsigned long* assignedId) {
    return Insert("INSERT INTO instances (id, client_id, name, app_type) VALUES (?, ?, ?, ?)",
                  {IdOrNull(d.id), Num(d.clientId), d.name, static_cast<int64_t>(d.appType)}, assignedId);
}

CFzError DeclareBackupSet(BackupSetDecl const& d, unsigned long* assignedId) {
    return Insert(
        "INSERT INTO backupsets (id, client_id, app_type, instance_id, name, is_default) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {IdOrNull(d.id), Num(d.clientId), static_cast<int64_t>(d.appType), Num(d.instanceId), d.name,
         static_cast<int64_t>(d.isDefault ? 1 : 0)},
        assignedId);
}

CFzError DeclareSubclient(SubclientDecl const& d, unsigned long* assignedId) {
    return Insert(
        "INSERT INTO subclients (id, name, guid, blocklevel, metadata, spos, snap_engine, data_streams) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
        {IdOrNull(d.id), d.name, d.guid, static_cast<int64_t>(d.blockLevel ? 1 : 0),
         static_cast<int64_t>(d.metadata ? 1 : 0), static_cast<int64_t>(d.spos ? 1 : 0),
         static_cast<int64_t>(d.snapEngine), static_cast<int64_t>(d.dataStreams)},
        assignedId);
}

CFzError DeclareApplication(ApplicationDecl const& d, unsigned long* assignedId) {
    return Insert(
        "INSERT INTO applications (id, brannox_id, client_id, app_type, instance_id, backupset_id, "
        "subclient_id) VALUES (?, ?, ?, ?, ?, ?, ?)",
        {IdOrNull(d.id), Num(d.brannoxId), Num(d.clientId), static_cast<int64_t>(d.appType),
         Num(d.instanceId), Num(d.backupSetId), Num(d.subclientId)},
        assignedId);
}

CFzError SetInstanceProperty(unsigned long instanceId, std::string const& name, std::string const& value,
                             int type, int number) {
    if (name.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "a property needs a name");
    CFzError err = Catalogue::Instance().Exec(
        "INSERT OR REPLACE INTO instance_properties (instance_id, name, type, value, number) "
        "VALUES (?, ?, ?, ?, ?)",
        {Num(instanceId), name, static_cast<int64_t>(type), value, static_cast<int64_t>(number)});
    if (err.IsError()) return err.Push(FZ_LOC, "setting property %s failed", name.c_str());
    return CFzError::Success();
}

CFzError SetContent(ContentOwner owner, unsigned long ownerId, std::vector<std::string> const& paths) {
    std::string ownerText = owner == ContentOwner::Subclient ? "subclient" : "instance";
    return Catalogue::Instance().Transaction([&]() -> CFzError {
        CFzError err = Catalogue::Instance().Exec(
            "DELETE FROM content_paths WHERE owner = ? AND owner_id = ?", {ownerText, Num(ownerId)});
        if (err.IsError()) return err;
        int64_t seq = 0;
        for (std::string const& path : paths) {
            err = Catalogue::Instance().Exec(
                "INSERT INTO content_paths (owner, owner_id, seq, path) VALUES (?, ?, ?, ?)",
                {ownerText, Num(ownerId), ++seq, path});
            if (err.IsError()) return err;
        }
        return CFzError::Success();
    });
}

}  // namespace nuvappmgr
