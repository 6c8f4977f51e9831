// The readers of the index: the first-generation query and the lookup.
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/lookup.h"
#include "nuvdbsnap/platform/msg/index_clients.h"

#include "store.h"
#include "nuvdbsnap/platform/base/log.h"

namespace {

void ToRow(nuvindexing::IndexEntry const& e, _IndexArchFileInfo* row) {
    row->path = e.path;
    row->jobId = e.jobId;
    row->archFileId = e.archFileId;
    row->offset = static_cast<int64_t>(e.sequence);
    row->entryType = e.isDir ? 1 : 0;
    for (auto const& m : e.metadata) {
        _IndexMetaDataInfo info;
        info.type = static_cast<int32_t>(m.first);
        info.value = m.second;
        row->metadata.push_back(std::move(info));
    }
}

}  // namespace

int GetIndexArchFileInfo(std::string const& host, std::string const& clientName, unsigned brannoxId,
                         std::list<_GetIndexSubclientInfo> keys, std::list<std::string>& patterns, unsigned appType,
                         unsigned flags, std::list<_IndexArchFileInfo>& rows) {
    std::string args = "host=" + host + " brannox=" + std::to_string(brannoxId) + " flags=" + std::to_string(flags);
    for (_GetIndexSubclientInfo const& k : keys)
        args += " key=" + std::to_string(k.appId) + ":" + std::to_string(k.jobId);
    for (std::string const& p : patterns) args += " pattern=" + p;
    int code = -1;
    if (!nuvindexing::detail::Enter("GetIndexArchFileInfo", args, &code)) return code;
    bool const filesOnly = (flags & kIndexQueryFilesOnly) != 0 && (flags & kIndexQueryWithDirectories) == 0;
    std::vector<nuvindexing::PathPattern> parsed;
    for (std::string const& pattern : patterns) parsed.push_back(nuvindexing::ParsePattern(pattern));
    for (_GetIndexSubclientInfo const& key : keys) {
        int64_t jobId = key.jobId;
        if (jobId == 0 && nuvindexing::detail::ChooseJob(key.appId, 0, 0, &jobId).IsError()) return -1;
        if (jobId == 0) continue;
        std::vector<int64_t> runs;
        if (nuvindexing::detail::GoodRuns(jobId, key.appId, &runs).IsError()) return -1;
        nuvindexing::detail::FirstSight firstSight(parsed);   // one row per entry
        for (nuvindexing::PathPattern const& pattern : parsed) {
            CFzError e = nuvindexing::detail::SelectEntries(
                runs, pattern, [&](nuvindexing::IndexEntry const& entry) {
                    if (filesOnly && entry.isDir) return true;
                    if (!firstSight(entry.id)) return true;
                    _IndexArchFileInfo row;
                    ToRow(entry, &row);
                    rows.push_back(std::move(row));
                    return true;
                }, nuvindexing::detail::EntryColumns::kWithoutGuids);
            if (e.IsError()) {
                g_ptrLogWriter->Write(-1, "GetIndexArchFileInfo", 0, "%s", e.AsString().c_str());
                return -1;
            }
        }
    }
    return 0;
}

int FetchIndexInfo::init(std::string& host, unsigned brannoxId, unsigned appId, unsigned endTime, unsigned appType) {
    std::string args = "host=" + host + " brannox=" + std::to_string(brannoxId) + " app=" + std::to_string(appId) +
                       " end=" + std::to_string(endTime) + " cache=" + std::to_string(getCacheType());
    int code = -1;
    if (!nuvindexing::detail::Enter("FetchIndexInfo::init", args, &code)) return code;
    int64_t jobId = 0;
    if (nuvindexing::detail::ChooseJob(appId, 0, endTime, &jobId).IsError()) return -1;
    m_jobId = jobId;
    m_appId = appId;
    m_appType = appType;
    return 0;
}

int FetchIndexInfo::lookup(std::list<std::string> const& patterns, FetchIndexInfoSendRes* adaptor) {
    std::string args = "job=" + std::to_string(m_jobId);
    for (std::string const& p : patterns) args += " pattern=" + p;
    int code = -1;
    if (!nuvindexing::detail::Enter("FetchIndexInfo::lookup", args, &code)) return code;
    if (m_jobId < 0 || adaptor == nullptr) return -1;
    std::vector<int64_t> runs;
    if (m_jobId > 0 && nuvindexing::detail::GoodRuns(m_jobId, m_appId, &runs).IsError()) return -1;
    constexpr size_t kBatch = 500;
    FetchIndexInfoResp batch;
    int stop = 0;
    auto send = [&]() {
        if (batch.items.empty() || stop < 0) return;
        if (adaptor->function(&batch) < 0) stop = -1;
        batch.items.clear();
    };
    std::vector<nuvindexing::PathPattern> parsed;
    for (std::string const& pattern : patterns) parsed.push_back(nuvindexing::ParsePattern(pattern));
    nuvindexing::detail::FirstSight firstSight(parsed);
    for (nuvindexing::PathPattern const& pattern : parsed) {
        CFzError e = nuvindexing::detail::SelectEntries(
            runs, pattern, [&](nuvindexing::IndexEntry const& entry) {
                if (!firstSight(entry.id)) return true;
                FInfoRespItem item;
                item.path = entry.path;
                item.valid = true;
                for (auto const& m : entry.metadata) item.metaData.push_back({static_cast<int>(m.first), m.second});
                batch.items.push_back(std::move(item));
                if (batch.items.size() >= kBatch) send();
                return stop == 0;
            }, nuvindexing::detail::EntryColumns::kWithoutGuids);
        if (e.IsError()) return -1;
        if (stop < 0) return -1;
    }
    send();
    return stop < 0 ? -1 : 0;
}
