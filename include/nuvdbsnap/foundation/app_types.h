// Application types and snapshot-engine ids by name, and the predicates that
// the system's rules use (IsOracle, IsDb2Family, IsSapHana, ...). The numbers
// come from one table: app_types.def.
#pragma once

#include <cstdint>

// Families of application types that a rule treats alike.
enum NuvAppFamily : unsigned {
    kAppFamilyOracle = 1u << 0,             // Oracle and Oracle RAC
    kAppFamilyDb2 = 1u << 1,                // the DB2 types
    kAppFamilySapHana = 1u << 2,            // the SAP HANA types
    kAppFamilyLrepArchiveFile = 1u << 3,    // an LREP job of the type still creates its archive file
    kAppFamilyLrepNoReplication = 1u << 4,  // an LREP snap of the type returns without replicating
    kAppFamilyPhysicalNode = 1u << 5,       // snapshots are sourced from the physical node's client
};

enum NuvAppType : int {
#define NUV_APP_TYPE(Name, id, families) kAppType##Name = id,
#include "nuvdbsnap/foundation/app_types.def"
};

enum NuvSnapEngine : int {
#define NUV_SNAP_ENGINE(Name, id, what) kEngine##Name = id,
#include "nuvdbsnap/foundation/app_types.def"
};

// The families `appType` belongs to (0 for a type the table does not list).
constexpr unsigned AppFamiliesOf(long long appType) {
#define NUV_APP_TYPE(Name, id, families) \
    if (appType == id) return families;
#include "nuvdbsnap/foundation/app_types.def"
    return 0;
}

constexpr bool IsOracle(long long appType) { return (AppFamiliesOf(appType) & kAppFamilyOracle) != 0; }
constexpr bool IsDb2Family(long long appType) { return (AppFamiliesOf(appType) & kAppFamilyDb2) != 0; }
// The SAP HANA physical node (the type whose prepare is carried to a later process).
constexpr bool IsSapHana(long long appType) { return appType == kAppTypeSapHana; }
constexpr bool IsSapHanaFamily(long long appType) { return (AppFamiliesOf(appType) & kAppFamilySapHana) != 0; }
constexpr bool LrepCreatesArchiveFile(long long appType) {
    return (AppFamiliesOf(appType) & kAppFamilyLrepArchiveFile) != 0;
}
constexpr bool LrepSnapWithoutReplication(long long appType) {
    return (AppFamiliesOf(appType) & kAppFamilyLrepNoReplication) != 0;
}

constexpr bool SourcedFromPhysicalNode(long long appType) {
    return (AppFamiliesOf(appType) & kAppFamilyPhysicalNode) != 0;
}

// Engines that delete the devices of a DB2 prepare that was never created.
constexpr bool DeletesAbandonedDb2Prepare(long long engine) {
    return engine == kEngineDb2Array20 || engine == kEngineDb2Array21;
}
