#include "appmgr/call.h"

#include "nuvdbsnap/platform/appmgr/status.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <map>
#include <mutex>

namespace nuvappmgr {

int AppMgrErrorState::setError(int number, std::string text) {
    m_lastError = number != 0 ? number : -1;
    m_errorString = std::move(text);
    return m_lastError;
}

namespace detail {

bool Enter(char const* call, std::string const& args, int* code, std::string* text) {
    nuvsuite::JournalCall("appmgr", call, args);
    nuvsuite::FaultHit hit;
    if (!nuvsuite::CheckFault("appmgr", call, args, &hit)) return true;
    *code = hit.code != 0 ? hit.code : -1;
    *text = hit.text.empty() ? std::string(call) + " failed (injected)" : hit.text;
    return false;
}

CFzError QueryOne(std::string const& sql, std::vector<nuvsuite::CatValue> const& params,
                  nuvsuite::CatRow* row, bool* found) {
    std::vector<nuvsuite::CatRow> rows;
    CFzError err = nuvsuite::Catalogue::Instance().Query(sql, params, &rows);
    *found = false;
    if (err.IsError()) return err;
    if (!rows.empty()) {
        *row = std::move(rows.front());
        *found = true;
    }
    return CFzError::Success();
}

namespace {

struct Kept {
    void* object = nullptr;
    void (*destroy)(void*) = nullptr;
};

struct KeptObjects {
    std::mutex mutex;
    std::map<std::string, Kept> objects;
    ~KeptObjects() {
        for (auto& entry : objects) entry.second.destroy(entry.second.object);
    }
};

KeptObjects& TheKeptObjects() {
    static KeptObjects s_kept;
    return s_kept;
}

}  // namespace

void* KeepErased(std::string const& key, std::function<void*()> const& make, void (*destroy)(void*)) {
    std::string fullKey = nuvsuite::Catalogue::Instance().path() + "|" + key;
    KeptObjects& kept = TheKeptObjects();
    std::lock_guard<std::mutex> lock(kept.mutex);
    auto it = kept.objects.find(fullKey);
    if (it != kept.objects.end()) return it->second.object;
    Kept entry;
    entry.object = make();
    entry.destroy = destroy;
    kept.objects.emplace(fullKey, entry);
    return entry.object;
}

}  // namespace detail
}  // namespace nuvappmgr
