#include "nuvdbsnap/platform/appmgr/subclient.h"

#include "call.h"
#include "nuvdbsnap/platform/base/strings.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

using nuvappmgr::kAppMgrCatalogue;
using nuvappmgr::kAppMgrConflict;
using nuvappmgr::kAppMgrNotFound;
using nuvappmgr::kAppMgrNotSupported;
using nuvappmgr::detail::Id;
using nuvappmgr::detail::QueryOne;
using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;

namespace {

// Reads `columns` of the subclient row; 0 or an error number with text.
int ReadSubclientRow(unsigned long id, char const* columns, CatRow* row, std::string* text) {
    bool found = false;
    CFzError err =
        QueryOne(std::string("SELECT ") + columns + " FROM subclients WHERE id = ?", {Id(id)}, row, &found);
    if (err.IsError()) {
        *text = err.AsString();
        return kAppMgrCatalogue;
    }
    if (!found) {
        *text = FXString::Format("subclient %lu not found", id);
        return kAppMgrNotFound;
    }
    return 0;
}

std::vector<std::string> ReadContent(unsigned long id, CFzError* err) {
    std::vector<CatRow> rows;
    *err = Catalogue::Instance().Query(
        "SELECT path FROM content_paths WHERE owner = 'subclient' AND owner_id = ? ORDER BY seq", {Id(id)},
        &rows);
    std::vector<std::string> paths;
    for (CatRow const& r : rows) paths.push_back(AsText(r[0]));
    return paths;
}

}  // namespace

Subclient::Subclient(unsigned long subclientId) : m_subclientId(subclientId) {}

Subclient::~Subclient() = default;

int Subclient::enter(char const* call) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("appmgr", call, FXString::Format("subclient=%lu", m_subclientId), &fault))
        return setError(fault);
    return 0;
}

int Subclient::readNumber(char const* call, char const* column, unsigned long& value) {
    if (int rc = enter(call)) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadSubclientRow(m_subclientId, column, &row, &text)) return setError(rc, text);
    value = static_cast<unsigned long>(AsInt(row[0]));
    clearError();
    return 0;
}

int Subclient::lookup(void* /*context*/) {
    unsigned long ignored = 0;
    return readNumber("Subclient::lookup", "id", ignored);
}

int Subclient::getSubclientName(std::string& name, void* /*context*/) {
    if (int rc = enter("Subclient::getSubclientName")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadSubclientRow(m_subclientId, "name", &row, &text)) return setError(rc, text);
    name = AsText(row[0]);
    clearError();
    return 0;
}

int Subclient::getGUIDStr(std::string& guid, void* /*context*/) {
    if (int rc = enter("Subclient::getGUIDStr")) return rc;
    std::string fresh = boost::uuids::to_string(boost::uuids::random_generator()());
    int rc = 0;
    std::string text;
    CatRow row;
    CFzError err = Catalogue::Instance().Transaction([&]() -> CFzError {
        // A subclient declared without a GUID gets one now, kept from then on;
        // a concurrent first reader in another process sees the same one.
        CFzError e = Catalogue::Instance().Exec("UPDATE subclients SET guid = ? WHERE id = ? AND guid = ''",
                                                {fresh, Id(m_subclientId)});
        if (e.IsError()) return e;
        rc = ReadSubclientRow(m_subclientId, "guid", &row, &text);
        return CFzError::Success();
    });
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (rc) return setError(rc, text);
    guid = AsText(row[0]);
    clearError();
    return 0;
}

int Subclient::getUseBlockLevelBackup(unsigned long& value, void* /*context*/) {
    return readNumber("Subclient::getUseBlockLevelBackup", "blocklevel", value);
}

int Subclient::getEnableMetadataBackup(unsigned long& value, void* /*context*/) {
    return readNumber("Subclient::getEnableMetadataBackup", "metadata", value);
}

int Subclient::getUseBlockLevelSPOSBackup(unsigned long& value, void* /*context*/) {
    return readNumber("Subclient::getUseBlockLevelSPOSBackup", "spos", value);
}

int Subclient::getSnapEngine(unsigned long& engineType, void* /*context*/) {
    return readNumber("Subclient::getSnapEngine", "snap_engine", engineType);
}

int Subclient::getFiles(BackupContent& content, void* /*context*/, bool /*refresh*/) {
    if (int rc = enter("Subclient::getFiles")) return rc;
    CatRow row;
    std::string text;
    if (int rc = ReadSubclientRow(m_subclientId, "id", &row, &text)) return setError(rc, text);
    CFzError err;
    std::vector<std::string> paths = ReadContent(m_subclientId, &err);
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    content.clear();
    for (std::string const& p : paths) content.addToContent(p);
    clearError();
    return 0;
}

int Subclient::updateContent(int operation, BackupContent const& newContent,
                             BackupContent const& currentContent, bool, void* /*context*/,
                             void* /*context2*/) {
    nuvsuite::CallFault fault;
    std::string text;
    if (!nuvsuite::EnterCall("appmgr", "Subclient::updateContent",
               FXString::Format("subclient=%lu op=%d paths=%zu", m_subclientId, operation,
                                newContent.paths().size()), &fault))
        return setError(fault);
    if (operation != 1)
        return setError(
            kAppMgrNotSupported,
            FXString::Format("content operation %d is not offered (1 replaces the content)", operation));
    int rc = 0;
    CFzError err = Catalogue::Instance().Transaction([&]() -> CFzError {
        CatRow row;
        rc = ReadSubclientRow(m_subclientId, "id", &row, &text);
        if (rc) return CFzError::Success();
        CFzError e;
        std::vector<std::string> stored = ReadContent(m_subclientId, &e);
        if (e.IsError()) return e;
        if (stored != currentContent.paths()) {
            rc = kAppMgrConflict;
            text = FXString::Format("the content of subclient %lu changed since it was read", m_subclientId);
            return CFzError::Success();
        }
        e = Catalogue::Instance().Exec("DELETE FROM content_paths WHERE owner = 'subclient' AND owner_id = ?",
                                       {Id(m_subclientId)});
        if (e.IsError()) return e;
        int64_t seq = 0;
        for (std::string const& path : newContent.paths()) {
            e = Catalogue::Instance().Exec(
                "INSERT INTO content_paths (owner, owner_id, seq, path) VALUES ('subclient', ?, ?, ?)",
                {Id(m_subclientId), ++seq, path});
            if (e.IsError()) return e;
        }
        return CFzError::Success();
    });
    if (err.IsError()) return setError(kAppMgrCatalogue, err.AsString());
    if (rc) return setError(rc, text);
    clearError();
    return 0;
}

OracleBackpack::OracleBackpack(unsigned long subclientId) : Subclient(subclientId) {}

OracleBackpack::~OracleBackpack() = default;

int OracleBackpack::getDataBackupStreams(int& streams, void* /*context*/) {
    unsigned long value = 0;
    if (int rc = readNumber("OracleBackpack::getDataBackupStreams", "data_streams", value)) return rc;
    streams = static_cast<int>(value);
    return 0;
}
