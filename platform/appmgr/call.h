// Shared plumbing of the application manager's calls: one-row catalogue reads,
// and the process-wide home of the objects that ApplicationId hands out.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvappmgr {
namespace detail {

// Reads at most one row; *found tells whether there was one.
[[nodiscard]] CFzError QueryOne(std::string const& sql, std::vector<nuvsuite::CatValue> const& params,
                                nuvsuite::CatRow* row, bool* found);

inline nuvsuite::CatValue Id(unsigned long id) {
    return static_cast<int64_t>(id);
}

// The one object of `key` (kind and ids) in the current state root, made by
// `make` on first use and kept until the process ends.
template <class T>
T* Keep(std::string const& key, std::function<std::unique_ptr<T>()> const& make);

void* KeepErased(std::string const& key, std::function<void*()> const& make, void (*destroy)(void*));

template <class T>
T* Keep(std::string const& key, std::function<std::unique_ptr<T>()> const& make) {
    return static_cast<T*>(KeepErased(
        key, [&make]() -> void* { return make().release(); }, [](void* p) { delete static_cast<T*>(p); }));
}

}  // namespace detail
}  // namespace nuvappmgr
