// The central server's side of the Sybase catalogue entries: each request it
// takes is kept in the catalogue.
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <ctime>

namespace {

nuvsuite::SchemaPart s_schema{"appmgr.requests", 1, R"SQL(
CREATE TABLE IF NOT EXISTS central_requests (
    id         INTEGER PRIMARY KEY AUTOINCREMENT,
    brannox_id INTEGER NOT NULL,
    kind       TEXT NOT NULL,
    xml        TEXT NOT NULL,
    time       INTEGER NOT NULL
);
)SQL"};

nuvsuite::AdminTable s_requests{"request", "central_requests", false, "id"};

char const kTag[] = "NuvBackup::setSybaseCatalogEntries";

}  // namespace

int NuvBackup::setSybaseCatalogEntries(unsigned long brannoxId, std::string const& xml, void*) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", kTag, "brannox=" + std::to_string(brannoxId), &fault)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "refused: %s", fault.text.c_str());
        return fault.code != 0 ? fault.code : -1;
    }
    Nuv::NuvBackupInfo info;
    if (info.unserialize(xml) != 0 || info.getObjectAccessor(1, 1) == nullptr) {
        g_ptrLogWriter->Write(-1, kTag, 0, "no backup information with a catalogue entry");
        return -1;
    }
    CFzError e = nuvsuite::Catalogue::Instance().Exec(
        "INSERT INTO central_requests(brannox_id, kind, xml, time) VALUES(?, 'sybase-catalogue', ?, ?)",
        {static_cast<int64_t>(brannoxId), xml, static_cast<int64_t>(time(nullptr))});
    if (e.IsError()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "%s", e.AsString().c_str());
        return -1;
    }
    return 0;
}

namespace nuvappmgr {

std::vector<CentralRequest> ListCentralRequests(std::string const& kind) {
    std::vector<CentralRequest> out;
    std::vector<nuvsuite::CatRow> rows;
    if (nuvsuite::Catalogue::Instance()
            .Query("SELECT id, brannox_id, kind, xml, time FROM central_requests WHERE ? = '' OR kind = ? ORDER BY id",
                   {kind, kind}, &rows)
            .IsError())
        return out;
    for (auto const& r : rows) {
        CentralRequest c;
        c.id = nuvsuite::AsInt(r[0]);
        c.brannoxId = static_cast<uint32_t>(nuvsuite::AsInt(r[1]));
        c.kind = nuvsuite::AsText(r[2]);
        c.xml = nuvsuite::AsText(r[3]);
        c.time = nuvsuite::AsInt(r[4]);
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace nuvappmgr
