#include "call.h"

#include <map>
#include <mutex>

namespace nuvappmgr {

namespace detail {

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
