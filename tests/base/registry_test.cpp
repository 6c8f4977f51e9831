// The settings registry: writer, reader and the platform-information values.
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <unistd.h>

namespace {

class RegistryTest : public nuvtest::SuiteTest {
protected:
    void Set(char const* section, char const* key, std::string const& value,
             char const* instance = JZRegistry::kDefaultInstance) {
        ASSERT_FALSE(JZRegistry::setValue(instance, section, key, value).IsError()) << key;
    }
};

TEST_F(RegistryTest, RootFollowsJZREGThenTheStateRoot) {
    EXPECT_EQ(JZRegistry::Root(), m_root.path() + "/registry");
    unsetenv("JZREG");
    EXPECT_EQ(JZRegistry::Root(), nuvsuite::StatePath("registry"));
    unsetenv("JZ_SUITE_ROOT");
    EXPECT_EQ(JZRegistry::Root(), "/etc/OrvantisRegistry");
}

TEST_F(RegistryTest, ValuesRoundTripThroughTheReader) {
    struct Case {
        char const* section;
        char const* key;
        std::string value;
    } const cases[] = {{"FileSystemAgent", "sEnableRootSnap", "true"},
                       {"PostGres", "sPGDirIgnoreList", "/pg/a, /pg b,  lead"},
                       {"Base", "sDrevoxGroup", ""},
                       {"SybaseAgent", "RESTORESTREAMS", "4"},
                       {"OracleAgent", "sSNAP_BACKUP_DISABLE_BLOCK_TRACKING", "#not a comment"}};
    for (auto const& c : cases) Set(c.section, c.key, c.value);
    Set("SybaseAgent", "RESTORESTREAMS", "6");  // rewriting keeps one line
    JZPlatformInfo info;
    for (auto const& c : cases) {
        std::string value = "?";
        ASSERT_NE(info.getString(c.section, c.key, &value), 0) << c.key;
        EXPECT_EQ(value, std::string(c.key) == "RESTORESTREAMS" ? "6" : c.value);
    }
    EXPECT_EQ(JZRegistry::listValues(JZRegistry::kDefaultInstance, "SybaseAgent").size(), 1u);

    ASSERT_FALSE(JZRegistry::removeValue(JZRegistry::kDefaultInstance, "Base", "sDrevoxGroup").IsError());
    std::string value = "kept";
    EXPECT_EQ(info.getString("Base", "sDrevoxGroup", &value), 0);
    EXPECT_EQ(value, "kept");
    EXPECT_FALSE(JZRegistry::removeValue(JZRegistry::kDefaultInstance, "Base", "sDrevoxGroup").IsError());
}

TEST_F(RegistryTest, FocusSelectsTheInstance) {
    Set("OracleAgent", "nKey", "1");
    Set("OracleAgent", "nKey", "2", "Instance002");
    JZPlatformInfo info;
    unsigned long n = 0;
    ASSERT_NE(info.getNumber("OracleAgent", "nKey", &n), 0);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(info.setFocus("Instance002"), 0);
    ASSERT_NE(info.getNumber("OracleAgent", "nKey", &n), 0);
    EXPECT_EQ(n, 2u);
    EXPECT_NE(info.setFocus("../etc"), 0);
    EXPECT_STREQ(info.getFocus(), "Instance002");
}

TEST_F(RegistryTest, NumbersAndTheir32BitRead) {
    Set("FileSystemAgent", "nBig", "4294967297");   // 2^32 + 1
    Set("FileSystemAgent", "nHex", "0x10");
    Set("FileSystemAgent", "nWord", "sixteen");
    Set("FileSystemAgent", "nMinus", "-1");
    JZPlatformInfo info;
    struct Case {
        char const* key;
        int found;
        unsigned expected;
    } const cases[] = {{"nBig", 1, 1u}, {"nHex", 1, 16u}, {"nWord", 0, 77u}, {"nMinus", 1, 0xFFFFFFFFu},
                       {"nMissing", 0, 77u}};
    for (auto const& c : cases) {
        unsigned value = 77;  // the caller's default
        EXPECT_EQ(info.getNumber("FileSystemAgent", c.key, &value) != 0, c.found != 0) << c.key;
        EXPECT_EQ(value, c.expected) << c.key;
    }
    unsigned long wide = 0;
    ASSERT_NE(info.getNumber("FileSystemAgent", "nBig", &wide), 0);
    EXPECT_EQ(wide, 4294967297ul);
    // A presence test without an out-value.
    EXPECT_NE(info.getNumber("FileSystemAgent", "nBig", static_cast<unsigned*>(nullptr)), 0);
    EXPECT_EQ(info.getNumber("FileSystemAgent", "nMissing", static_cast<unsigned*>(nullptr)), 0);
}

TEST_F(RegistryTest, BooleansAndBufferReads) {
    Set("Nuvantry", "bYes", "Yes");
    Set("Nuvantry", "bOff", "off");
    Set("Nuvantry", "bOdd", "maybe");
    JZPlatformInfo info;
    struct Case {
        char const* key;
        int found;
        bool value;
    } const cases[] = {{"bYes", 1, true}, {"bOff", 1, false}, {"bOdd", 0, true}, {"bNone", 0, true}};
    for (auto const& c : cases) {
        bool value = true;  // preset
        EXPECT_EQ(info.getBoolean("Nuvantry", c.key, &value) != 0, c.found != 0) << c.key;
        EXPECT_EQ(value, c.value) << c.key;
    }

    Set("Base", "sDrevoxGroup", "dbadmins");
    char buffer[9];
    unsigned long length = sizeof buffer;
    ASSERT_NE(info.getString("Base", "sDrevoxGroup", buffer, &length), 0);
    EXPECT_STREQ(buffer, "dbadmins");
    char small[8] = "xxxxxxx";
    length = sizeof small;
    EXPECT_EQ(info.getString("Base", "sDrevoxGroup", small, &length), 0);  // refused, never cut
    EXPECT_STREQ(small, "");
    EXPECT_EQ(length, 9u);
}

TEST_F(RegistryTest, UnusableNamesAndValuesAreRefused) {
    struct Case {
        char const* instance;
        char const* section;
        char const* key;
        char const* value;
    } const cases[] = {{"Instance001", "../escape", "k", "v"}, {"..", "Base", "k", "v"},
                       {"Instance001", "Base", "two words", "v"}, {"Instance001", "Base", "", "v"},
                       {"Instance001", "Base", "k", "line\nbreak"}, {"Instance001", "", "k", "v"}};
    for (auto const& c : cases) {
        EXPECT_TRUE(JZRegistry::setValue(c.instance, c.section, c.key, c.value).IsError())
            << c.instance << "/" << c.section << "/" << c.key;
    }
    EXPECT_FALSE(std::ifstream(JZRegistry::Root() + "/escape").good());
}

TEST_F(RegistryTest, MissingFilesReadAsAbsentKeys) {
    JZPlatformInfo info;
    std::string value = "preset";
    EXPECT_EQ(info.getString("NoSuchSection", "sKey", &value), 0);
    EXPECT_EQ(value, "preset");
    JZPlatformInfo other;
    EXPECT_EQ(other.setFocus("NoSuchInstance"), 0);
    EXPECT_EQ(other.getString("Base", "sKey", &value), 0);
}

TEST_F(RegistryTest, ConcurrentWritersFromTwoProcessesLoseNothing) {
    constexpr int kKeys = 40;
    auto writer = [](char const* prefix) {
        return [prefix]() {
            for (int i = 0; i < kKeys; ++i) {
                std::string key = std::string(prefix) + std::to_string(i);
                if (JZRegistry::setValue("Instance001", "Shared", key, std::to_string(i)).IsError()) return 1;
            }
            return 0;
        };
    };
    int a = nuvtest::StartChild(writer("a"));
    int b = nuvtest::StartChild(writer("b"));
    EXPECT_EQ(nuvtest::WaitChild(a), 0);
    EXPECT_EQ(nuvtest::WaitChild(b), 0);
    auto values = JZRegistry::listValues("Instance001", "Shared");
    EXPECT_EQ(values.size(), 2u * kKeys);
    // Nothing but the section file and its lock file is left behind.
    DIR* d = opendir((JZRegistry::Root() + "/Instance001").c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        ++entries;
        EXPECT_TRUE(name == "Shared" || name == ".Shared.lock") << name;
    }
    closedir(d);
    EXPECT_EQ(entries, 2);
}

TEST_F(RegistryTest, PlatformValuesComeFromTheStateRootAndTheBaseSection) {
    JZPI_CommClient comm;
    EXPECT_STREQ(comm.getJobResultsDirectory(JZPI_Focus::getFocusClientName(true)),
                 nuvsuite::StatePath("jobresults").c_str());
    EXPECT_STREQ(comm.getDrevoxTempDirectory(), nuvsuite::StatePath("temp").c_str());
    EXPECT_STREQ(comm.getBaseHomeDirectory(), nuvsuite::StatePath("basehome").c_str());
    EXPECT_FALSE(comm.invalidJZPlatform());
    EXPECT_STREQ(comm.getBaseVersion(), "11");

    JZPI_Base base;
    EXPECT_STREQ(base.getDrevoxTempDirectory(), nuvsuite::StatePath("temp").c_str());
    EXPECT_STREQ(JZPI_Focus::getFocus(), "Instance001");

    Set("Base", "sClientName", "c1");
    Set("Base", "sBaseVersion", "10");
    Set("Base", "nPlatformType", "2");
    Set("Session", "nAttachTimeOut", "120");
    EXPECT_STREQ(JZPI_Focus::getFocusClientName(true), "c1");
    EXPECT_EQ(EvDebug::getClientName(), "c1");
    EXPECT_STREQ(comm.getBaseVersion(), "10");
    EXPECT_EQ(base.getPlatformType(), 2u);
    JZPI_Session session(0, 1);
    EXPECT_EQ(session.setFocus(JZPI_Focus::getFocus()), 0);
    EXPECT_EQ(session.getAttachTimeOut(true), 120);

    JZPlatformInfo info;
    char name[256];
    ASSERT_NE(info.getKelvanerClientName(name, sizeof name), 0);
    EXPECT_STREQ(name, "c1");  // the local suite is its own central server
    char tiny[2];
    EXPECT_EQ(info.getKelvanerClientName(tiny, sizeof tiny), 0);
    EXPECT_STREQ(tiny, "");
}

TEST_F(RegistryTest, NoInstallationWithoutARegistryRoot) {
    setenv("JZREG", (m_root.base() + "/absent").c_str(), 1);
    JZPI_CommClient comm;
    EXPECT_TRUE(comm.invalidJZPlatform());
    EXPECT_NE(comm.getLastError(), 0u);
    EXPECT_FALSE(comm.getLastErrorMsg().empty());
}

}  // namespace
