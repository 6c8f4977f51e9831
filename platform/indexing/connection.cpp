// IndexingConnection: one connection run into the local index. Entries,
// their metadata and the journal rows of the per-entry calls are collected
// and written in batches, each batch in one catalogue transaction; the run
// turns good (visible) in the transaction that writes its last batch.
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/index_store.h"

#include "pattern.h"
#include "store.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <unistd.h>
#include <utility>

using nuvsuite::Catalogue;
using nuvsuite::CatValue;

namespace {

constexpr size_t kBatchEntries = 8192;
char const kTag[] = "IndexingConnection";

struct PendingEntry {
    std::string path;
    std::string parent;
    int64_t isDir = 0;
    int64_t size = 0;
    int64_t mtime = 0;
    int64_t sequence = 0;
    ArchiveFileId_t afile;
    std::string guid, parentGuid, versionGuid, componentGuid;
    std::vector<std::pair<uint32_t, std::string>> metadata;
};

// The per-entry calls of one kind since the last batch: journalled as one row
// (count, first and last arguments) when the batch is written.
enum CallKind { kMetaCall, kGuidCall, kFileCall, kCallKinds };
char const* const kCallNames[kCallKinds] = {"IndexingConnection::sendMetaDataInfo", "IndexingConnection::sendMetaDataInfo",
                                           "IndexingConnection::sendFileInfo"};

struct CallSummary {
    int64_t firstTimeMs = 0;
    int64_t count = 0;
    std::string first;
    std::string last;
};

// The upsert of entries: one row, or kRowsPerUpsert rows in one statement
// (rows are taken in order, so a path given twice is updated as by two
// statements).
char const kUpsertEntryHead[] =
    "INSERT INTO idx_entries(run_id, path, parent, is_dir, size, mtime, sequence, brannox_id, group_id, afile_id,"
    " guid, parent_guid, version_guid, component_guid) VALUES";
char const kUpsertEntryRow[] = "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
char const kUpsertEntryTail[] =
    " ON CONFLICT(run_id, path) DO UPDATE SET is_dir = excluded.is_dir, size = excluded.size,"
    " mtime = excluded.mtime, sequence = excluded.sequence, brannox_id = excluded.brannox_id,"
    " group_id = excluded.group_id, afile_id = excluded.afile_id,"
    " guid = CASE WHEN guid = '' THEN excluded.guid ELSE guid END,"
    " parent_guid = CASE WHEN parent_guid = '' THEN excluded.parent_guid ELSE parent_guid END,"
    " version_guid = CASE WHEN version_guid = '' THEN excluded.version_guid ELSE version_guid END,"
    " component_guid = CASE WHEN component_guid = '' THEN excluded.component_guid ELSE component_guid END";
constexpr size_t kEntryColumns = 14;
constexpr size_t kRowsPerUpsert = 32;  // 448 parameters, within every SQLite's limit

std::string UpsertEntries(size_t rows) {
    std::string sql = kUpsertEntryHead;
    for (size_t i = 0; i < rows; ++i) {
        if (i != 0) sql += ", ";
        sql += kUpsertEntryRow;
    }
    return sql + kUpsertEntryTail;
}

// A slot that holds a value keeps it; an absent or empty slot is filled.
char const kFillMetadata[] =
    "INSERT INTO idx_metadata(entry_id, type, value) SELECT id, ?, ? FROM idx_entries"
    " WHERE run_id = ? AND path = ? ON CONFLICT(entry_id, type) DO UPDATE SET value = excluded.value"
    " WHERE idx_metadata.value = ''";

char const kNewMetadata[] = "INSERT INTO idx_metadata(entry_id, type, value) VALUES(?, ?, ?)";

}  // namespace

struct IndexingConnection::Impl {
    int64_t runId = 0;
    int64_t jobId = 0;
    bool open = false;
    ArchiveFileId_t afile;
    std::vector<std::pair<uint32_t, std::string>> pendingMeta;
    std::string guid, parentGuid, versionGuid, componentGuid;
    std::vector<PendingEntry> batch;
    CallSummary calls[kCallKinds];
    bool faulted[kCallKinds] = {};   // per-entry calls with a live fault
    uint64_t faultEpoch = ~0ull;
    std::string scratch;              // the arguments of the current per-entry call

    void RefreshFaults() {
        for (bool& f : faulted) f = false;
        for (std::string const& c : nuvsuite::FaultedCalls("indexing"))
            for (int k = 0; k < kCallKinds; ++k)
                if (c == kCallNames[k]) faulted[k] = true;
        faultEpoch = nuvsuite::FaultTableEpoch();
    }
    // A per-entry call: the fault table decides at once; its journal row is
    // written with the next batch (with the call's own time). False: fail it.
    // The call's arguments are in `scratch`.
    bool EnterFast(CallKind kind) {
        if (faultEpoch != nuvsuite::FaultTableEpoch()) RefreshFaults();
        bool fire = faulted[kind] && nuvsuite::CallFaulted("indexing", kCallNames[kind], scratch);
        CallSummary& sum = calls[kind];
        if (sum.count++ == 0) {
            sum.firstTimeMs = nuvsuite::JournalNow();
            sum.first.assign(scratch);
        }
        sum.last.assign(scratch);
        return !fire;
    }

    bool HasCalls() const {
        for (CallSummary const& c : calls)
            if (c.count > 0) return true;
        return false;
    }

    void JournalCalls() {
        for (int k = 0; k < kCallKinds; ++k) {
            CallSummary& c = calls[k];
            if (c.count == 0) continue;
            std::string args = "run=" + std::to_string(runId) + " calls=" + std::to_string(c.count) + " first=[" +
                               c.first + "]";
            if (c.count > 1) args += " last=[" + c.last + "]";
            nuvsuite::JournalCallAt(c.firstTimeMs, "indexing", kCallNames[k], args);
            c.count = 0;
        }
    }

    // An entry's row of upsert parameters; its texts are moved in, the path
    // only copied when `keepPath` (its metadata needs it after).
    void EntryParams(PendingEntry& e, CatValue* p, bool keepPath) const {
        p[0] = runId;
        if (keepPath) p[1] = e.path;
        else p[1] = std::move(e.path);
        p[2] = std::move(e.parent);
        p[3] = e.isDir;
        p[4] = e.size;
        p[5] = e.mtime;
        p[6] = e.sequence;
        p[7] = int64_t(e.afile.brannoxId);
        p[8] = int64_t(e.afile.archGroupId);
        p[9] = int64_t(e.afile.archFileId);
        p[10] = std::move(e.guid);
        p[11] = std::move(e.parentGuid);
        p[12] = std::move(e.versionGuid);
        p[13] = std::move(e.componentGuid);
    }

    // The batch's entries, in the order they were sent; the batch is spent
    // (its texts are moved into the statements' parameters). Entries without
    // metadata go kRowsPerUpsert to a statement; an entry with metadata, and
    // the last entries of a batch, one to a statement (its metadata rows need
    // its row id).
    CFzError WriteBatch() {
        static std::string const upsertEntry = UpsertEntries(1), upsertEntries = UpsertEntries(kRowsPerUpsert),
                                 newMetadata(kNewMetadata), fillMetadata(kFillMetadata);
        Catalogue& cat = Catalogue::Instance();
        JournalCalls();
        std::vector<CatValue> params(kEntryColumns), rows(kEntryColumns * kRowsPerUpsert);
        for (size_t i = 0; i < batch.size();) {
            size_t plain = 0;
            while (plain < kRowsPerUpsert && i + plain < batch.size() && batch[i + plain].metadata.empty()) ++plain;
            if (plain == kRowsPerUpsert) {
                for (size_t r = 0; r < plain; ++r) EntryParams(batch[i + r], &rows[r * kEntryColumns], false);
                CFzError err = cat.Exec(upsertEntries, rows);
                if (err.IsError()) return err;
                i += plain;
                continue;
            }
            PendingEntry& e = batch[i++];
            bool const withMetadata = !e.metadata.empty();
            int64_t const before = withMetadata ? cat.LastInsertId() : 0;
            EntryParams(e, params.data(), withMetadata);
            CFzError err = cat.Exec(upsertEntry, params);
            if (err.IsError()) return err;
            if (!withMetadata) continue;
            int64_t const inserted = cat.LastInsertId();
            for (auto& m : e.metadata) {
                // A new entry has the new row id; an entry sent before is found by its key.
                if (inserted != before)
                    err = cat.Exec(newMetadata, {inserted, int64_t(m.first), std::move(m.second)});
                else
                    err = cat.Exec(fillMetadata, {int64_t(m.first), std::move(m.second), runId, e.path});
                if (err.IsError()) return err;
            }
        }
        return CFzError::Success();
    }

    // Writes the journal rows of the calls made so far, so that a call
    // journalled at once comes after them.
    void FlushJournal() {
        if (!HasCalls()) return;
        (void)Catalogue::Instance().Transaction([&] {
            JournalCalls();
            return CFzError::Success();
        });
    }

    CFzError Flush() {
        if (batch.empty() && !HasCalls()) return CFzError::Success();
        CFzError e = Catalogue::Instance().Transaction([&] { return WriteBatch(); });
        batch.clear();
        for (CallSummary& c : calls) c.count = 0;
        RefreshFaults();
        return e;
    }

    void End(char const* status) {
        (void)Catalogue::Instance().Exec(
            "UPDATE idx_runs SET status = ?, ended = ?,"
            " entries = (SELECT COUNT(*) FROM idx_entries WHERE run_id = ?) WHERE id = ?",
            {std::string(status), int64_t(time(nullptr)), runId, runId});
        open = false;
        // The run's pages go into the catalogue file once, now, by the run
        // that wrote them.
        Catalogue::Instance().Checkpoint();
    }
};

IndexingConnection::IndexingConnection() : m_impl(new Impl) {}
IndexingConnection::~IndexingConnection() = default;

int64_t IndexingConnection::runId() const { return m_impl->runId; }
int64_t IndexingConnection::jobId() const { return m_impl->jobId; }

int IndexingConnection::initialize(unsigned long brannoxId, unsigned long appId, unsigned long appType,
                                   JZBkpLevel level, char const* jobToken, char const* host,
                                   char const* clientName, unsigned long long flags) {
    std::string args = "brannox=" + std::to_string(brannoxId) + " app=" + std::to_string(appId) +
                       " appType=" + std::to_string(appType) + " level=" + std::to_string(level) +
                       " host=" + (host ? host : "") + " client=" + (clientName ? clientName : "");
    int code = -1;
    std::string text;
    if (!nuvindexing::detail::Enter("IndexingConnection::initialize", args, &code, &text)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "initialize refused: %s", text.c_str());
        return code;
    }
    Impl& d = *m_impl;
    if (d.open) {
        g_ptrLogWriter->Write(-1, kTag, 0, "initialize: run %lld is still open", (long long)d.runId);
        return -1;
    }
    nuvjobmgr::JobInfo job;
    if (jobToken == nullptr || !nuvjobmgr::FindJobByToken(jobToken, &job)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "initialize: no job holds the token given");
        return -1;
    }
    bool v2 = false;
    if (nuvindexing::detail::Generation(brannoxId, appId, &v2) != 0) v2 = false;
    if (appType == 64) v2 = true;
    // What killed feeds left is cleared before another run adds to the index.
    CFzError swept = nuvindexing::SweepAbandonedRuns();
    if (swept.IsError())
        g_ptrLogWriter->Write(-1, kTag, 0, "initialize: runs of killed feeds not swept: %s", swept.AsString().c_str());
    Catalogue& cat = Catalogue::Instance();
    int64_t runId = 0;
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError err = cat.Exec(
            "INSERT INTO idx_runs(job_id, brannox_id, app_id, app_type, level, generation, host, client, flags,"
            " status, pid, started, job_started) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, 'open', ?, ?, ?)",
            {job.id, int64_t(brannoxId), int64_t(appId), int64_t(appType), int64_t(level), int64_t(v2 ? 2 : 1),
             std::string(host ? host : ""), std::string(clientName ? clientName : ""), int64_t(flags),
             int64_t(getpid()), int64_t(time(nullptr)), job.started});
        if (err.IsError()) return err;
        runId = cat.LastInsertId();
        return CFzError::Success();
    });
    if (e.IsError()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "initialize: %s", e.AsString().c_str());
        return -1;
    }
    d = Impl();
    cat.DeferCheckpoints();
    d.runId = runId;
    d.jobId = job.id;
    d.open = true;
    d.RefreshFaults();
    return 0;
}

int IndexingConnection::sendAfileInfo(ArchiveFileId_t* afile, bool last, unsigned long backupTime,
                                      unsigned long afileFlags) {
    Impl& d = *m_impl;
    std::string args = "run=" + std::to_string(d.runId);
    if (afile)
        args += " afile=" + std::to_string(afile->brannoxId) + ":" + std::to_string(afile->archGroupId) + ":" +
                std::to_string(afile->archFileId);
    int code = -1;
    d.FlushJournal();
    if (!nuvindexing::detail::Enter("IndexingConnection::sendAfileInfo", args, &code)) return code;
    if (!d.open || afile == nullptr) return -1;
    d.afile = *afile;
    return 0;
}

int IndexingConnection::sendMetaDataInfo(IndexMetaDataStruct& record, void* value) {
    Impl& d = *m_impl;
    d.scratch.assign("type=");
    d.scratch += std::to_string(record.metadataType);
    d.scratch += " valueLength=";
    d.scratch += std::to_string(record.valueLength);
    if (!d.EnterFast(kMetaCall)) return -1;
    if (!d.open || value == nullptr || record.magic != IndexMetaDataStruct::kMagic) return -1;
    uint32_t length = record.dataLength;
    if (length == 0 || (record.valueLength != 0 && record.valueLength != length)) return -1;
    char const* bytes = static_cast<char const*>(value);
    if (bytes[length - 1] != '\0') return -1;
    std::string text(bytes, length - 1);
    for (auto& m : d.pendingMeta) {
        if (m.first == record.metadataType) {
            m.second = std::move(text);
            return 0;
        }
    }
    d.pendingMeta.emplace_back(record.metadataType, std::move(text));
    return 0;
}

int IndexingConnection::sendMetaDataInfo(IdxMetadata::IdxMetaData* message) {
    Impl& d = *m_impl;
    d.scratch.assign("guids");
    if (!d.EnterFast(kGuidCall)) return -1;
    if (!d.open || message == nullptr) return -1;
    CNMessageBase const* object = static_cast<CNMessageBase const*>(message)->getObjectAccessor(1, 1);
    CNMessageBase const* version = static_cast<CNMessageBase const*>(message)->getObjectAccessor(11, 11);
    if (object == nullptr) return -1;
    if (object->isSet(13, 16)) d.guid = object->getstring(13, 16);
    if (object->isSet(14, 20)) d.parentGuid = object->getstring(14, 20);
    if (CNMessageBase const* component = object->getObjectAccessor(12, 15))
        if (component->isSet(3, 9)) d.componentGuid = component->getstring(3, 9);
    if (version && version->isSet(1, 1)) d.versionGuid = version->getstring(1, 1);
    return 0;
}

int IndexingConnection::sendFileInfo(JzFileHeader* header, unsigned long long sequence, char const*,
                                     unsigned long long) {
    Impl& d = *m_impl;
    if (header == nullptr) return -1;
    size_t nameLength = strnlen(header->name, JzFileHeader::kNameSize);
    if (nameLength == 0 || nameLength >= JzFileHeader::kNameSize) return -1;
    // The name without trailing slashes (as TrimPath gives it), copied once.
    while (nameLength > 1 && header->name[nameLength - 1] == '/') --nameLength;
    std::string path(header->name, nameLength);
    d.scratch.assign("seq=");
    d.scratch += std::to_string(sequence);
    d.scratch += " path=";
    d.scratch += path;
    if (!d.EnterFast(kFileCall)) return -1;
    if (!d.open) return -1;
    PendingEntry e;
    e.parent = nuvindexing::ParentKey(path);
    e.path = std::move(path);
    e.isDir = (header->mode & 0x4000) ? 1 : 0;
    e.size = header->size;
    e.mtime = header->time;
    e.sequence = static_cast<int64_t>(sequence);
    e.afile = d.afile;
    e.guid.swap(d.guid);
    e.parentGuid.swap(d.parentGuid);
    e.versionGuid.swap(d.versionGuid);
    e.componentGuid.swap(d.componentGuid);
    e.metadata.swap(d.pendingMeta);
    d.guid.clear();
    d.parentGuid.clear();
    d.versionGuid.clear();
    d.componentGuid.clear();
    d.pendingMeta.clear();
    if (d.batch.capacity() < kBatchEntries) d.batch.reserve(kBatchEntries);
    d.batch.push_back(std::move(e));
    if (d.batch.size() >= kBatchEntries) {
        CFzError err = d.Flush();
        if (err.IsError()) {
            g_ptrLogWriter->Write(-1, kTag, 0, "sendFileInfo: %s", err.AsString().c_str());
            return -1;
        }
    }
    return 0;
}

int IndexingConnection::updateRestartInfo(unsigned long long mask) {
    Impl& d = *m_impl;
    int code = -1;
    d.FlushJournal();
    if (!nuvindexing::detail::Enter("IndexingConnection::updateRestartInfo", "run=" + std::to_string(d.runId), &code)) return code;
    return d.open ? 0 : -1;
}

int IndexingConnection::backupDone(int good) {
    Impl& d = *m_impl;
    int code = -1;
    std::string text;
    d.FlushJournal();
    if (!nuvindexing::detail::Enter("IndexingConnection::backupDone", "run=" + std::to_string(d.runId) + " good=" + std::to_string(good),
                                    &code, &text)) {
        // A refused completion ends the run as failed: it never turns visible.
        if (d.open) {
            d.batch.clear();
            d.End("failed");
        }
        g_ptrLogWriter->Write(-1, kTag, 0, "backupDone refused: %s", text.c_str());
        return code;
    }
    if (!d.open) return -1;
    if (good != 1) {
        // The journal rows of the calls already made are kept; the entries are not.
        d.batch.clear();
        (void)d.Flush();
        d.End("failed");
        return 0;
    }
    CFzError e = d.Flush();
    if (e.IsError()) {
        g_ptrLogWriter->Write(-1, kTag, 0, "backupDone: %s", e.AsString().c_str());
        d.End("failed");
        return -1;
    }
    d.End("good");
    return 0;
}
