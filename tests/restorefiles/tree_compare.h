// Trees as a restore must give them back: a description of every entry (kind,
// mode, owner, modification time - links' and directories' too -, content or
// target or device number, extended attributes with ACLs, and which names
// are one inode, of any kind), walked by descriptor so that paths longer than PATH_MAX work;
// and the helpers that build such trees the same way.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace nuvcopytest {

inline std::string Proc(int fd, std::string const& name) { return "/proc/self/fd/" + std::to_string(fd) + "/" + name; }

inline std::string Xattrs(int dir, std::string const& name) {
    std::string const path = Proc(dir, name);
    std::vector<char> names(65536);
    ssize_t const n = llistxattr(path.c_str(), names.data(), names.size());
    if (n <= 0) return "";
    std::map<std::string, std::string> all;
    for (size_t pos = 0; pos < static_cast<size_t>(n);) {
        std::string const key(&names[pos]);
        pos += key.size() + 1;
        std::vector<char> value(65536);
        ssize_t const v = lgetxattr(path.c_str(), key.c_str(), value.data(), value.size());
        all[key] = v < 0 ? "?" : std::string(value.data(), static_cast<size_t>(v));
    }
    std::string out;
    for (auto const& a : all) out += " " + a.first + "=" + std::to_string(std::hash<std::string>()(a.second));
    return out;
}

inline std::string Content(int dir, std::string const& name) {
    int const fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
    if (fd < 0) return "unreadable";
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

inline void DescribeAt(int dir, std::string const& rel, std::map<std::string, std::string>& out,
                       std::map<std::pair<dev_t, ino_t>, std::string>& first) {
    int const listFd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fdopendir(listFd);
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    for (auto const& n : names) {
        std::string const r = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        if (fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            out[r] = "gone";
            continue;
        }
        char kind = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : S_ISREG(st.st_mode) ? 'f'
                  : S_ISFIFO(st.st_mode) ? 'p' : S_ISSOCK(st.st_mode) ? 's' : S_ISCHR(st.st_mode) ? 'c' : 'b';
        std::string text = std::string(1, kind) + " " + (S_ISLNK(st.st_mode) ? std::string("-") : std::to_string(st.st_mode & 07777)) +
                           " " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " mtime " +
                           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) {
            text += " size " + std::to_string(st.st_size) + " data " +
                    std::to_string(std::hash<std::string>()(Content(dir, n)));
        } else if (S_ISLNK(st.st_mode)) {
            char buf[8192];
            ssize_t const k = readlinkat(dir, n.c_str(), buf, sizeof buf);
            text += " -> " + std::string(buf, k > 0 ? static_cast<size_t>(k) : 0);
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            text += " dev " + std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
        }
        if (!S_ISDIR(st.st_mode)) {
            // Names of one inode of any kind (`cp -a` keeps them one).
            auto f = first.emplace(std::make_pair(st.st_dev, st.st_ino), r);
            if (st.st_nlink > 1) text += " one file with " + f.first->second;
        }
        text += Xattrs(dir, n);
        out[r] = text;
        if (S_ISDIR(st.st_mode)) {
            int const sub = openat(dir, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                DescribeAt(sub, r, out, first);
                close(sub);
            }
        }
    }
}

// Every entry below `root` (the root itself as "."), described.
inline std::map<std::string, std::string> Describe(std::string const& root) {
    std::map<std::string, std::string> out;
    std::map<std::pair<dev_t, ino_t>, std::string> first;
    int const fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return out;
    DescribeAt(fd, "", out, first);
    // The root itself: through its parent.
    std::string const parent = root.substr(0, root.rfind('/'));
    std::string const name = root.substr(root.rfind('/') + 1);
    int const up = open(parent.empty() ? "/" : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (up >= 0 && fstatat(up, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        out["."] = std::to_string(st.st_mode & 07777) + " " + std::to_string(st.st_uid) + ":" +
                   std::to_string(st.st_gid) + " mtime " + std::to_string(st.st_mtim.tv_sec) + "." +
                   std::to_string(st.st_mtim.tv_nsec) + Xattrs(up, name);
    if (up >= 0) close(up);
    close(fd);
    return out;
}

// The differences of two descriptions, one line each ("" when equal).
inline std::string Differences(std::map<std::string, std::string> const& want,
                               std::map<std::string, std::string> const& got) {
    std::string out;
    for (auto const& w : want) {
        auto g = got.find(w.first);
        if (g == got.end())
            out += "missing " + w.first + "\n";
        else if (g->second != w.second)
            out += w.first + ": want [" + w.second + "] got [" + g->second + "]\n";
    }
    for (auto const& g : got)
        if (want.count(g.first) == 0) out += "extra " + g.first + " [" + g.second + "]\n";
    return out;
}

// `cp -a` of `from` to `to` (which must not exist); its exit status.
inline int CopyAll(std::string const& from, std::string const& to) {
    std::string const command = "cp -a '" + from + "' '" + to + "'";
    return std::system(command.c_str());
}

}  // namespace nuvcopytest
