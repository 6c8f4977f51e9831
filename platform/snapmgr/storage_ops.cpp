#include "storage_ops.h"

#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

namespace nuvsnapmgr {
namespace {

constexpr uint64_t kBtrfsFirstFreeObjectId = 256;  // inode number of every subvolume's root

std::string Parent(std::string const& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Base(std::string const& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

CFzError CheckName(std::string const& name) {
    if (name.empty() || name.size() > BTRFS_SUBVOL_NAME_MAX || name.find('/') != std::string::npos || name == "." ||
        name == "..")
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "[%s] is no subvolume name", name.c_str());
    return CFzError::Success();
}

}  // namespace

CFzError StorageStep(char const* call, std::string const& args) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("snapmgr", call, args, &fault)) return CFzError::Success();
    return FXErrorUtil::ErrorErrNo(FZ_LOC, fault.code > 0 ? fault.code : EIO, "%s [%s]: %s", call, args.c_str(),
                                   fault.text.c_str());
}

bool LoopDevicesAvailable(std::string* why) {
    if (::geteuid() != 0) {
        *why = "loop devices need root (this process runs as uid " + std::to_string(::geteuid()) + ")";
        return false;
    }
    if (::access("/dev/loop-control", R_OK | W_OK) != 0) {
        *why = std::string("no loop devices on this machine (/dev/loop-control: ") + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

LoopAttachment::LoopAttachment(LoopAttachment&& other) noexcept : m_fd(other.m_fd), m_device(other.m_device) {
    other.m_fd = -1;
}

LoopAttachment& LoopAttachment::operator=(LoopAttachment&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        m_device = other.m_device;
        other.m_fd = -1;
    }
    return *this;
}

void LoopAttachment::Close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

CFzError AttachLoop(std::string const& image, bool readOnly, LoopAttachment* out) {
    CFzError e = StorageStep("nuvsnapmgr::AttachLoop", image);
    if (e.IsError()) return e;
    int file = ::open(image.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NOFOLLOW);
    if (file < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open image [%s]", image.c_str());
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        int err = errno;
        ::close(file);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "no loop devices (/dev/loop-control)");
    }
    CFzError result = FXErrorUtil::ErrorErrNo(FZ_LOC, EBUSY, "no free loop device for [%s]", image.c_str());
    // Another process may take the free device between the look-up and the
    // configuration: then look again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        int n = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0) {
            result = FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "no free loop device for [%s]", image.c_str());
            break;
        }
        std::string device = "/dev/loop" + std::to_string(n);
        int fd = ::open(device.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // udev has not made the node yet
            fd = ::open(device.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        }
        if (fd < 0) {
            result = FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", device.c_str());
            break;
        }
        struct loop_config config;
        std::memset(&config, 0, sizeof config);
        config.fd = static_cast<uint32_t>(file);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (readOnly ? LO_FLAGS_READ_ONLY : 0);
        std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), image.c_str(), LO_NAME_SIZE - 1);
        if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
            out->Close();
            out->m_fd = fd;
            out->m_device = device;
            result = CFzError::Success();
            break;
        }
        int err = errno;
        ::close(fd);
        if (err != EBUSY) {
            result = FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot attach [%s] to [%s]", image.c_str(), device.c_str());
            break;
        }
    }
    ::close(control);
    ::close(file);
    return result;
}

std::string LoopBackingFile(std::string const& device) {
    if (device.compare(0, 9, "/dev/loop") != 0) return std::string();
    std::ifstream in("/sys/block/" + device.substr(5) + "/loop/backing_file");
    std::string line;
    std::getline(in, line);
    return line;
}

bool OnBtrfs(std::string const& path) {
    struct statfs fs;
    return ::statfs(path.c_str(), &fs) == 0 && static_cast<unsigned long>(fs.f_type) == BTRFS_SUPER_MAGIC;
}

bool IsBtrfsSubvolume(std::string const& path) {
    struct stat st;
    return OnBtrfs(path) && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_ino == kBtrfsFirstFreeObjectId;
}

namespace {
bool BtrfsFsid(std::string const& path, std::string* fsid) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    struct btrfs_ioctl_fs_info_args info;
    std::memset(&info, 0, sizeof info);
    bool ok = ::ioctl(fd, BTRFS_IOC_FS_INFO, &info) == 0;
    ::close(fd);
    if (ok) fsid->assign(reinterpret_cast<char const*>(info.fsid), sizeof info.fsid);
    return ok;
}
}  // namespace

bool SameBtrfs(std::string const& a, std::string const& b) {
    std::string fa, fb;
    return OnBtrfs(a) && OnBtrfs(b) && BtrfsFsid(a, &fa) && BtrfsFsid(b, &fb) && fa == fb;
}

CFzError BtrfsSnapshot(std::string const& source, std::string const& parentDir, std::string const& name,
                       bool readOnly) {
    CFzError e = StorageStep("nuvsnapmgr::BtrfsSnapshot", source + " " + parentDir + "/" + name);
    if (e.IsError()) return e;
    if ((e = CheckName(name)).IsError()) return e;
    int src = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (src < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", source.c_str());
    int dst = ::open(parentDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dst < 0) {
        int err = errno;
        ::close(src);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot open [%s]", parentDir.c_str());
    }
    struct btrfs_ioctl_vol_args_v2 args;
    std::memset(&args, 0, sizeof args);
    args.fd = src;
    args.flags = readOnly ? BTRFS_SUBVOL_RDONLY : 0;
    std::strncpy(args.name, name.c_str(), sizeof args.name - 1);
    int rc = ::ioctl(dst, BTRFS_IOC_SNAP_CREATE_V2, &args);
    int err = errno;
    ::close(src);
    ::close(dst);
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "btrfs snapshot of [%s] as [%s/%s] failed", source.c_str(),
                                       parentDir.c_str(), name.c_str());
    return CFzError::Success();
}

CFzError BtrfsCreateSubvolume(std::string const& parentDir, std::string const& name) {
    CFzError e = CheckName(name);
    if (e.IsError()) return e;
    int dst = ::open(parentDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dst < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", parentDir.c_str());
    struct btrfs_ioctl_vol_args args;
    std::memset(&args, 0, sizeof args);
    std::strncpy(args.name, name.c_str(), sizeof args.name - 1);
    int rc = ::ioctl(dst, BTRFS_IOC_SUBVOL_CREATE, &args);
    int err = errno;
    ::close(dst);
    if (rc != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot create subvolume [%s/%s]", parentDir.c_str(),
                                       name.c_str());
    return CFzError::Success();
}

CFzError BtrfsDeleteSubvolume(std::string const& path) {
    if (!IsBtrfsSubvolume(path))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "[%s] is no btrfs subvolume: not deleted", path.c_str());
    std::string const parent = Parent(path), name = Base(path);
    int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", parent.c_str());
    struct btrfs_ioctl_vol_args args;
    std::memset(&args, 0, sizeof args);
    std::strncpy(args.name, name.c_str(), sizeof args.name - 1);
    int rc = ::ioctl(dir, BTRFS_IOC_SNAP_DESTROY, &args);
    int err = errno;
    ::close(dir);
    if (rc != 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot delete subvolume [%s]", path.c_str());
    return CFzError::Success();
}

bool SupportsReflink(std::string const& dir) {
    std::string const a = dir + "/.reflink-probe-" + std::to_string(::getpid()), b = a + "-clone";
    int fa = ::open(a.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fa < 0) return false;
    bool ok = false;
    if (::write(fa, "probe", 5) == 5) {
        int fb = ::open(b.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fb >= 0) {
            ok = ::ioctl(fb, FICLONE, fa) == 0;
            ::close(fb);
            ::unlink(b.c_str());
        }
    }
    ::close(fa);
    ::unlink(a.c_str());
    return ok;
}

CFzError CloneWholeFile(std::string const& source, std::string const& dest) {
    CFzError e = StorageStep("nuvsnapmgr::CloneWholeFile", source + " " + dest);
    if (e.IsError()) return e;
    int src = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (src < 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "cannot open [%s]", source.c_str());
    int dst = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (dst < 0) {
        int err = errno;
        ::close(src);
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "cannot create [%s]", dest.c_str());
    }
    int rc = ::ioctl(dst, FICLONE, src);
    int err = errno;
    ::close(src);
    ::close(dst);
    if (rc != 0) {
        ::unlink(dest.c_str());
        return FXErrorUtil::ErrorErrNo(FZ_LOC, err, "clone of [%s] into [%s] failed", source.c_str(), dest.c_str());
    }
    return CFzError::Success();
}

CFzError MountDevice(std::string const& device, std::string const& target, std::string const& fsType, bool readOnly,
                     std::string const& options) {
    CFzError e = StorageStep("nuvsnapmgr::MountDevice", device + " " + target);
    if (e.IsError()) return e;
    unsigned long flags = MS_NODEV | MS_NOSUID | (readOnly ? MS_RDONLY : 0);
    if (::mount(device.c_str(), target.c_str(), fsType.c_str(), flags, options.empty() ? nullptr : options.c_str()) !=
        0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, errno, "mount of [%s] (%s, %s) on [%s] failed", device.c_str(),
                                       fsType.c_str(), options.c_str(), target.c_str());
    return CFzError::Success();
}

CloneFreeze::~CloneFreeze() {
    if (m_mountPoint.empty()) return;
    nuvfreeze::Failure failure;
    (void)nuvfreeze::Thaw(m_mountPoint, &failure);  // a failed thaw is the guard's to finish
}

CFzError CloneFreeze::Hold(std::string const& mountPoint) {
    nuvfreeze::Failure failure;
    if (nuvfreeze::Freeze(mountPoint, &failure)) {
        m_mountPoint = mountPoint;
        return CFzError::Success();
    }
    if (failure.code == EBUSY) return CFzError::Success();  // frozen already, by whoever thaws it
    return FXErrorUtil::ErrorErrNo(FZ_LOC, failure.code > 0 ? failure.code : EIO,
                                   "cannot freeze [%s] for its clone: %s", mountPoint.c_str(), failure.text.c_str());
}

}  // namespace nuvsnapmgr
