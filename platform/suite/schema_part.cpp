// SchemaPart registration.
#include "schema_registry.h"

#include <atomic>
#include <mutex>

namespace nuvsuite {
namespace detail {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<SchemaPart> parts;
    std::atomic<uint64_t> generation{0};
};

Registry& TheRegistry() {
    static Registry* s_registry = new Registry();  // lives past static destruction
    return *s_registry;
}

}  // namespace

std::vector<SchemaPart> RegisteredSchemaParts(uint64_t* generation) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (generation) *generation = r.generation.load();
    return r.parts;
}

uint64_t SchemaGeneration() {
    return TheRegistry().generation.load();
}

}  // namespace detail

SchemaPart::SchemaPart(char const* service_, int version_, char const* ddl_)
    : service(service_), version(version_), ddl(ddl_) {
    detail::Registry& r = detail::TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.parts.push_back(*this);
    ++r.generation;
}

}  // namespace nuvsuite
