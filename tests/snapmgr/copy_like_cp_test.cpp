// The copy method's snapshot of a tree that looks like a database's is judged
// against `cp -a` of the same tree, entry by entry: kind (FIFOs, sockets,
// device nodes), owner, mode, times of files, directories and links, extended
// attributes and ACLs, content, holes, hard links, and paths longer than a
// path name may be.
#include "snap_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>

namespace {

using snaptest::SnapEnv;
using snaptest::WriteFile;

uid_t const kDbUser = 70;
gid_t const kDbGroup = 70;

int Shell(std::string const& command) { return std::system(command.c_str()); }

// Every extended attribute of `name` in `dir` (not followed), "name=value;".
std::string AttributesAt(int dir, std::string const& name) {
    std::string const path = "/proc/self/fd/" + std::to_string(dir) + "/" + name;
    char names[16384];
    ssize_t n = ::llistxattr(path.c_str(), names, sizeof names);
    std::map<std::string, std::string> all;
    for (ssize_t pos = 0; n > 0 && pos < n;) {
        std::string const one(names + pos);
        pos += static_cast<ssize_t>(one.size()) + 1;
        char value[16384];
        ssize_t v = ::lgetxattr(path.c_str(), one.c_str(), value, sizeof value);
        all[one] = v < 0 ? "<unreadable>" : std::string(value, static_cast<size_t>(v));
    }
    std::string text;
    for (auto const& a : all) text += a.first + "=" + a.second + ";";
    return text;
}

std::string ContentAt(int dir, std::string const& name) {
    int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "<unreadable>";
    std::string data;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) data.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return data;
}

// Each entry below `dir` by its path relative to the tree, described by all a
// copy must keep; the names of a file with several are gathered in *seen.
void Describe(int dir, std::string const& rel, std::map<std::pair<dev_t, ino_t>, std::vector<std::string>>* seen,
              std::map<std::string, std::string>* out) {
    int const list = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = ::fdopendir(list);
    ASSERT_NE(nullptr, d);
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(d);
    for (auto const& name : names) {
        std::string const path = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        ASSERT_EQ(0, ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW)) << path;
        std::string text = "mode " + std::to_string(st.st_mode) + " owner " + std::to_string(st.st_uid) + ":" +
                           std::to_string(st.st_gid) + " mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
                           std::to_string(st.st_mtim.tv_nsec) + " xattrs " + AttributesAt(dir, name);
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
            (*seen)[std::make_pair(st.st_dev, st.st_ino)].push_back(path);
            text += " nlink " + std::to_string(st.st_nlink);
        }
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) text += " rdev " + std::to_string(st.st_rdev);
        if (S_ISREG(st.st_mode)) {
            std::string const data = ContentAt(dir, name);
            text += " size " + std::to_string(st.st_size) + " content " + std::to_string(std::hash<std::string>()(data));
            text += st.st_blocks * 512 < st.st_size ? " sparse" : " dense";
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = ::readlinkat(dir, name.c_str(), target, sizeof target);
            text += " -> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        }
        (*out)[path] = text;
        if (S_ISDIR(st.st_mode)) {
            int const sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ASSERT_GE(sub, 0) << path;
            Describe(sub, path, seen, out);
            ::close(sub);
        }
    }
}

std::map<std::string, std::string> Tree(std::string const& root) {
    std::map<std::string, std::string> out;
    std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> seen;
    int const fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << root;
    if (fd < 0) return out;
    Describe(fd, "", &seen, &out);
    ::close(fd);
    // Names of one file name each other.
    for (auto& group : seen) {
        std::sort(group.second.begin(), group.second.end());
        std::string names;
        for (auto const& name : group.second) names += " " + name;
        for (auto const& name : group.second) out[name] += " names" + names;
    }
    return out;
}

// A directory chain below `root` whose path runs past PATH_MAX, made by
// descending (a path name that long cannot be used whole); its deepest
// directory holds a file.
void MakeLongPath(std::string const& root) {
    int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    std::string const part(200, 'd');
    for (int depth = 0; depth * 201 < PATH_MAX + 400; ++depth) {
        ASSERT_EQ(0, ::mkdirat(dir, part.c_str(), 0750));
        int const next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(dir);
        ASSERT_GE(next, 0);
        dir = next;
    }
    int const fd = ::openat(dir, "deep.dat", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, ::write(fd, "deep", 4));
    ::close(fd);
    ::close(dir);
}

void MakeSocket(std::string const& dir, char const* name) {
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s", dir.c_str(), name);
    ASSERT_LT(dir.size() + std::strlen(name) + 2, sizeof addr.sun_path);
    ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr)) << std::strerror(errno);
    ::close(s);
}

TEST(CopyLikeCp, TheSnapshotOfADatabaseTreeIsWhatCpAMakesOfIt) {
    if (!snaptest::IsRoot()) GTEST_SKIP() << "owners and device nodes need root";
    if (Shell("command -v setfacl >/dev/null") != 0) GTEST_SKIP() << "setfacl is not installed (package acl)";
    SnapEnv env;
    std::string const src = env.dir() + "/db";
    std::string const data = src + "/data";
    WriteFile(data + "/base/16384/1259", std::string(70000, 'r'));
    WriteFile(data + "/postgresql.conf", "shared_buffers = 128MB\n");
    WriteFile(data + "/global/pg_control", "control");
    if (::setxattr((data + "/postgresql.conf").c_str(), "user.origin", "initdb", 6, 0) != 0)
        GTEST_SKIP() << "the test directory's file system holds no user extended attributes";

    // A sparse segment: data, a hole, data.
    int fd = ::open((data + "/base/16384/sparse").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, ::pwrite(fd, "first", 5, 0));
    ASSERT_EQ(4, ::pwrite(fd, "last", 4, 8 << 20));
    ::close(fd);
    ASSERT_EQ(0, ::link((data + "/global/pg_control").c_str(), (data + "/global/pg_control.hard").c_str()));

    struct Entry {
        char const* what;
        std::string command;
    } const entries[] = {
        {"fifo", "mkfifo -m 0600 '" + data + "/wal_fifo'"},
        {"fifo's second name", "ln '" + data + "/wal_fifo' '" + data + "/wal_fifo.link'"},
        {"char device", "mknod -m 0620 '" + data + "/null' c 1 3"},
        {"block device", "mknod -m 0600 '" + data + "/disk' b 7 200"},
        {"absolute link", "ln -s '/var/lib/db/data/postgresql.conf' '" + data + "/conf.link'"},
        {"relative link", "ln -s 'base/16384' '" + data + "/rel.link'"},
        {"file acl", "setfacl -m u:daemon:r,g:adm:r '" + data + "/base/16384/1259'"},
        {"default acl", "setfacl -d -m u:daemon:rx '" + data + "/base'"},
        {"file in inheriting dir", "sh -c 'echo x > \"" + data + "/base/inherited\"'"},
        {"dir xattr", "setfattr -n user.kind -v tablespace '" + data + "/base/16384'"},
        {"owners", "chown -hR 70:70 '" + src + "'"},
        {"link owner", "chown -h 0:70 '" + data + "/rel.link'"},
        {"private dirs", "chmod 0700 '" + data + "' '" + data + "/global'"},
        {"file modes", "chmod 0600 '" + data + "/postgresql.conf' '" + data + "/global/pg_control'"},
        {"times", "find '" + src + "' -exec touch -h -d '2021-03-04 05:06:07.123456789' {} +"},
        {"link time", "touch -h -d '2019-09-09 09:09:09.5' '" + data + "/conf.link'"},
    };
    for (auto const& e : entries) ASSERT_EQ(0, Shell(e.command)) << e.what;
    MakeSocket(data, "s.5432");
    ASSERT_EQ(0, ::lchown((data + "/s.5432").c_str(), kDbUser, kDbGroup));
    std::string const stamp = "touch -h -d '2022-01-01 00:00:00' '" + data + "/s.5432' '" + data + "' '" + src + "'";
    ASSERT_EQ(0, Shell(stamp));

    std::string const ref = env.dir() + "/ref";
    ASSERT_EQ(0, Shell("cp -a '" + src + "' '" + ref + "'"));
    // `cp -a` cannot copy a path longer than a path name may be: that part of
    // the tree is made after the reference and judged against the source.
    ASSERT_EQ(0, ::mkdir((src + "/long").c_str(), 0750));
    MakeLongPath(src + "/long");
    ASSERT_EQ(0, ::lchown((src + "/long").c_str(), kDbUser, kDbGroup));
    ASSERT_EQ(0, Shell(stamp));
    SMVolSnapInfo r = SnapEnv::Snap(17, {src});
    ASSERT_EQ(1u, r.getNumSnaps()) << r.getErrorString();
    std::string const snap = r.snaps()[0].getSnapDevice();

    std::map<std::string, std::string> want = Tree(ref);
    std::map<std::string, std::string> const got = Tree(snap);
    ASSERT_GT(want.size(), 15u);
    size_t deep = 0;
    for (auto const& e : Tree(src))
        if (e.first.rfind("long", 0) == 0) {
            want.insert(e);
            deep = std::max(deep, e.first.size());
        }
    ASSERT_GT(deep, size_t(PATH_MAX));
    for (auto const& w : want) {
        auto const g = got.find(w.first);
        if (g == got.end()) {
            ADD_FAILURE() << "missing in the snapshot: " << w.first;
            continue;
        }
        EXPECT_EQ(w.second, g->second) << w.first;
    }
    for (auto const& g : got)
        if (!want.count(g.first)) ADD_FAILURE() << "not in the cp -a copy: " << g.first;
    // The root of the copy as well.
    struct stat a, b;
    ASSERT_EQ(0, ::stat(ref.c_str(), &a));
    ASSERT_EQ(0, ::stat(snap.c_str(), &b));
    EXPECT_EQ(a.st_mode, b.st_mode);
    EXPECT_EQ(a.st_uid, b.st_uid);
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec);
}

}  // namespace
