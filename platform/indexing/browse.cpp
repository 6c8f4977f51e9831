// The index-browse client over the local index.
#include "nuvdbsnap/platform/msg/index_clients.h"

#include "store.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/records.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <algorithm>
#include <map>

namespace {

char const kTag[] = "IdxBrowseClient";

// Where a metadata value of a type goes in a browse item's metadata block:
// the field, and the type of its record (family 101).
struct MetaSlot {
    short field;
    int number;
};

bool SlotFor(uint32_t type, uint32_t appType, MetaSlot* slot) {
    switch (type) {
    case kIdxMetaTableView: return false;   // a marker of the path, not its value
    case kIdxMetaOsPath: *slot = appType == 125 ? MetaSlot{12, 32} : MetaSlot{2, 9}; return true;
    case kIdxMetaOracleSap: *slot = {4, 13}; return true;
    default: *slot = {3, 12}; return true;
    }
}

void FillItem(nuvindexing::IndexEntry const& e, uint32_t appType, uint32_t appId, CNMessageBase* item) {
    item->setstring(7, 13, e.path);
    size_t slash = e.path.find_last_of("/\\");
    item->setstring(5, 5, slash == std::string::npos ? e.path : e.path.substr(slash + 1));
    CNMessageBase* flags = item->getObjectAccessor(1, 1, true, 100, 0);
    if (!e.isDir) flags->setint64(1, 1, 1);
    flags->setint64(2, 2, e.isDir ? 1 : 0);
    CNMessageBase* archive = item->getObjectAccessor(9, 21, true, 100, 93);
    archive->setint64(9, 9, e.jobId);
    archive->setint64(11, 11, e.archGroupId);
    archive->setint64(12, 12, e.archFileId);
    // Field 13 is the item's offset in its archive file: an archive of
    // snapshots holds no stream to seek in, so it stays unset (0). The size
    // the entry was recorded with goes in field 15.
    archive->setint64(15, 15, static_cast<int64_t>(e.size));
    archive->setint64(14, 14, e.time);   // modification time, as the entry was recorded
    archive->getObjectAccessor(7, 10, true, 18, 3)->setint64(0, 0, e.brannoxId);
    archive->getObjectAccessor(4, 7, true, 18, 10)->setint64(5, 11, appId);
    if (e.metadata.empty()) return;
    CNMessageBase* meta = archive->getObjectAccessor(11, 14, true, 101, 93);
    for (auto const& m : e.metadata) {
        MetaSlot slot;
        if (!SlotFor(m.first, appType, &slot) || meta->isSet(slot.field, slot.field)) continue;
        meta->getObjectAccessor(slot.field, slot.field, true, 101, slot.number)->setstring(1, 1, m.second);
    }
}

// A file-name pattern with "*" and "?" against a name.
bool NameMatches(char const* pattern, char const* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') return NameMatches(pattern + 1, name) || (*name != '\0' && NameMatches(pattern, name + 1));
    if (*name == '\0') return false;
    return (*pattern == '?' || *pattern == *name) && NameMatches(pattern + 1, name + 1);
}

// The criteria of the request's queries: file-name patterns (filter type 0)
// and item names (type 137, a name or a whole path). An entry passes when it
// matches some value of every criteria.
struct Criteria {
    std::vector<std::pair<int64_t, std::vector<std::string>>> lists;
    bool Pass(std::string const& path) const {
        if (lists.empty()) return true;
        size_t slash = path.find_last_of("/\\");
        std::string const name = slash == std::string::npos ? path : path.substr(slash + 1);
        for (auto const& c : lists) {
            bool any = false;
            for (std::string const& v : c.second)
                any = any || (c.first == 137 ? (v == name || v == path) : NameMatches(v.c_str(), name.c_str()));
            if (!any) return false;
        }
        return true;
    }
};

Criteria CriteriaOf(CNMessageBase const* req) {
    Criteria out;
    auto* queries = const_cast<CNMessageBase*>(req)->getlistobject<CNMessageBase>(12, 12, false);
    if (queries == nullptr) return out;
    for (CNMessageBase& q : *queries) {
        auto* list = q.getlistobject<CNMessageBase>(8, 11, false);
        if (list == nullptr) continue;
        for (CNMessageBase& c : *list) {
            CNMessageBase* filter = c.getObjectAccessor(1, 1, false);
            if (filter == nullptr) continue;
            auto* values = filter->getlistobject<std::string>(4, 4, false);
            out.lists.emplace_back(filter->getint64(1, 1), values ? *values : std::vector<std::string>());
        }
    }
    return out;
}

}  // namespace

int IdxBrowseClient::Initialize(CNMessageBase request, IdxBrowseClientResp* handler, int timeoutSeconds,
                                char const* name, void* interruptHook) {
    CNMessageBase const* entity = request.getObjectAccessor(3, 3);
    int64_t brannoxId = entity ? entity->getint64(1, 1) : 0;
    int64_t appId = entity ? entity->getint64(5, 11) : 0;
    std::string args = "brannox=" + std::to_string(brannoxId) + " app=" + std::to_string(appId);
    setInitFailed(true);
    m_browseRequest.reset();
    setHeldRequest(nullptr);
    if (!nuvindexing::detail::Enter("IdxBrowseClient::Initialize", args)) return -1;
    if (request.getFamily() != 100 || request.getType() != 92 || appId <= 0 || appId > 0xFFFFFFFFll) {
        g_ptrLogWriter->Write(-1, kTag, 0, "Initialize: no browse request for a subclient");
        return -1;
    }
    bool v2 = false;
    if (nuvindexing::detail::Generation(static_cast<unsigned long>(brannoxId), static_cast<unsigned long>(appId), &v2) != 0)
        return -1;
    m_v2 = v2;
    m_handler = handler;
    if (!v2) {
        auto held = std::make_unique<Indexing::BrowseReq>();
        held->setstring(84, 138, nuvsuite::LocalMangledHostName());
        held->setstring(38, 62, "subclient " + std::to_string(appId));
        held->setint64(14, 14, appId);
        held->getlistobject<CNMessageBase>(79, 133, true);
        setHeldRequest(std::move(held));
    }
    m_browseRequest = request.clone();
    setInitFailed(false);
    return 0;
}

std::string IdxBrowseClient::serializeRequest() const {
    std::string text;
    if (m_browseRequest && m_browseRequest->serialize(text) != 0) text.clear();
    return text;
}

int IdxBrowseClient::Browse(CNMessageBase* request, CNMessageBase* responses) {
    CNMessageBase const* req = request ? request : m_browseRequest.get();
    if (req == nullptr || isInitFailed()) return -1;
    CNMessageBase const* entity = req->getObjectAccessor(3, 3);
    uint32_t appId = entity ? static_cast<uint32_t>(entity->getint64(5, 11)) : 0;
    CNMessageBase const* range = req->getObjectAccessor(6, 6);
    int64_t to = range ? range->getint64(1, 1) : 0;
    int64_t from = range ? range->getint64(2, 2) : 0;
    std::vector<std::string> paths;
    if (auto* list = const_cast<CNMessageBase*>(req)->getlistobject<CNMessageBase>(4, 4, false))
        for (CNMessageBase const& p : *list) paths.push_back(p.getstring(1, 1));
    // Option 10 of the request's option block: a path without wildcards stands
    // for its whole subtree (the files below a database directory).
    CNMessageBase const* options = req->getObjectAccessor(7, 7);
    // PostgreSQL's index is browsed live: there too a path names its subtree.
    CNMessageBase const* subject = req->getObjectAccessor(3, 3);
    bool const subtree = (options != nullptr && options->getint64(10) == 1) ||
                         (subject != nullptr && subject->getint64(14) == 125);
    // Paging of the first query: items skipped (field 1) and at most (field 3; 0: all).
    uint64_t skip = 0, limit = 0;
    if (auto* queries = const_cast<CNMessageBase*>(req)->getlistobject<CNMessageBase>(12, 12, false)) {
        CNMessageBase const* data = queries->empty() ? nullptr : static_cast<CNMessageBase const&>(queries->front()).getObjectAccessor(5, 8);
        CNMessageBase const* paging = data ? data->getObjectAccessor(2, 2) : nullptr;
        if (paging) {
            skip = static_cast<uint64_t>(std::max<int64_t>(0, paging->getint64(1)));
            limit = static_cast<uint64_t>(std::max<int64_t>(0, paging->getint64(3)));
        }
    }
    std::string args = "app=" + std::to_string(appId) + " from=" + std::to_string(from) + " to=" + std::to_string(to);
    if (entity != nullptr && entity->getint64(9) > 0) args += " job=" + std::to_string(entity->getint64(9));
    for (std::string const& p : paths) args += " path=" + p;
    if (!nuvindexing::detail::Enter("IdxBrowseClient::Browse", args)) return -1;

    // A subject that names its job (field 9) is read from that job's runs
    // alone: two jobs that started in the same second share a time window.
    // Otherwise the time window chooses the job.
    int64_t jobId = entity ? entity->getint64(9) : 0;
    std::vector<int64_t> runs;
    if (jobId <= 0 && nuvindexing::detail::ChooseJob(appId, from, to, &jobId).IsError()) return -1;
    if (jobId > 0 && nuvindexing::detail::GoodRuns(jobId, appId, &runs).IsError()) return -1;

    // The answer is built where the caller reads it (a response list), else apart.
    databrowse::BrowseResponse own;
    databrowse::BrowseResponse* response = &own;
    std::vector<databrowse::BrowseResponse>* list = nullptr;
    if (responses != nullptr) {
        list = responses->getlistobject<databrowse::BrowseResponse>(1, 1, true);
        if (list == nullptr) return -1;
        list->clear();
        list->emplace_back();
        response = &list->back();
    }
    response->setint64(1, 1, 0);
    CNMessageBase* block = response->getObjectAccessor(6, 9, true, 100, 98);
    std::vector<databrowse::BrowseData>* items = block->getlistobject<databrowse::BrowseData>(3, 6, true);
    Criteria const criteria = CriteriaOf(req);
    std::vector<nuvindexing::PathPattern> patterns;
    for (std::string path : paths) {
        if (subtree && path.find('*') == std::string::npos) {
            path = nuvindexing::TrimPath(path);
            path = path == "/" ? "/**" : path + "/**";
        }
        patterns.push_back(nuvindexing::ParsePattern(path));
    }
    nuvindexing::detail::FirstSight firstSight(patterns);   // an entry is answered once
    // The items are made in a region of their own: their memory is taken in
    // large pages, and goes back whole once the answer is let go of.
    nuvmsg::StorageRegion itemStorage;
    std::map<int64_t, uint32_t> appTypes;
    uint64_t selected = 0;
    for (nuvindexing::PathPattern const& pattern : patterns) {
        CFzError e = nuvindexing::detail::SelectEntries(
            runs, pattern, [&](nuvindexing::IndexEntry const& entry) {
                if (!criteria.Pass(entry.path) || !firstSight(entry.id)) return true;
                if (selected++ < skip) return true;
                if (limit != 0 && items->size() >= limit) return false;
                auto found = appTypes.find(entry.runId);
                if (found == appTypes.end())
                    found = appTypes.emplace(entry.runId, nuvindexing::detail::RunAppType(entry.runId)).first;
                items->emplace_back();
                FillItem(entry, found->second, appId, &items->back());
                return true;
            }, nuvindexing::detail::EntryColumns::kWithoutGuids);
        if (e.IsError()) {
            g_ptrLogWriter->Write(-1, kTag, 0, "Browse: %s", e.AsString().c_str());
            return -1;
        }
    }
    if (responses != nullptr) return 0;
    if (m_handler != nullptr) return m_handler->processResp(response) < 0 ? -1 : 0;
    return 0;
}
