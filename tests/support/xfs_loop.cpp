#include "support/xfs_loop.h"

#include "nuvdbsnap/platform/base/process.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace nuvtest {
namespace {

bool Executable(char const* path) { return ::access(path, X_OK) == 0; }

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

XfsLoopVolume::XfsLoopVolume(uint64_t sizeBytes) {
    if (::geteuid() != 0) {
        m_why = "an XFS loop volume needs root";
        return;
    }
    char const* mkfs = Executable("/usr/sbin/mkfs.xfs") ? "/usr/sbin/mkfs.xfs"
                       : Executable("/sbin/mkfs.xfs")   ? "/sbin/mkfs.xfs"
                                                         : nullptr;
    char const* losetup = Executable("/usr/sbin/losetup") ? "/usr/sbin/losetup"
                          : Executable("/sbin/losetup")   ? "/sbin/losetup"
                                                           : nullptr;
    if (!mkfs || !losetup) {
        m_why = "mkfs.xfs or losetup is not installed";
        return;
    }
    if (::access("/dev/loop-control", F_OK) != 0) {
        m_why = "no loop devices on this machine (/dev/loop-control missing)";
        return;
    }
    char tmpl[] = "/tmp/xfsloop-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        m_why = std::string("mkdtemp failed: ") + std::strerror(errno);
        return;
    }
    m_dir = tmpl;
    m_image = m_dir + "/image";
    m_mountPoint = m_dir + "/mnt";
    int fd = ::open(m_image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0) {
        m_why = std::string("cannot make the image: ") + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return;
    }
    ::close(fd);
    std::string out, err;
    if (JzProcess::system({mkfs, "-q", "-m", "reflink=1", m_image}, &out, &err) != 0) {
        m_why = "mkfs.xfs failed: " + err;
        return;
    }
    if (JzProcess::system({losetup, "--find", "--show", m_image}, &out, &err) != 0) {
        m_why = "losetup failed (no free loop device?): " + err;
        return;
    }
    m_device = Trim(out);
    if (::mkdir(m_mountPoint.c_str(), 0755) != 0 ||
        ::mount(m_device.c_str(), m_mountPoint.c_str(), "xfs", 0, nullptr) != 0) {
        m_why = std::string("mounting the XFS volume failed: ") + std::strerror(errno);
        return;
    }
    m_mounted = true;
    m_ready = true;
}

XfsLoopVolume::~XfsLoopVolume() { release(); }

void XfsLoopVolume::release() {
    if (m_mounted) ::umount2(m_mountPoint.c_str(), MNT_DETACH);
    m_mounted = false;
    if (!m_device.empty()) {
        // The detach is deferred by the kernel while the lazily unmounted file system is still in use.
        int fd = ::open(m_device.c_str(), O_RDONLY);
        if (fd >= 0) {
            ::ioctl(fd, LOOP_CLR_FD, 0);
            ::close(fd);
        }
        m_device.clear();
    }
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
        m_dir.clear();
    }
}

bool AllExtentsShared(std::string const& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    constexpr unsigned kMax = 64;
    std::vector<char> buf(sizeof(struct fiemap) + kMax * sizeof(struct fiemap_extent));
    auto* map = reinterpret_cast<struct fiemap*>(buf.data());
    map->fm_start = 0;
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = kMax;
    bool ok = ::ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents > 0;
    for (unsigned i = 0; ok && i < map->fm_mapped_extents; ++i)
        ok = (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) != 0;
    ::close(fd);
    return ok;
}

int ThawIfFrozen(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return errno;
    int rc = ioctl(fd, FITHAW, 0) == 0 ? 0 : errno;
    close(fd);
    return rc;
}

bool IsFrozen(std::string const& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    bool frozen = false;
    if (ioctl(fd, FIFREEZE, 0) == 0) (void)ioctl(fd, FITHAW, 0);
    else frozen = errno == EBUSY;
    close(fd);
    return frozen;
}

}  // namespace nuvtest
