// DbTabRestoreUtils at backup: the table-level records, their feed and their
// directory-change file.
#include "nuvdbsnap/index/db_tab_restore_utils.h"

#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>

namespace {

char const kTblView[] = "/+tblview+/";          // 11 characters
char const kTblSpaceDep[] = "/+TblSpaceDep+/";  // 15 characters
constexpr unsigned long kDepTableTag = 0x653F07BA;
constexpr unsigned long kDepListTag = 0x65ADF078;

bool StartsWith(std::string const& s, char const* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// database "/" schema "/" table: false when the text lacks a separator.
bool SplitTable(std::string const& text, std::string* database, std::string* schema, std::string* table) {
    size_t first = text.find('/');
    size_t last = text.rfind('/');
    if (first == std::string::npos || first == last) return false;
    *database = text.substr(0, first);
    *schema = text.substr(first + 1, last - first - 1);
    *table = text.substr(last + 1);
    return true;
}

IdxMetadata::DatabaseDepTable DepTable(std::string const& database, std::string const& schema,
                                       std::string const& table) {
    IdxMetadata::DatabaseDepTable m;
    m.setstring(1, 1, schema, kDepTableTag, 0x0036EBCB);
    m.setstring(2, 5, table, kDepTableTag, 0x00769379);
    m.setstring(3, 9, database, kDepTableTag, 0x00A9117B);
    return m;
}

bool SameTable(CNMessageBase const& m, std::string const& database, std::string const& schema,
               std::string const& table) {
    return m.getstring(1, 1) == schema && m.getstring(2, 5) == table && m.getstring(3, 9) == database;
}

}  // namespace

DbTabRestoreUtils::DbTabRestoreUtils() : m_event(new EvEvent) {}

DbTabRestoreUtils::~DbTabRestoreUtils() { delete m_event; }

void DbTabRestoreUtils::Init(DbTabUtilsInitOptions const& o) {
    m_jobId = o.jobId;
    m_clientId = o.clientId;
    m_appType = o.appType;
    m_instanceId = o.instanceId;
    m_appId = o.appId;
    m_viewRootName = o.viewRootName;
    m_brannoxId = o.brannoxId;
    m_writeOnly = o.writeOnly;
}

CFzError DbTabRestoreUtils::createMetadataIndex(std::vector<std::string> const& entries, QueryType type,
                                                std::vector<browseablePath_t>& records) {
    char const tag[] = "DbTabRestoreUtils::createMetadataIndex";
    EvDebug::Debug(m_event, tag, "Enter ");
    size_t const skip = m_viewRootName.size() + 12;   // "/+tblview+/" root "/"
    auto hasRoot = [&](std::string const& entry) {
        return entry.size() >= skip && entry.compare(11, m_viewRootName.size(), m_viewRootName) == 0 &&
               entry[skip - 1] == '/';
    };

    if (type == QUERY_TABLES || type == QUERY_TABLESPACES) {
        std::set<std::string> seen;
        for (std::string const& entry : entries) {
            if (entry.empty()) continue;
            EvDebug::Debug(m_event, tag, "inTableInfoIt->c_str()  [%s] ", entry.c_str());
            if (entry.back() == '/') continue;
            if (StartsWith(entry, kTblView)) {
                if (!hasRoot(entry)) {
                    EvDebug::Debug(m_event, tag, "entry [%s] does not lie under the view root [%s]; skipped",
                                   entry.c_str(), m_viewRootName.c_str());
                    continue;
                }
                browseablePath_t item;
                item.osPath = entry.substr(skip);
                EvDebug::Debug(m_event, tag, "item.osPath  [%s] ", item.osPath.c_str());
                if (item.osPath.empty() || !seen.insert(item.osPath).second) continue;
                item.phonyPath = entry;
                item.afile = ArchiveFileId_t{2, 0, 1};
                records.push_back(std::move(item));
            } else if (StartsWith(entry, kTblSpaceDep)) {
                EvDebug::Debug(m_event, tag, "item.osPath  [%s] ", entry.c_str());
                if (!seen.insert(entry).second) continue;
                browseablePath_t item;
                item.phonyPath = entry;
                item.afile = ArchiveFileId_t{2, 0, 1};
                records.push_back(std::move(item));
            }
        }
        if (records.empty()) {
            char const text[] =
                "Make sure that database contains user defined tables or unselect Enable Table Browse from "
                "subclient and resubmit the job.";
            EvDebug::Error(m_event, tag, "%s", text);
            return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "%s", text);
        }
        return CFzError::Success();
    }

    if (type != QUERY_DEPENDENCIES) {
        EvDebug::Error(m_event, tag, "Unknown subindex type[%d] for Table Index ", static_cast<int>(type));
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "Unknown subindex type[%d] for Table Index ",
                                       static_cast<int>(type));
    }

    typedef std::vector<IdxMetadata::DatabaseDepTable> DepList;
    std::map<std::string, DepList> dependsOn;
    std::map<std::string, DepList> referencedBy;
    for (std::string const& entry : entries) {
        if (!StartsWith(entry, kTblView)) continue;
        EvDebug::Debug(m_event, tag, "TblIndex Entry %s ", entry.c_str());
        size_t colon = entry.rfind(':');
        if (!hasRoot(entry) || colon == std::string::npos || colon < skip) {
            EvDebug::Debug(m_event, tag, "dependency entry [%s] has no child:parent pair; skipped", entry.c_str());
            continue;
        }
        std::string child = entry.substr(skip, colon - skip);
        std::string parent = entry.substr(colon + 1);
        if (child == parent) continue;
        EvDebug::Debug(m_event, tag, "Child Table : %s", child.c_str());
        EvDebug::Debug(m_event, tag, "Parent Table : %s", parent.c_str());
        std::string pd, ps, pt, cd, cs, ct;
        if (!SplitTable(parent, &pd, &ps, &pt) || !SplitTable(child, &cd, &cs, &ct)) {
            EvDebug::Debug(m_event, tag, "dependency entry [%s] does not name two tables; skipped", entry.c_str());
            continue;
        }
        DepList& deps = dependsOn[child];
        bool duplicate = false;
        for (CNMessageBase const& m : deps)
            if (SameTable(m, pd, ps, pt)) duplicate = true;
        if (duplicate) {
            EvDebug::Debug(m_event, tag, "Skipping duplicate entry  %s ", parent.c_str());
            continue;
        }
        deps.push_back(DepTable(pd, ps, pt));
        referencedBy[parent].push_back(DepTable(cd, cs, ct));
        EvDebug::Debug(m_event, tag, "added entry for parent  %s ", parent.c_str());
    }

    IdxMetadata::ListDatabaseDepTable list;
    std::vector<browseablePath_t> made;
    DepList const none;
    for (browseablePath_t& record : records) {
        if (record.isDir != 0 || StartsWith(record.phonyPath, kTblSpaceDep)) continue;
        size_t cut = record.osPath.rfind('/');
        size_t phonyCut = record.phonyPath.rfind('/');
        if (cut == std::string::npos || phonyCut == std::string::npos) {
            EvDebug::Debug(m_event, tag, "leaf [%s] names no table; skipped", record.phonyPath.c_str());
            continue;
        }
        record.osPath.resize(cut);
        auto d = dependsOn.find(record.osPath);
        auto r = referencedBy.find(record.osPath);
        list.setlistobject(1, 1, d != dependsOn.end() ? d->second : none, kDepListTag, 0x00282754);
        list.setlistobject(2, 2, r != referencedBy.end() ? r->second : none, kDepListTag, 0x00E7E8D8);
        browseablePath_t dir;
        dir.phonyPath = record.phonyPath.substr(0, phonyCut);
        dir.isDir = 1;
        if (list.serialize(dir.osPath, false) != 0) {
            EvDebug::Error(m_event, tag, "cannot serialise the dependencies of [%s]", record.osPath.c_str());
            return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "cannot serialise the dependencies of [%s]",
                                           record.osPath.c_str());
        }
        dir.afile = ArchiveFileId_t{2, 0, 1};
        EvDebug::Debug(m_event, tag, "added entry for phonyFile  [%s] [%s] ", dir.phonyPath.c_str(),
                       record.osPath.c_str());
        made.push_back(std::move(dir));
    }
    for (browseablePath_t& record : records) record.osPath.clear();
    records.insert(records.end(), made.begin(), made.end());
    return CFzError::Success();
}

void DbTabRestoreUtils::addIndexHeaders(std::vector<browseablePath_t>& records, std::string const& header) {
    browseablePath_t item;
    item.phonyPath = header;
    item.isDir = 1;
    item.afile = ArchiveFileId_t{0, 0, 1};
    records.push_back(std::move(item));
}

CFzError DbTabRestoreUtils::sendMetadataIndex(std::vector<browseablePath_t>& records, SendMetaDataParams& params) {
    char const tag[] = "DbTabRestoreUtils::sendMetadataIndex";
    bool const verbose = EvDebug::getDebugLevel() > 6;
    if (verbose) {
        std::string const results = JobResultsDirectory(static_cast<uint64_t>(m_jobId), static_cast<int>(m_brannoxId));
        std::string const path = results + "/TableListIndex.out";
        CFzFile file;
        CFzError e = results.empty() ? FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "No job-results root")
                                     : file.Open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (e.IsError()) {
            EvDebug::Debug(m_event, tag, "failed to create TableListIndex.out file at %s ", path.c_str());
        } else {
            for (browseablePath_t const& r : records) {
                std::string line = "\nTable : " + r.phonyPath + " \n Dependency : " + r.osPath;
                if (file.Write(line.data(), static_cast<uint32_t>(line.size()), nullptr).IsError()) break;
            }
            (void)file.Close();
        }
    }
    std::string mangled;
    JZClient client(static_cast<unsigned long>(m_clientId));
    if (client.getNetworkHostnameMangled(mangled, nullptr) != 0) mangled.clear();
    EvDebug::Debug(m_event, tag, "mangled client name %s", mangled.c_str());
    std::vector<char> name(mangled.begin(), mangled.end());
    name.push_back('\0');

    IdxUtil idx(m_event, verbose, params.jobCtrl, name.data());
    idx.InitEncodeType(static_cast<int>(kIdxMetaTableLevel));
    EvDebug::Debug(m_event, tag, "Before calling m_idxUtil.addBrowseAblePath for extended metadata indexing");
    unsigned const brannoxId = static_cast<unsigned>(m_brannoxId);
    unsigned const appId = m_appId;
    unsigned const appType = static_cast<unsigned>(m_appType);
    JZJobID jobId = m_jobId;
    if (idx.addBrowseAblePath(records, params.level, params.host.c_str(), brannoxId, appId, appType, jobId, m_event,
                              verbose, params.flags, params.jobToken.c_str()) < 0) {
        CFzError e = FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "addBrowseAblePath Failed to semd metadata index.");
        EvDebug::Error(m_event, tag, "addBrowseAblePath Failed to send metadata index. Error: %s ",
                       e.AsString().c_str());
        return e;
    }
    return CFzError::Success();
}

void DbTabRestoreUtils::GetDirchangeFileName(std::string& name) {
    char const tag[] = "DbTabRestoreUtils::GetDirchangeFileName";
    JZPI_Base base;
    char const* temp = base.getDrevoxTempDirectory();
    std::string dir = temp ? std::string(temp, strnlen(temp, 1024)) : std::string();
    if (dir.empty()) {
        EvDebug::Error(m_event, tag, "getDrevoxTempDirectory() failed");
        return;
    }
    name = dir + "/DbTabInfo_" + std::to_string(m_jobId) + "_.idx";
    EvDebug::Debug(m_event, tag, "Index file name is %s", name.c_str());
}

CFzError DbTabRestoreUtils::CreateAndSendDirChangeFile(std::vector<browseablePath_t>& records,
                                                       CreateAndSendDirChangeParams& params) {
    char const tag[] = "DbTabRestoreUtils::CreateAndSendDirChangeFile";
    EvDebug::DebugLvl(m_event, 6, tag, "Enter");
    if (params.fileName.empty())
        GetDirchangeFileName(m_dirChangeFile);
    else
        m_dirChangeFile = params.fileName;
    if (m_dirChangeFile.empty()) {
        EvDebug::Error(m_event, tag, "GetDirchangeFileName failed");
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "GetDirchangeFileName failed");
    }

    // A fresh file: whatever lies at the name (a link included) is removed first,
    // and the open refuses to follow or reuse anything put there meanwhile.
    if (unlink_utf(m_dirChangeFile.c_str()) != 0 && errno != ENOENT) {
        int err = errno;
        EvDebug::Error(m_event, tag, "failed to create SendDirChangeFile [%s] errno [%d] ", m_dirChangeFile.c_str(),
                       err);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "failed to create SendDirChangeFile [%s] errno [%d]",
                                       m_dirChangeFile.c_str(), err);
    }
    CFzFile file;
    errno = 0;
    CFzError e = file.Open(m_dirChangeFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (e.IsError()) {
        int err = errno;
        EvDebug::Error(m_event, tag, "failed to create SendDirChangeFile [%s] errno [%d] ", m_dirChangeFile.c_str(),
                       err);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "failed to create SendDirChangeFile [%s] errno [%d]",
                                       m_dirChangeFile.c_str(), err);
    }
    std::string previous;
    bool first = true;
    auto write = [&](std::string const& text) {
        uint32_t written = 0;
        CFzError w = file.Write(text.data(), static_cast<uint32_t>(text.size()), &written);
        if (!w.IsError() && written != text.size())
            w = FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "short write: %u of %zu bytes", written, text.size());
        return w;
    };
    for (browseablePath_t const& r : records) {
        if (r.isDir != 0) continue;
        size_t slash = r.phonyPath.rfind('/');
        std::string parent = slash == std::string::npos ? r.phonyPath : r.phonyPath.substr(0, slash);
        std::string leaf = slash == std::string::npos ? r.phonyPath : r.phonyPath.substr(slash + 1);
        if (parent != previous) {
            e = write(first ? parent : "\n" + parent);
            if (e.IsError()) break;
            first = false;
            previous = parent;
            EvDebug::Error(m_event, tag, "FUN1 [%s] [%s]", parent.c_str(), leaf.c_str());
        }
        e = write("\n\t" + leaf);
        if (e.IsError()) break;
        EvDebug::Error(m_event, tag, "FUN2 [%s] [%s]", parent.c_str(), leaf.c_str());
    }
    CFzError closed = file.Close();
    if (!e.IsError()) e = closed;
    if (e.IsError()) {
        EvDebug::Error(m_event, tag, "failed to write SendDirChangeFile [%s]: %s", m_dirChangeFile.c_str(),
                       e.AsString().c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "failed to write SendDirChangeFile [%s]", m_dirChangeFile.c_str());
    }
    if (m_writeOnly) return CFzError::Success();

    int r = sendDirChange(params.brannoxId, params.appId, params.level, params.jobToken.c_str(),
                          params.dataMover.c_str(), m_dirChangeFile.c_str(), '/', false, false, true,
                          params.level == 1, params.quitHook, false, 240, 0, nullptr, nullptr, params.jobId, false);
    if (r < 0) {
        char const* failJob = r < -1 ? " (fail job)" : "";
        EvDebug::Error(m_event, tag, "Error During sendDirChange [%s] retInt=[%d]", failJob, r);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "Error During sendDirChange [%s] retInt=[%d]", failJob, r);
    }
    if (EvDebug::getDebugLevel() <= 6) (void)UnlinkDirchangeFile();
    return CFzError::Success();
}

CFzError DbTabRestoreUtils::UnlinkDirchangeFile() {
    if (m_dirChangeFile.empty()) return CFzError::Success();
    CFzError result;
    int rc = unlink_utf(m_dirChangeFile.c_str());
    if (rc != 0) {
        int err = errno;
        EvDebug::Error(m_event, "DbTabRestoreUtils::UnlinkDirchangeFile", "failed to unlink [%s] errno [%d] retInt [%d] ",
                       m_dirChangeFile.c_str(), err, rc);
        result = FXErrorUtil::ErrorErrNo(FZ_LOC, -1, "failed to unlink [%s] errno [%d] retInt [%d]",
                                         m_dirChangeFile.c_str(), err, rc);
    }
    m_dirChangeFile.clear();
    return result;
}
