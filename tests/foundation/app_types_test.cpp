// The named application types and engine ids, and the predicates the rules use.
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/foundation/backup_level.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

TEST(AppTypes, PredicatesSortTheTypesAsTheRulesSay) {
    struct Case {
        int type;
        bool oracle, db2, hana, hanaFamily, lrepArchive, lrepNoReplication, physicalNode;
    };
    Case const cases[] = {
        {5, false, false, false, false, false, false, false},  // Sybase
        {22, true, false, false, false, true, true, false},   // Oracle
        {80, true, false, false, false, false, true, true},   // Oracle RAC
        {37, false, true, false, false, false, false, false},
        {62, false, true, false, false, false, false, false},
        {103, false, true, false, false, false, false, false},
        {104, false, false, false, false, true, true, false},  // MySQL
        {125, false, false, false, false, true, false, false}, // PostgreSQL
        {135, false, false, true, true, false, false, true},   // SAP HANA
        {136, false, false, false, true, false, false, false},
        {64, false, false, false, false, false, false, false},
        {0, false, false, false, false, false, false, false},
        {999, false, false, false, false, false, false, false},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(c.oracle, IsOracle(c.type));
        EXPECT_EQ(c.db2, IsDb2Family(c.type));
        EXPECT_EQ(c.hana, IsSapHana(c.type));
        EXPECT_EQ(c.hanaFamily, IsSapHanaFamily(c.type));
        EXPECT_EQ(c.lrepArchive, LrepCreatesArchiveFile(c.type));
        EXPECT_EQ(c.lrepNoReplication, LrepSnapWithoutReplication(c.type));
        EXPECT_EQ(c.physicalNode, SourcedFromPhysicalNode(c.type));
    }
    for (int engine = 0; engine < 100; ++engine)
        EXPECT_EQ(engine == 20 || engine == 21, DeletesAbandonedDb2Prepare(engine)) << engine;
    static_assert(kAppTypeSybase == 5 && kAppTypeSapHana == 135 && kEngineVsa == 48 && kEngineCloudArray == 60,
                  "table numbers");
}

TEST(BackupLevel, IsAThirtyTwoBitEnumeration) {
    static_assert(std::is_enum<JZBkpLevel>::value, "JZBkpLevel is an enumeration");
    static_assert(std::is_same<std::underlying_type<JZBkpLevel>::type, int32_t>::value, "32-bit underlying type");
    static_assert(!std::is_convertible<int, JZBkpLevel>::value, "no silent conversion from a plain int");
    EXPECT_EQ(2, static_cast<int>(JZBkpLevel(2)));
}

}  // namespace
