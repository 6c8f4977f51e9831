// Registry of the SchemaParts that the services declare with static objects.
#pragma once

#include "nuvdbsnap/platform/suite/catalogue.h"

#include <cstdint>
#include <vector>

namespace nuvsuite {
namespace detail {

// A snapshot of the registered parts and the registry's generation (bumped on
// every registration, so an open catalogue notices parts of a library loaded later).
std::vector<SchemaPart> RegisteredSchemaParts(uint64_t* generation);
uint64_t SchemaGeneration();

// Tells every process of the state root that holds `cataloguePath` that the
// fault table changed (a counter in the shared file "faults.stamp" beside it).
void BumpFaultStamp(std::string const& cataloguePath);

}  // namespace detail
}  // namespace nuvsuite
