// Writing a state file whole, and the file operations' fault points.
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
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

}  // namespace
