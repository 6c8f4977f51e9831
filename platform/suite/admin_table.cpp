// Registry of the tables the admin command can list and fill.
#include "nuvdbsnap/platform/suite/admin.h"

#include <cstring>
#include <mutex>

namespace nuvsuite {
namespace {

struct AdminRegistry {
    std::mutex mutex;
    std::vector<AdminTable const*> tables;
};

AdminRegistry& TheAdminRegistry() {
    static AdminRegistry* s_registry = new AdminRegistry();  // lives past static destruction
    return *s_registry;
}

}  // namespace

AdminTable::AdminTable(char const* kind_, char const* table_, bool declarable_, char const* orderBy_)
    : kind(kind_), table(table_), declarable(declarable_), orderBy(orderBy_) {
    AdminRegistry& r = TheAdminRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.tables.push_back(this);
}

std::vector<AdminTable const*> const& AdminTables() {
    // Registration happens during static initialisation (of this library or of
    // a library loaded later); callers read the list afterwards.
    return TheAdminRegistry().tables;
}

AdminTable const* FindAdminTable(std::string const& kind) {
    AdminRegistry& r = TheAdminRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (AdminTable const* t : r.tables) {
        if (t->kind && kind == t->kind) return t;
    }
    return nullptr;
}

}  // namespace nuvsuite
