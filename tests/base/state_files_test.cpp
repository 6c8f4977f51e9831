// Writing a state file whole, and the file operations' fault points.
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class StateFileTest : public nuvtest::SuiteTest {
protected:
    std::string Dir() { return m_root.base(); }
    static std::string Read(std::string const& path) { return nuvtest::ReadFile(path); }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        if (DIR* d = opendir(Dir().c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
};

TEST_F(StateFileTest, WriteWholeReplacesTheContentWithTheGivenMode) {
    std::string const path = Dir() + "/state";
    mode_t old = umask(077);
    for (auto const& c : {std::make_pair(std::string("first"), 0644), std::make_pair(std::string(), 0600),
                          std::make_pair(std::string(100000, 'x'), 0640)}) {
        ASSERT_FALSE(FXFile::WriteWhole(path, c.first, c.second).IsError());
        EXPECT_EQ(c.first, Read(path));
        struct stat st {};
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(static_cast<mode_t>(c.second), st.st_mode & 0777);
    }
    umask(old);
    EXPECT_EQ(std::vector<std::string>{"state"}, Names());
    EXPECT_TRUE(FXFile::WriteWhole(Dir() + "/missing/state", "x", 0644).IsError());
    EXPECT_TRUE(FXFile::WriteWhole("", "x", 0644).IsError());
}

// A write made to fail by name through the fault table: the old content stays
// and no temporary file is left, whichever step fails.
TEST_F(StateFileTest, AFaultedStepLeavesTheOldContentAndNoTemporaryFile) {
    std::string const path = Dir() + "/state";
    ASSERT_FALSE(FXFile::WriteWhole(path, "old", 0644).IsError());
    for (char const* call : {"open", "write", "fsync", "close", "rename"}) {
        SCOPED_TRACE(call);
        nuvsuite::AddFault("file", call, ENOSPC, "volume full", 1, path);
        CFzError e = FXFile::WriteWhole(path, "new", 0644);
        ASSERT_TRUE(e.IsError());
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOSPC)) << e.AsString();
        EXPECT_NE(std::string::npos, e.AsString().find("volume full")) << e.AsString();
        EXPECT_EQ("old", Read(path));
        EXPECT_EQ(std::vector<std::string>{"state"}, Names());
    }
    // A fault for another path leaves this one alone; the used-up faults are gone.
    nuvsuite::AddFault("file", "write", EIO, "elsewhere", -1, Dir() + "/other");
    ASSERT_FALSE(FXFile::WriteWhole(path, "new", 0644).IsError());
    EXPECT_EQ("new", Read(path));
}

// A staged file is invisible at its path until Commit; one not committed is
// removed, whether discarded or dropped.
TEST_F(StateFileTest, StagedFileAppearsOnlyOnCommit) {
    std::string const path = Dir() + "/staged";
    {
        FXStagedFile staged;
        ASSERT_FALSE(staged.Write(path, "first", 0600).IsError());
        EXPECT_FALSE(FXFile::DoesFileExist(path));
        EXPECT_EQ("first", Read(staged.TemporaryPath()));
    }
    EXPECT_EQ(std::vector<std::string>{}, Names());
    FXStagedFile staged;
    ASSERT_FALSE(staged.Write(path, "second", 0600).IsError());
    staged.Discard();
    EXPECT_EQ(std::vector<std::string>{}, Names());
    EXPECT_TRUE(staged.Commit().IsError());  // nothing staged
    ASSERT_FALSE(staged.Write(path, "third", 0600).IsError());
    ASSERT_FALSE(staged.Commit().IsError());
    EXPECT_EQ("third", Read(path));
    EXPECT_EQ(std::vector<std::string>{"staged"}, Names());
}

TEST_F(StateFileTest, PlainFileOperationsObeyTheFileFaults) {
    std::string const path = Dir() + "/plain";
    nuvsuite::AddFault("file", "mkdir", EACCES, "", 1, Dir() + "/made");
    EXPECT_TRUE(FXErrorUtil::IsErrNo(CFzDirectory::Create(Dir() + "/made/deeper", true), EACCES));
    EXPECT_FALSE(CFzDirectory::Create(Dir() + "/made/deeper", true).IsError());

    nuvsuite::AddFault("file", "open", 0, "", 1, path);  // code 0: EIO
    CFzFile file;
    CFzError e = file.Open(path, O_WRONLY | O_CREAT, 0644);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << e.AsString();
    EXPECT_FALSE(file.IsOpen());
    ASSERT_FALSE(file.Open(path, O_WRONLY | O_CREAT, 0644).IsError());
    nuvsuite::AddFault("file", "write", EFBIG, "too big", 1, path);
    uint32_t written = 7;
    EXPECT_TRUE(FXErrorUtil::IsErrNo(file.Write("abc", 3, &written), EFBIG));
    EXPECT_EQ(0u, written);
    EXPECT_FALSE(file.Write("abc", 3, &written).IsError());
    EXPECT_FALSE(file.Close().IsError());
    EXPECT_EQ("abc", Read(path));
}

// The cheap check sees a fault declared by another process, and its removal.
TEST_F(StateFileTest, FaultsDeclaredElsewhereAreSeen) {
    EXPECT_FALSE(nuvsuite::FaultsMayFire("file"));
    int pid = nuvtest::StartChild([] {
        nuvsuite::AddFault("file", "write", EIO, "from a child", -1);
        return 0;
    });
    ASSERT_EQ(0, nuvtest::WaitChild(pid));
    EXPECT_TRUE(nuvsuite::FaultsMayFire("file"));
    EXPECT_FALSE(nuvsuite::FaultsMayFire("other"));
    pid = nuvtest::StartChild([] {
        nuvsuite::ClearFaults();
        return 0;
    });
    ASSERT_EQ(0, nuvtest::WaitChild(pid));
    EXPECT_FALSE(nuvsuite::FaultsMayFire("file"));
}


// The base home filled from a package's base-home folder: links to the real
// files (through the folder's own links), replacing what was there.
class BaseHomeFillTest : public StateFileTest {
protected:
    void SetUp() override {
        StateFileTest::SetUp();
        m_package = Dir() + "/package";
        m_elsewhere = Dir() + "/elsewhere";
        m_home = nuvsuite::StatePath("basehome");
        ASSERT_FALSE(CFzDirectory::Create(m_package, true).IsError());
        ASSERT_FALSE(CFzDirectory::Create(m_elsewhere, true).IsError());
        ASSERT_FALSE(FXFile::WriteWhole(m_package + "/Helper", "helper", 0755).IsError());
        ASSERT_FALSE(FXFile::WriteWhole(m_elsewhere + "/libPlugin.so", "plugin", 0644).IsError());
        ASSERT_EQ(0, symlink((m_elsewhere + "/libPlugin.so").c_str(), (m_package + "/libPlugin.so").c_str()));
        ASSERT_FALSE(FXFile::WriteWhole(m_home + "/Helper", "stale", 0755).IsError());
    }
    std::string LinkOf(std::string const& name) {
        char target[4096];
        ssize_t n = readlink((m_home + "/" + name).c_str(), target, sizeof target - 1);
        return n < 0 ? std::string("(not a link)") : std::string(target, static_cast<size_t>(n));
    }
    std::vector<std::string> HomeNames() {
        std::vector<std::string> names;
        if (DIR* d = opendir(m_home.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string m_package, m_elsewhere, m_home;
};

TEST_F(BaseHomeFillTest, LinksEveryEntryToItsRealFileReplacingWhatWasThere) {
    for (int round = 0; round < 2; ++round) {  // a second fill changes nothing
        std::vector<std::string> linked;
        CFzError e = FillBaseHome(m_package, &linked);
        ASSERT_FALSE(e.IsError()) << e.AsString();
        std::sort(linked.begin(), linked.end());
        EXPECT_EQ((std::vector<std::string>{"Helper", "libPlugin.so"}), linked);
        EXPECT_EQ(m_package + "/Helper", LinkOf("Helper"));
        EXPECT_EQ(m_elsewhere + "/libPlugin.so", LinkOf("libPlugin.so"));
        EXPECT_EQ("helper", Read(m_home + "/Helper"));
        EXPECT_EQ((std::vector<std::string>{"Helper", "libPlugin.so"}), HomeNames());
    }
}

TEST_F(BaseHomeFillTest, AFailedLinkLeavesTheOldEntryAndNoTemporaryLink) {
    for (char const* call : {"symlink", "rename"}) {
        SCOPED_TRACE(call);
        nuvsuite::AddFault("file", call, EACCES, "home locked", 1, m_home + "/Helper");
        CFzError e = FillBaseHome(m_package, nullptr);
        ASSERT_TRUE(e.IsError());
        EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EACCES)) << e.AsString();
        EXPECT_NE(std::string::npos, e.AsString().find("home locked")) << e.AsString();
        EXPECT_EQ("stale", Read(m_home + "/Helper"));
        EXPECT_EQ("(not a link)", LinkOf("Helper"));
        for (auto const& name : HomeNames()) EXPECT_EQ(std::string::npos, name.find(".link.")) << name;
    }
    // A missing package folder, or one whose link leads nowhere, is an error.
    EXPECT_TRUE(FillBaseHome(Dir() + "/no-package", nullptr).IsError());
    ASSERT_EQ(0, symlink((m_elsewhere + "/gone.so").c_str(), (m_package + "/libGone.so").c_str()));
    EXPECT_TRUE(FillBaseHome(m_package, nullptr).IsError());
}

}  // namespace
