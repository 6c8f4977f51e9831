// The snapshot name of an ASM disk group.
#include "nuvdbsnap/platform/snapmgr/asm_disk_group_name.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

class AsmDiskGroupNameTest : public nuvtest::SuiteTest {};

TEST_F(AsmDiskGroupNameTest, NamesTheGroupPerIdAndIndex) {
    struct Case {
        int type;
        char const* source;
        long long id;
        unsigned long index;
        char const* expected;
    };
    Case const cases[] = {
        {0, "+data", 41, 0, "DATA_S41_0"},
        {1, "+DATA/ORCL/datafile", 7, 2, "DATA_S7_2"},
        {0, "RECO", 41, 1, "RECO_S41_1"},
        {0, "+", 41, 0, ""},
        {0, "", 41, 0, ""},
    };
    for (Case const& c : cases) {
        unsigned const brannox = 2;
        EXPECT_EQ(c.expected, nuvsnapmgr::ASMDiskGroupNaming::getSnapDGName(c.type, c.source, brannox, c.id, c.index))
            << c.source;
    }
    nuvsuite::AddFault("snapmgr", "ASMDiskGroupNaming::getSnapDGName", 5, "refused", 1);
    EXPECT_EQ("", nuvsnapmgr::ASMDiskGroupNaming::getSnapDGName(0, "+DATA", 2, 1, 0));
    EXPECT_EQ("DATA_S1_0", nuvsnapmgr::ASMDiskGroupNaming::getSnapDGName(0, "+DATA", 2, 1, 0));
}

}  // namespace
