// What a copy keeps beside the data: special files, owner, mode, times,
// extended attributes and ACLs, judged against what `cp -a` makes of the same entry.
#include "nuvdbsnap/platform/base/entry_attributes.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using nuvtest::MakeDir;
using nuvtest::WriteFile;

std::string Output(std::string const& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

// Every extended attribute of an entry (links not followed), name -> value.
std::map<std::string, std::string> Attributes(std::string const& path) {
    std::map<std::string, std::string> out;
    char names[8192];
    ssize_t n = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t pos = 0; n > 0 && pos < n;) {
        std::string name(names + pos);
        pos += static_cast<ssize_t>(name.size()) + 1;
        char value[8192];
        ssize_t v = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
        out[name] = v < 0 ? "<unreadable>" : std::string(value, static_cast<size_t>(v));
    }
    return out;
}

// What a comparison of two entries looks at: kind, mode, owner, device, times, attributes.
std::string Described(std::string const& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    std::string text = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                       std::to_string(st.st_gid) + " rdev " + std::to_string(st.st_rdev) + " mtime " +
                       std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    for (auto const& a : Attributes(path)) text += " " + a.first + "=" + std::to_string(a.second.size());
    return text;
}

class EntryAttributesTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override {
        nuvtest::SuiteTest::SetUp();
        std::string const probe = m_root.base() + "/probe";
        WriteFile(probe, "x");
        if (::setxattr(probe.c_str(), "user.probe", "1", 1, 0) != 0)
            GTEST_SKIP() << "the test directory's file system holds no user extended attributes";
        if (Output("command -v setfacl").empty()) GTEST_SKIP() << "setfacl is not installed (package acl)";
        src = MakeDir(m_root.base() + "/src");
        dst = MakeDir(m_root.base() + "/dst");
        ref = m_root.base() + "/ref";
    }

    // `cp -a` of the source entry `name` to the reference directory.
    void Reference() {
        ASSERT_EQ(0, std::system(("cp -a '" + src + "' '" + ref + "'").c_str()));
    }

    std::string src, dst, ref;
};

// Each kind of entry, made in the source, copied with the primitive and by `cp -a`.
struct KindCase {
    char const* name;
    void (*make)(std::string const& path);
};

void PrintTo(KindCase const& c, std::ostream* os) { *os << c.name; }

void MakeFifo(std::string const& p) { ASSERT_EQ(0, ::mkfifo(p.c_str(), 0640)); }
void MakeSocket(std::string const& p) {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    // Bound by its name in its own directory: the whole path may be longer than a socket address holds.
    size_t const slash = p.rfind('/');
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.substr(slash + 1).c_str());
    int const back = ::open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(0, ::chdir(p.substr(0, slash).c_str()));
    int const rc = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ASSERT_EQ(0, ::fchdir(back));
    ::close(back);
    ::close(s);
    ASSERT_EQ(0, rc);
}
void MakeCharDevice(std::string const& p) {
    if (::mknod(p.c_str(), S_IFCHR | 0620, makedev(1, 3)) != 0) GTEST_SKIP() << "mknod needs root";
}
void MakeBlockDevice(std::string const& p) {
    if (::mknod(p.c_str(), S_IFBLK | 0600, makedev(7, 200)) != 0) GTEST_SKIP() << "mknod needs root";
}

class KindTest : public EntryAttributesTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(KindTest, ASpecialFileComesOutAsCpMakesIt) {
    std::string const path = src + "/entry";
    GetParam().make(path);
    if (IsSkipped()) return;
    ASSERT_EQ(0, ::chown(path.c_str(), 65534, 65534));
    ASSERT_EQ(0, ::system(("setfacl -m u:daemon:r '" + path + "'").c_str()));
    ASSERT_EQ(0, ::system(("touch -h -d '2020-02-02 02:02:02.123456789' '" + path + "'").c_str()));
    struct stat st;
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    Reference();

    int const sdir = ::open(src.c_str(), O_RDONLY | O_DIRECTORY);
    int const ddir = ::open(dst.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_FALSE(nuvbase::MakeSpecialAt(ddir, "entry", st, dst + "/entry").IsError());
    ASSERT_FALSE(nuvbase::KeepMetadataAt(sdir, "entry", ddir, "entry", st, dst + "/entry").IsError());
    ::close(sdir);
    ::close(ddir);
    EXPECT_EQ(Described(ref + "/entry"), Described(dst + "/entry"));
    EXPECT_NE(std::string::npos, Output("getfacl -p '" + dst + "/entry'").find("user:daemon:r--"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindTest,
                         ::testing::Values(KindCase{"fifo", MakeFifo}, KindCase{"socket", MakeSocket},
                                           KindCase{"char", MakeCharDevice}, KindCase{"block", MakeBlockDevice}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(EntryAttributesTest, ARegularFileAndADirectoryKeepAttributesAclsAndDefaultAcls) {
    std::string const plain = src + "/plain";  // made before the directory's default ACL: it has none
    WriteFile(plain, "p");
    ASSERT_EQ(0, ::chmod(plain.c_str(), 0640));
    std::string const file = src + "/f";
    WriteFile(file, "data");
    ASSERT_EQ(0, ::setxattr(file.c_str(), "user.checksum", "abc", 3, 0));
    ASSERT_EQ(0, ::system(("setfacl -m u:daemon:rw,g:adm:r '" + file + "'").c_str()));
    ASSERT_EQ(0, ::chmod(src.c_str(), 0700));
    ASSERT_EQ(0, ::system(("setfacl -d -m u:daemon:rwx '" + src + "'").c_str()));
    ASSERT_EQ(0, ::setxattr(src.c_str(), "user.kind", "dir", 3, 0));
    Reference();

    // The destination directory's own default ACL gives new files one the source does not have.
    ASSERT_EQ(0, ::system(("setfacl -d -m u:bin:rwx '" + dst + "'").c_str()));
    struct stat st;
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    int in = ::open(file.c_str(), O_RDONLY);
    int out = ::open((dst + "/f").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(4, ::write(out, "data", 4));
    ASSERT_FALSE(nuvbase::KeepMetadata(in, out, st, dst + "/f").IsError());
    ::close(in);
    ::close(out);
    EXPECT_EQ(Described(ref + "/f"), Described(dst + "/f"));

    // A plain file made under the inheriting directory loses the inherited ACL.
    ASSERT_EQ(0, ::stat(plain.c_str(), &st));
    ASSERT_EQ(0, ::system(("rm -rf '" + ref + "'").c_str()));
    Reference();
    in = ::open(plain.c_str(), O_RDONLY);
    out = ::open((dst + "/plain").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_FALSE(nuvbase::KeepMetadata(in, out, st, dst + "/plain").IsError());
    ::close(in);
    ::close(out);
    EXPECT_EQ(Described(ref + "/plain"), Described(dst + "/plain"));
    EXPECT_EQ(0u, Attributes(dst + "/plain").count("system.posix_acl_access"));

    // The directory itself.
    ASSERT_EQ(0, ::stat(src.c_str(), &st));
    int const sdir = ::open(src.c_str(), O_RDONLY | O_DIRECTORY);
    int const ddir = ::open(dst.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_FALSE(nuvbase::KeepMetadata(sdir, ddir, st, dst).IsError());
    ::close(sdir);
    ::close(ddir);
    EXPECT_EQ(Described(ref), Described(dst));
}

TEST_F(EntryAttributesTest, ASymbolicLinkKeepsOwnerAndTimes) {
    std::string const link = src + "/l";
    ASSERT_EQ(0, ::symlink("/abs/target", link.c_str()));
    ASSERT_EQ(0, ::lchown(link.c_str(), 65534, 65534));
    ASSERT_EQ(0, ::system(("touch -h -d '2019-01-01 01:01:01' '" + link + "'").c_str()));
    struct stat st;
    ASSERT_EQ(0, ::lstat(link.c_str(), &st));
    Reference();
    ASSERT_EQ(0, ::symlink("/abs/target", (dst + "/l").c_str()));
    int const sdir = ::open(src.c_str(), O_RDONLY | O_DIRECTORY);
    int const ddir = ::open(dst.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_FALSE(nuvbase::KeepMetadataAt(sdir, "l", ddir, "l", st, dst + "/l").IsError());
    ::close(sdir);
    ::close(ddir);
    EXPECT_EQ(Described(ref + "/l"), Described(dst + "/l"));
}

TEST_F(EntryAttributesTest, AnAclTheDestinationCannotHoldIsAnError) {
    // A file system that holds no ACLs: a small tmpfs mounted without them is
    // not to be had everywhere; a FIFO on /proc is. Use a source with an ACL
    // and a destination descriptor of a file on a file system without xattrs.
    std::string const file = src + "/f";
    WriteFile(file, "data");
    ASSERT_EQ(0, ::system(("setfacl -m u:daemon:rw '" + file + "'").c_str()));
    int const in = ::open(file.c_str(), O_RDONLY);
    int const out = ::open("/proc/self/comm", O_RDONLY);  // procfs: no extended attributes
    ASSERT_GE(out, 0);
    CFzError e = nuvbase::CopyExtendedAttributes(in, out, "/proc/self/comm");
    ::close(in);
    ::close(out);
    EXPECT_TRUE(e.IsError());
}

}  // namespace
