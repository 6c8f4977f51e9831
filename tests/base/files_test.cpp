// Files, directory walks and the path wrappers.
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <unistd.h>

namespace {

class FilesTest : public nuvtest::SuiteTest {
protected:
    std::string Dir() { return m_root.base(); }
    void Touch(std::string const& path, std::string const& content = "") { nuvtest::WriteFile(path, content); }
};

TEST_F(FilesTest, WrittenContentReadsBackWhole) {
    std::string binary("a\0b\nc", 5);
    std::string big(200000, 'z');
    for (std::string const& content : {std::string(), binary, big}) {
        std::string path = Dir() + "/info";
        CFzFile file;
        ASSERT_FALSE(file.Open(path, 0x241, 0777).IsError());  // write only, create, truncate
        uint32_t written = 0;
        ASSERT_FALSE(file.Write(content.data(), static_cast<uint32_t>(content.size()), &written).IsError());
        EXPECT_EQ(written, content.size());
        ASSERT_FALSE(file.Close().IsError());

        char* buffer = nullptr;
        unsigned long size = 99;
        ASSERT_FALSE(CFzFile::ReadWholeFile(path, &buffer, size).IsError());
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(size, content.size());
        EXPECT_EQ(std::string(buffer, size), content);
        EXPECT_EQ(buffer[size], '\0');
        delete[] buffer;
    }
}

TEST_F(FilesTest, FailuresCarryErrnoAndPath) {
    std::string missing = Dir() + "/no/such/file";
    CFzFile file;
    CFzError e = file.Open(missing, O_RDONLY);
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
    EXPECT_NE(e.AsString().find(missing), std::string::npos);

    char* buffer = reinterpret_cast<char*>(1);
    unsigned long size = 5;
    e = CFzFile::ReadWholeFile(missing, &buffer, size);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);

    CFzDirectory dir;
    e = dir.Open(missing, "*", true);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOENT));
    EXPECT_NE(e.AsString().find(missing), std::string::npos);

    Touch(Dir() + "/plain");
    e = CFzDirectory::Create(Dir() + "/plain", true);
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, ENOTDIR));
}

TEST_F(FilesTest, DirectoryWalkMatchesThePattern) {
    std::string walk = Dir() + "/walk";
    ASSERT_FALSE(CFzDirectory::Create(walk, false).IsError());
    Touch(walk + "/sda.bmp");
    Touch(walk + "/sdb.bmp");
    Touch(walk + "/notes.txt");
    Touch(walk + "/.hidden.bmp");
    ASSERT_FALSE(CFzDirectory::Create(walk + "/sub", false).IsError());
    struct Case {
        char const* pattern;
        std::set<std::string> names;
    } const cases[] = {{"*.bmp", {"sda.bmp", "sdb.bmp"}},
                       {"", {"sda.bmp", "sdb.bmp", "notes.txt", ".hidden.bmp", "sub"}},
                       {"*.none", {}}};
    for (auto const& c : cases) {
        CFzDirectory dir;
        ASSERT_FALSE(dir.Open(walk, c.pattern, true).IsError());
        std::set<std::string> names;
        bool done = false;
        while (true) {
            SFzDirEntry entry;
            ASSERT_FALSE(dir.GetEntry(&entry, done).IsError());
            if (done) break;
            names.insert(entry.name.str());
        }
        EXPECT_EQ(names, c.names) << c.pattern;
        EXPECT_FALSE(dir.Close().IsError());
    }
}

TEST_F(FilesTest, CreateMakesMissingParentsAndAcceptsAnExistingDirectory) {
    std::string deep = Dir() + "/a/b/c/";
    ASSERT_FALSE(CFzDirectory::Create(deep, true).IsError());
    bool isDir = false;
    ASSERT_FALSE(CFzPath::IsDirectory(deep.c_str(), isDir).IsError());
    EXPECT_TRUE(isDir);
    EXPECT_FALSE(CFzDirectory::Create(deep, true).IsError());
    EXPECT_TRUE(CFzDirectory::Create(Dir() + "/x/y", false).IsError());  // parent missing, not recursive
}

TEST_F(FilesTest, ExistenceAndThePathWrappers) {
    std::string file = Dir() + "/f";
    Touch(file);
    EXPECT_TRUE(FXFile::DoesFileExist(file));
    EXPECT_FALSE(FXFile::DoesFileExist(Dir()));
    EXPECT_FALSE(FXFile::DoesFileExist(Dir() + "/missing"));

    DIR* d = opendir_utf(Dir().c_str());
    ASSERT_NE(d, nullptr);
    std::set<std::string> names;
    struct dirent entry;
    struct dirent* result = nullptr;
    while (readdir_r_utf(d, &entry, &result) == 0 && result != nullptr) names.insert(result->d_name);
    EXPECT_EQ(closedir_utf(d), 0);
    EXPECT_TRUE(names.count("f"));
    struct stat st;
    EXPECT_EQ(lstat_utf(file.c_str(), &st), 0);
    EXPECT_EQ(unlink_utf(file.c_str()), 0);
    EXPECT_NE(unlink_utf(file.c_str()), 0);
}

TEST_F(FilesTest, SubclientDirectoryLiesUnderTheJobResultsRoot) {
    char dir[1024];
    ASSERT_EQ(GetSubclientDir(2, 61, dir), 0);
    EXPECT_EQ(std::string(dir), nuvsuite::StatePath("jobresults") + "/Subclients/2/61");
    bool isDir = true;
    EXPECT_TRUE(CFzPath::IsDirectory(dir, isDir).IsError());  // named, not made
    EXPECT_EQ(CreateSubclientDir(dir), 0);
    EXPECT_EQ(CreateSubclientDir(dir), 0);  // an existing directory is no error
    ASSERT_FALSE(CFzPath::IsDirectory(dir, isDir).IsError());
    EXPECT_TRUE(isDir);
    EXPECT_NE(GetSubclientDir(2, 61, nullptr), 0);
    EXPECT_NE(CreateSubclientDir(""), 0);

    auto got = nuvsuite::ReadJournal("subclient", "GetSubclientDir");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().args, "brannox=2 app=61");
    auto made = nuvsuite::ReadJournal("subclient", "CreateSubclientDir");
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made.front().args, std::string(dir));
}

// A faulted call fails with the fault's code and makes or names nothing; a
// directory that cannot be made gives errno.
TEST_F(FilesTest, SubclientDirectoryCallsFailOnDemand) {
    char dir[1024];
    std::strcpy(dir, "untouched");
    nuvsuite::AddFault("subclient", "GetSubclientDir", 2, "no such subclient", 1, "app=135");
    EXPECT_EQ(GetSubclientDir(2, 135, dir), 2);
    EXPECT_STREQ(dir, "");
    EXPECT_EQ(GetSubclientDir(2, 22, dir), 0);  // another application is not faulted
    ASSERT_EQ(GetSubclientDir(2, 135, dir), 0);  // the fault had one use

    nuvsuite::AddFault("subclient", "CreateSubclientDir", 13, "", 1);
    EXPECT_EQ(CreateSubclientDir(dir), 13);
    bool isDir = false;
    EXPECT_TRUE(CFzPath::IsDirectory(dir, isDir).IsError());

    Touch(Dir() + "/plain");
    EXPECT_EQ(CreateSubclientDir((Dir() + "/plain/sub").c_str()), ENOTDIR);
}

}  // namespace
