// Claims of directory trees by restores (see tree_claim.h).
#include "nuvdbsnap/platform/base/tree_claim.h"

#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nuvbase {
namespace {

char const kSuffix[] = ".claim";

bool Holds(std::string const& prefix, std::string const& path) {
    if (prefix == "/") return !path.empty() && path[0] == '/';
    return path.compare(0, prefix.size(), prefix) == 0 && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string ReadAll(int fd) {
    std::string text;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        ssize_t const n = ::pread(fd, buf, sizeof buf, at);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        at += n;
    }
    return text;
}

std::string Folder() { return nuvsuite::StatePath("locks") + "/claims"; }

}  // namespace

TreeClaim::~TreeClaim() {
    if (m_fd < 0) return;
    JzNamedMutex guard("restore-claims");
    (void)guard.lock();
    ::unlink(m_file.c_str());
    ::close(m_fd);
}

bool TreeClaim::take(std::string const& path, std::string const& holder, std::string* error) {
    if (m_fd >= 0) return true;
    std::string const folder = Folder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make [" + folder + "]: " + std::strerror(errno);
        return false;
    }
    JzNamedMutex guard("restore-claims");
    if (guard.lock() == 0) {
        *error = "cannot lock the restore claims: " + std::string(std::strerror(errno));
        return false;
    }
    std::string const self = std::to_string(::getpid());
    DIR* list = ::opendir(folder.c_str());
    if (list == nullptr) {
        *error = "cannot read [" + folder + "]: " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(list)) {
        std::string const name = e->d_name;
        if (name.size() > sizeof kSuffix && name.compare(name.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) == 0)
            names.push_back(name);
    }
    ::closedir(list);
    for (std::string const& name : names) {
        std::string const file = folder + "/" + name;
        int const fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ::unlink(file.c_str());  // its holder is gone
            ::close(fd);
            continue;
        }
        // "<pid>\n<path>\n<holder>"
        std::string const text = ReadAll(fd);
        ::close(fd);
        size_t const a = text.find('\n');
        size_t const b = a == std::string::npos ? a : text.find('\n', a + 1);
        if (b == std::string::npos) continue;
        std::string const pid = text.substr(0, a), claimed = text.substr(a + 1, b - a - 1);
        if (pid == self) continue;
        if (Holds(claimed, path) || Holds(path, claimed)) {
            *error = "the destination [" + path + "] is being restored by " + text.substr(b + 1) + " (process " + pid +
                     ", destination [" + claimed + "]): refused";
            errno = EBUSY;
            return false;
        }
    }
    static std::atomic<unsigned> count{0};
    std::string const file = folder + "/" + self + "-" + std::to_string(++count) + kSuffix;
    int const fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot write the claim [" + file + "]: " + std::strerror(errno);
        return false;
    }
    std::string const text = self + "\n" + path + "\n" + holder;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        *error = "cannot write the claim [" + file + "]: " + std::strerror(errno);
        ::unlink(file.c_str());
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_file = file;
    m_path = path;
    return true;
}

}  // namespace nuvbase
