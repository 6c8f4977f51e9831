// The message type table: tag ids, lookups, generated classes, registration.
#include "support/suite_root.h"
#include "nuvdbsnap/platform/msg/registry.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace {

TEST(MessageRegistry, TheTableIsConsistent) {
    std::string problem;
    EXPECT_EQ(CNMessageRegistry::validate(&problem), 0) << problem;
    EXPECT_EQ(CNMessageBase::Initialize(), 0);
}

TEST(MessageRegistry, EveryTagCarriesItsFamilyInTheTopByte) {
    ASSERT_FALSE(CNMessageRegistry::types().empty());
    for (auto const& type : CNMessageRegistry::types()) {
        SCOPED_TRACE(type.name);
        EXPECT_EQ(type.tagId >> 24, static_cast<std::uint32_t>(type.family));
        std::unique_ptr<CNMessageBase> made(CNMessageRegistry::create(type.family, type.number));
        EXPECT_EQ(made->getTagID(), type.tagId);
        EXPECT_EQ(made->getFamily(), type.family);
        EXPECT_EQ(made->getType(), type.number);
        EXPECT_EQ(made->getTagName(), type.name);
        EXPECT_EQ(CNMessageRegistry::findByTag(type.tagId), &type);
        EXPECT_EQ(CNMessageRegistry::findByType(type.family, type.number), &type);
        EXPECT_EQ(type.hasClass, type.create != nullptr);
        if (type.hasClass) {
            EXPECT_NE(typeid(*made), typeid(CNMessageBase));
        }
    }
}

// A type the table does not hold is found nowhere, whatever its numbers.
TEST(MessageRegistry, ATypeTheTableDoesNotHoldIsNotFound) {
    auto held = [](int family, int number) {
        for (auto const& type : CNMessageRegistry::types())
            if (type.family == family && type.number == number) return true;
        return false;
    };
    std::vector<std::pair<int, int>> probes = {{-1, 0}, {0, -1}, {256, 0}, {1000, 1}, {100, 4095}, {100, 4096},
                                               {100, 100000}, {255, 0}};
    for (auto const& type : CNMessageRegistry::types()) {
        probes.emplace_back(type.family, type.number + 1);
        probes.emplace_back(type.family, type.number - 1);
    }
    for (auto const& [family, number] : probes) {
        if (held(family, number)) continue;
        SCOPED_TRACE(std::to_string(family) + "," + std::to_string(number));
        EXPECT_EQ(CNMessageRegistry::findByType(family, number), nullptr);
        EXPECT_EQ(CNMessageRegistry::rowsOf(family, number), nullptr);
        if (family >= 0 && number >= 0) {
            EXPECT_EQ(CNMessageBase(family, number).getTagName(),
                      "CNMessage(" + std::to_string(family) + "," + std::to_string(number) + ")");
        }
    }
}

struct FixedTag {
    std::shared_ptr<CNMessageBase> message;
    char const* name;
    int family;
    int number;
    std::uint32_t tagId;
};

TEST(MessageRegistry, TheGivenTagIdsAndTypeNumbersAreKept) {
    FixedTag const cases[] = {
        {std::make_shared<databrowse::BrowseRequest>(), "databrowse::BrowseRequest", 100, 92, 0x644C8485},
        {std::make_shared<databrowse::BrowsePath>(), "databrowse::BrowsePath", 100, 3, 0x640305EF},
        {std::make_shared<databrowse::Query>(), "databrowse::Query", 100, 80, 0x64AC28A8},
        {std::make_shared<databrowse::BrowseTimeRange>(), "databrowse::BrowseTimeRange", 100, 64, 0x64509AE6},
        {std::make_shared<databrowse::BrowseAdvancedOptions>(), "databrowse::BrowseAdvancedOptions", 100, 63, 0x6479E812},
        {std::make_shared<databrowse::BrowsePaging>(), "databrowse::BrowsePaging", 100, 6, 0x64536ED6},
        {std::make_shared<JzEntities::GenericEntity>(), "JzEntities::GenericEntity", 18, 46, 0x128C0C7A},
        {std::make_shared<JzEntities::ClientEntity>(), "JzEntities::ClientEntity", 18, 4, 0x122FD3AE},
        {std::make_shared<IdxMetadata::DatabaseDepTable>(), "IdxMetadata::DatabaseDepTable", 101, 10, 0x653F07BA},
        {std::make_shared<IdxMetadata::ListDatabaseDepTable>(), "IdxMetadata::ListDatabaseDepTable", 101, 11, 0x65ADF078},
        {std::make_shared<Indexing::BrowseReq>(), "Indexing::BrowseReq", 48, 1, 0x3052B594},
        {std::make_shared<Nuv::FsBlockBackupConfig>(), "Nuv::FsBlockBackupConfig", 22, 227, 0x16DD4764},
        {std::make_shared<CNSession::jzsExecuteRemoteCommandType>(), "CNSession::jzsExecuteRemoteCommandType", 9, 45, 0x09000111},
        {std::make_shared<Nuv::NuvBackupInfo>(), "Nuv::NuvBackupInfo", 22, 206, 0x1689A8B6},
        {std::make_shared<Nuv::SybaseStream>(), "Nuv::SybaseStream", 22, 203, 0x16F33CB7},
        {std::make_shared<Nuv::CheckDBUserGroup>(), "Nuv::CheckDBUserGroup", 22, 222, 0x16C6F0AE},
        {std::make_shared<Nuv::CheckDBUserPerms>(), "Nuv::CheckDBUserPerms", 22, 223, 0x163FE5B2},
        {std::make_shared<Nuv::DBUserPermissions>(), "Nuv::DBUserPermissions", 22, 224, 0x16FFD75B},
        {std::make_shared<Nuv::DBSymbolicLinks>(), "Nuv::DBSymbolicLinks", 22, 221, 0x16CF6649},
        {std::make_shared<Nuv::DBBaseInstanceStatus>(), "Nuv::DBBaseInstanceStatus", 22, 225, 0x164CBF36},
        {std::make_shared<Nuv::CheckSymbolicLinks>(), "Nuv::CheckSymbolicLinks", 22, 220, 0x16A3761F},
        {std::make_shared<Nuv::GetProxyDBInstallDirReq>(), "Nuv::GetProxyDBInstallDirReq", 22, 600, 0x1658CA96},
        {std::make_shared<Nuv::GetProxyDBInstallDirResp>(), "Nuv::GetProxyDBInstallDirResp", 22, 601, 0x16C088D8},
        {std::make_shared<App::JobErrorDecisionRuleList>(), "App::JobErrorDecisionRuleList", 30, 354, 0x1E3C5C41},
        {std::make_shared<App::JobErrorDecisionRule>(), "App::JobErrorDecisionRule", 30, 352, 0x1E8E7103},
        {std::make_shared<CNMessageBase>(22, 204), "Nuv.SybaseCatalogEntry", 22, 204, 0x16B51747},
        {std::make_shared<CNMessageBase>(22, 422), "Nuv.ErrorRecord", 22, 422, 0x16F2BE27},
        {std::make_shared<CNMessageBase>(30, 351), "App.JobErrorDecision", 30, 351, 0x1EAF6CF8},
        {std::make_shared<CNMessageBase>(22, 218), "Nuv.ReadinessRequest", 22, 218, 0x16E65AB3},
        // Types whose numbers are given without a tag.
        {std::make_shared<databrowse::BrowseResponseList>(), "databrowse::BrowseResponseList", 100, 102, 0},
        {std::make_shared<databrowse::BrowseMode>(), "databrowse::BrowseMode", 100, 5, 0},
        {std::make_shared<databrowse::Criteria>(), "databrowse::Criteria", 100, 67, 0},
        {std::make_shared<IdxMetadata::IdxMetaData>(), "IdxMetadata::IdxMetaData", 101, 93, 0},
        {std::make_shared<JobManager::GetArchiveIndexParamForJob>(), "JobManager::GetArchiveIndexParamForJob", 21, 173, 0},
        {std::make_shared<JobManager::ArchiveIndexParam>(), "JobManager::ArchiveIndexParam", 21, 97, 0},
        {std::make_shared<CNSession::jzsRemoteExecuteAsUserRequestType>(), "CNSession::jzsRemoteExecuteAsUserRequestType", 9, 37, 0},
        {std::make_shared<Nuv::OraVolumeDataType>(), "Nuv::OraVolumeDataType", 22, 295, 0},
        {std::make_shared<Nuv::OraDatabaseContent>(), "Nuv::OraDatabaseContent", 22, 260, 0},
        {std::make_shared<Nuv::ASMDGMirrorInfo>(), "Nuv::ASMDGMirrorInfo", 22, 522, 0},
        {std::make_shared<Nuv::OracleDB2DatabasePaths>(), "Nuv::OracleDB2DatabasePaths", 22, 208, 0},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.message->getFamily(), c.family);
        EXPECT_EQ(c.message->getType(), c.number);
        EXPECT_EQ(c.message->getTagName(), c.name);
        if (c.tagId != 0) {
            EXPECT_EQ(c.message->getTagID(), c.tagId);
            ASSERT_NE(CNMessageRegistry::findByTag(c.tagId), nullptr);
            EXPECT_STREQ(CNMessageRegistry::findByTag(c.tagId)->name, c.name);
        } else {
            EXPECT_EQ(c.message->getTagID() >> 24, static_cast<std::uint32_t>(c.family));
        }
    }
}

TEST(MessageRegistry, TheFirstGenerationTagIsTheIndexingRequest) {
    CNMessageTypeInfo const* info = CNMessageRegistry::findByTag(0x3052B594);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->name, "Indexing::BrowseReq");
    EXPECT_NE(databrowse::BrowseRequest().getTagID(), 0x3052B594u);
    EXPECT_EQ(Indexing::BrowseReq::kTagId, 0x3052B594u);

    CNMessageTypeInfo const* config = CNMessageRegistry::findByTag(0x16DD4764);
    ASSERT_NE(config, nullptr);
    EXPECT_STREQ(config->name, "Nuv::FsBlockBackupConfig");
    EXPECT_EQ(config->family, 22);
    EXPECT_EQ(config->number, 227);
}

TEST(MessageRegistry, TheGivenFieldIdsAreInTheTable) {
    struct Row {
        int family, number;
        short a, b;
        std::uint32_t fieldId;
    };
    Row const rows[] = {
        {22, 227, 1, 1, 0x2DB4B8}, {22, 227, 2, 5, 0x46B998}, {22, 227, 3, 6, 0x6E9317},
        {22, 227, 4, 7, 0xF9536F}, {9, 45, 1, 1, 0x747fe5},   {9, 45, 2, 2, 0x790fdb},
        {9, 45, 3, 6, 0xea35c},    {9, 45, 4, 10, 0x1fe53b},  {9, 45, 5, 11, 0x96188b},
        {101, 10, 1, 1, 0x0036EBCB}, {101, 10, 2, 5, 0x00769379}, {101, 10, 3, 9, 0x00A9117B},
        {101, 11, 1, 1, 0x00282754}, {101, 11, 2, 2, 0x00E7E8D8},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(std::to_string(row.family) + "," + std::to_string(row.number) + " (" + std::to_string(row.a) +
                     "," + std::to_string(row.b) + ")");
        CNMessageFieldInfo const* field = CNMessageRegistry::findField(row.family, row.number, row.a, row.b);
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->fieldId, row.fieldId);
    }
}

// Records known only by their (family, number) inside other messages: each has
// its row, so that reading it back from text makes a message of that type.
TEST(MessageRegistry, TheNamedRecordTypesHaveTheirRows) {
    struct Row {
        int family, number;
    } const rows[] = {
        {100, 71}, {100, 4},  {100, 61},  {100, 38}, {100, 35}, {100, 98}, {100, 93}, {100, 0},
        {100, 9},  {100, 113}, {18, 3},   {18, 10},  {101, 0},  {101, 1},  {101, 37}, {101, 9},
        {101, 12}, {101, 13}, {101, 32},  {101, 17}, {101, 78}, {9, 1},    {22, 204}, {22, 422},
        {30, 351},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(std::to_string(row.family) + "," + std::to_string(row.number));
        CNMessageTypeInfo const* info = CNMessageRegistry::findByType(row.family, row.number);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->tagId >> 24, static_cast<std::uint32_t>(row.family));
    }
    // Classes the agents name without giving their numbers.
    EXPECT_EQ(databrowse::BrowseResponse::kFamily, 100);
    EXPECT_EQ(databrowse::BrowseData::kFamily, 100);
    EXPECT_EQ(databrowse::BrowseError::kFamily, 100);
    EXPECT_EQ(Nuv::OraTableSpace::kFamily, 22);
    EXPECT_EQ(Nuv::OraDataFile::kFamily, 22);
    EXPECT_EQ(Nuv::OraPDB::kFamily, 22);
    EXPECT_EQ(Nuv::OracleDB2DatafilePath::kFamily, 22);
    EXPECT_EQ(Nuv::CheckDBAgentReadinessResp::kFamily, 22);
}

TEST(MessageRegistry, TypesOutsideTheTableStillWork) {
    CNMessageBase adHoc(100, 4000);
    EXPECT_EQ(adHoc.getTagID() >> 24, 100u);
    EXPECT_EQ(adHoc.getTagID(), CNMessageBase(100, 4000).getTagID()) << "derived tags are stable";
    EXPECT_EQ(adHoc.getTagName(), "CNMessage(100,4000)");
    EXPECT_EQ(CNMessageRegistry::findByType(100, 4000), nullptr);
    EXPECT_EQ(adHoc.setint64(1, 1, 3), 0);
}

TEST(MessageRegistry, RegisterSubsystemRegistersTheNamedFamilies) {
    // Registered families are process-wide: the test runs in a process of its own.
    if (!nuvtest::InTestRunAgain()) {
        EXPECT_EQ(0, nuvtest::RunTestAgain()) << "in the fresh process";
        return;
    }
    for (int family : CNMessageRegistry::families()) EXPECT_FALSE(CNMessageRegistry::isFamilyRegistered(family));
    EXPECT_EQ(databrowse::RegisterSubsystem(), 0);
    EXPECT_EQ(Indexing::RegisterSubsystem(), 0);
    EXPECT_EQ(IdxMetadata::RegisterSubsystem(), 0);
    EXPECT_EQ(Common::RegisterSubsystem(), 0);
    for (int family : {100, 48, 101, 18, 9}) EXPECT_TRUE(CNMessageRegistry::isFamilyRegistered(family)) << family;
    EXPECT_FALSE(CNMessageRegistry::isFamilyRegistered(22));
    EXPECT_EQ(Nuv::RegisterSubsystem(), 0);
    EXPECT_TRUE(CNMessageRegistry::isFamilyRegistered(22));
    EXPECT_NE(CNMessageRegistry::registerFamily(77), 0) << "a family the table does not hold";
}

}  // namespace
