// Oracle file paths: snapshot translation, the four answers of getDBFilePath
// and the image-copy maps.
#include "nuvdbsnap/catalogue/ora_db_info.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class OraPathsTest : public nuvtest::SuiteTest {
protected:
    void TearDown() override {
        NuvSymLink::m_mountSrcTransMap.clear();
        OraDBInfo::m_pImageCopyContent.reset();
    }
    static boost::shared_ptr<Nuv::OraDatabaseContent> Content(
        std::vector<std::pair<std::string, std::string>> const& files, int pdbs = 0) {
        auto content = boost::shared_ptr<Nuv::OraDatabaseContent>(new Nuv::OraDatabaseContent);
        Nuv::OraTableSpace space;
        auto* list = space.getlistobject<Nuv::OraDataFile>(8, 8, true);
        for (auto const& f : files) {
            Nuv::OraDataFile file;
            file.setstring(1, 1, f.first);
            file.setstring(9, 9, f.second);
            list->push_back(file);
        }
        content->getlistobject<Nuv::OraTableSpace>(6, 6, true)->push_back(space);
        for (int i = 0; i < pdbs; ++i) content->getlistobject<Nuv::OraPDB>(7, 7, true)->push_back(Nuv::OraPDB());
        return content;
    }
};

// Mount prefixes match at component boundaries and join with one '/'.
TEST_F(OraPathsTest, TranslatesUnderTheSourceMountOnly) {
    struct Case {
        char const* cataloguePath;
        char const* source;
        char const* snap;
        char const* expected;
    };
    Case const cases[] = {
        {"/ORCL/USERS/~u01~oradata~users01.dbf", "/u01/", "/mnt/snap1/", "/mnt/snap1/oradata/users01.dbf"},
        {"/ORCL/USERS/~u01~a.dbf|17", "/u01", "/mnt/s", "/mnt/s/a.dbf"},
        {"/ORCL/USERS/~u01~a.dbf", "/", "/mnt/s", "/mnt/s/u01/a.dbf"},
        {"/ORCL/USERS/~u01~a.dbf", "/u01", "/", "/a.dbf"},
        {"/ORCL/USERS/~u01~a.dbf", "/u01", "", "/u01/a.dbf"},     // no snapshot mount: the file path
        {"/ORCL/USERS/~u011~a.dbf", "/u01", "/mnt/s", ""},          // near miss
        {"/ORCL/USERS/~u02~a.dbf", "/u01", "/mnt/s", ""},
        {"/ORCL/USERS/~u01", "/u01/", "/mnt/s", "/mnt/s"},          // the mount itself
        {"~u01~a.dbf", "/u01//", "/mnt/s//", "/mnt/s/a.dbf"},
        // A relative path (a file inside a disk group) lies under no mount, "/" included.
        {"/ORCL/CONTROL_FILE/ORCL~control01.ctl", "/", "/mnt/s", ""},
        {"/ORCL/USERS/+DATA/ORCL~users01.dbf", "/", "/mnt/s", ""},
        {"/ORCL/CONTROL_FILE/ORCL~control01.ctl", "/", "", "ORCL/control01.ctl"},  // no snapshot mount
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.expected, OraElement::translatePath(c.cataloguePath, c.source, c.snap))
            << c.cataloguePath << " " << c.source << " -> " << c.snap;
}

TEST_F(OraPathsTest, ResolvesLinksThroughTheTranslationsWhenThereAreAny) {
    char* base = realpath(m_root.base().c_str(), nullptr);
    std::string const real = std::string(base) + "/real";
    free(base);
    ASSERT_EQ(0, mkdir(real.c_str(), 0755));
    NuvSymLink::m_mountSrcTransMap["/u09"] = real;
    EXPECT_EQ("/mnt/s/a.dbf",
              OraElement::translatePath("/db/USERS/~u09~a.dbf", real, "/mnt/s"));
    // A relative path cannot be resolved: untranslated.
    EXPECT_EQ("", OraElement::translatePath("/db/USERS/rel~a.dbf", real, "/mnt/s"));
}

TEST_F(OraPathsTest, ChoosesAmongGroupVolumePhysicalAndImageCopy) {
    OraDBInfo info;
    OraElement asm_ = info.createOraElement("/db/USERS/+DATA/db~a.dbf", 1, 0, 1);
    OraElement plain = info.createOraElement("/db/USERS/~u01~b.dbf", 1, 0, 1);
    EXPECT_EQ("+DATA/db/a.dbf", info.getDBFilePath(asm_, true, false));  // no snapshot name yet
    info.m_dataDGs[0].m_snapDGName = "DATA_S1_0";
    EXPECT_EQ("+DATA_S1_0/db/a.dbf", info.getDBFilePath(asm_, true, false));
    EXPECT_EQ("+DATA/db/a.dbf", info.getDBFilePath(asm_, false, false));

    SMVolumeInfo volume;
    volume.setSourcePath("/u01");
    volume.setMountPath("/mnt/v1");
    info.m_volumes.push_back(volume);
    OraElement onVolume = plain;
    onVolume.m_fsInd = 0;
    EXPECT_EQ("/mnt/v1/b.dbf", info.getDBFilePath(onVolume, true, false));
    EXPECT_EQ("/u01/b.dbf", info.getDBFilePath(plain, true, false));  // no volume: through the image-copy map
    // An index that names no volume of the job gives no path: never the live file.
    for (int index : {3, 1, -2}) {
        onVolume.m_fsInd = index;
        EXPECT_EQ("", info.getDBFilePath(onVolume, true, false)) << index;
    }
    EXPECT_NE(nuvtest::ReadFile(m_root.path() + "/logs/nuvdbsnap.log").find("File system index 3 of [/u01/b.dbf] names no snapshot volume"),
              std::string::npos);

    // A replica: the mount gets the relative path less the source path.
    SMVolumeInfo replica;
    replica.setSourcePath("/u01/");
    replica.setOriginalSourcePath("/u01");
    replica.setMountPath("/mnt/r");
    replica.setRepBasePath("/rep");
    replica.setRepRelativePath("/u01/sub");
    info.m_volumes.push_back(replica);
    onVolume.m_fsInd = 1;
    EXPECT_EQ("/mnt/r/sub/b.dbf", info.getDBFilePath(onVolume, true, false));
    // A relative path that does not begin with the source path: untranslated.
    for (char const* relative : {"/u", "/u011/sub", "/u02/sub", "/other/u01/sub"}) {
        info.m_volumes[1].setRepRelativePath(relative);
        EXPECT_EQ("", info.getDBFilePath(onVolume, true, false)) << relative;
    }
    info.m_volumes[1].setRepRelativePath("/u01");
    EXPECT_EQ("/mnt/r/b.dbf", info.getDBFilePath(onVolume, true, false));

    // Physical: links resolved.
    char* base = realpath(m_root.base().c_str(), nullptr);
    std::string const dir = std::string(base) + "/data";
    free(base);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, symlink(dir.c_str(), (m_root.base() + "/link").c_str()));
    OraElement linked;
    linked.m_path = m_root.base() + "/link/f.dbf";
    EXPECT_EQ(dir + "/f.dbf", info.getDBFilePath(linked, false, true));
    linked.m_path = "relative/f.dbf";
    EXPECT_EQ("", info.getDBFilePath(linked, false, true));
}

TEST_F(OraPathsTest, GetDBFilePathLeavesTheCallersElementAlone) {
    OraDBInfo info;
    OraElement element = info.createOraElement("/db/USERS/~u01~b.dbf", 1, 0, 1);
    element.m_path = "/u01//b~x.dbf";
    element.m_fsInd = 0;
    SMVolumeInfo volume;
    volume.setSourcePath("/u01");
    volume.setMountPath("/mnt/v1");
    info.m_volumes.push_back(volume);
    OraElement const before = element;
    info.getDBFilePath(element, true, false);
    EXPECT_EQ(before.m_path, element.m_path);
}

TEST_F(OraPathsTest, ImageCopyMapsFollowTheContent) {
    std::string image = "/ic/a.img";
    std::string file = "/u01/a.dbf";
    EXPECT_EQ(image, OraDBInfo::convertImageCopyPathToDBFilePath(image));  // no content yet
    OraDBInfo::m_pImageCopyContent = Content({{"/u01/a.dbf", "/ic/a.img"}, {"/u01/b.dbf", "/ic/a.img"}});
    EXPECT_EQ("/u01/b.dbf", OraDBInfo::convertImageCopyPathToDBFilePath(image));  // the later one wins
    EXPECT_EQ("/ic/a.img", OraDBInfo::convertDBFilePathToImageCopyPath(file));
    std::string unknown = "/nowhere";
    EXPECT_EQ(unknown, OraDBInfo::convertImageCopyPathToDBFilePath(unknown));

    // Replaced content: the maps are rebuilt.
    OraDBInfo::m_pImageCopyContent = Content({{"/u02/c.dbf", "/ic/a.img"}}, 2);
    EXPECT_EQ("/u02/c.dbf", OraDBInfo::convertImageCopyPathToDBFilePath(image));
    EXPECT_EQ(file, OraDBInfo::convertDBFilePathToImageCopyPath(file));

    OraDBInfo info;
    OraElement element;
    element.m_path = image;
    EXPECT_EQ("/u02/c.dbf", info.getDBFilePath(element, false, false));
}

}  // namespace
