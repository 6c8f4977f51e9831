// Snapshot create through the snapshot client against `cp -a --reflink=auto`
// of the same tree on the same file system, in one run: 10,000 files of 1-64
// KiB. Once on a loop XFS volume with reflink (when root, loop devices and
// mkfs.xfs are there; otherwise said to be skipped) and once on the plain file
// system under /tmp. Each side runs three times, alternating; the best time
// counts. Prints the times and their ratio (target: snapshot / cp <= 1.1).
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 10000;
constexpr int kRounds = 3;

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

uint64_t MakeTree(std::string const& root) {
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<int> size(1024, 64 * 1024);
    std::vector<char> data(64 * 1024 + 1024);  // files start at varying offsets: no two alike
    for (auto& c : data) c = static_cast<char>(gen());
    uint64_t total = 0;
    for (int i = 0; i < kFiles; ++i) {
        std::string dir = root + "/d" + std::to_string(i / 100);
        if (i % 100 == 0) std::filesystem::create_directories(dir);
        int n = size(gen);
        int fd = ::open((dir + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, data.data() + (i % 1024), static_cast<size_t>(n)) != n) {
            std::perror("write");
            std::exit(1);
        }
        ::close(fd);
        total += static_cast<uint64_t>(n);
    }
    return total;
}

// One comparison on the file system that holds `base`; false when it could not run.
bool Compare(char const* label, std::string const& base) {
    std::string state = base + "/state", src = base + "/src";
    ::setenv("JZ_SUITE_ROOT", state.c_str(), 1);
    ::setenv("JZREG", (state + "/registry").c_str(), 1);
    uint64_t bytes = MakeTree(src);
    ::sync();
    if (nuvsuite::Catalogue::Instance()
            .Exec("INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, 'bench', 'bench', 'rw')",
                  {src})
            .IsError()) {
        std::fprintf(stderr, "%s: cannot declare the volume\n", label);
        return false;
    }
    std::vector<double> snapTimes, cpTimes;
    for (int round = 0; round < kRounds; ++round) {
        SMVolSnapInfo record;
        record.setJobId(1000 + round);
        SMVolumeInfo volume;
        volume.setSourcePath(src);
        record.addVolume(volume, true);
        JZSnapClientAPI client;
        if (!client.prepareVolumeSnaps(record)) {
            std::fprintf(stderr, "%s: prepare failed: %s\n", label, record.getErrorString().c_str());
            return false;
        }
        auto t0 = std::chrono::steady_clock::now();
        bool made = client.createVolumeSnaps(record);
        auto t1 = std::chrono::steady_clock::now();
        if (!made) {
            std::fprintf(stderr, "%s: create failed: %s\n", label, record.getErrorString().c_str());
            return false;
        }
        snapTimes.push_back(Seconds(t0, t1));
        if (!client.deleteVolumeSnaps(record)) {
            std::fprintf(stderr, "%s: delete failed: %s\n", label, record.getErrorString().c_str());
            return false;
        }

        std::string target = base + "/cp-copy";
        std::string out, err;
        auto t2 = std::chrono::steady_clock::now();
        int rc = JzProcess::system({"/bin/cp", "-a", "--reflink=auto", src, target}, &out, &err, 0, true);
        auto t3 = std::chrono::steady_clock::now();
        if (rc != 0) {
            std::fprintf(stderr, "%s: cp failed: %s\n", label, err.c_str());
            return false;
        }
        cpTimes.push_back(Seconds(t2, t3));
        std::filesystem::remove_all(target);
        ::sync();
    }
    double snap = *std::min_element(snapTimes.begin(), snapTimes.end());
    double cp = *std::min_element(cpTimes.begin(), cpTimes.end());
    std::printf("snapshot_create[%s]: files=%d bytes=%llu snapshot=%.3fs cp-a=%.3fs ratio=%.2f (target <= 1.10) %s\n",
                label, kFiles, static_cast<unsigned long long>(bytes), snap, cp, snap / cp,
                snap / cp <= 1.10 ? "OK" : "ABOVE TARGET");
    std::fflush(stdout);
    return true;
}

std::string MakeTemp(std::string const& parent) {
    std::string tmpl = parent + "/snapbench-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

}  // namespace

int main() {
    std::string plain = MakeTemp("/tmp");
    if (plain.empty()) return 1;
    // The set-up commands of the XFS volume journal into this state root.
    ::setenv("JZ_SUITE_ROOT", (plain + "/setup").c_str(), 1);

    bool xfsRan = false;
    std::string why;
    if (::geteuid() != 0) {
        why = "not root";
    } else if (::access("/usr/sbin/mkfs.xfs", X_OK) != 0 || ::access("/dev/loop-control", F_OK) != 0) {
        why = "mkfs.xfs or loop devices missing";
    } else {
        std::string image = plain + "/xfs.img", mnt = plain + "/xfs", out, err, device;
        int fd = ::open(image.c_str(), O_WRONLY | O_CREAT, 0600);
        bool ok = fd >= 0 && ::ftruncate(fd, off_t(2) << 30) == 0;
        if (fd >= 0) ::close(fd);
        ok = ok && JzProcess::system({"/usr/sbin/mkfs.xfs", "-q", "-m", "reflink=1", image}, &out, &err) == 0;
        ok = ok && JzProcess::system({"/usr/sbin/losetup", "--find", "--show", image}, &device, &err) == 0;
        while (!device.empty() && device.back() == '\n') device.pop_back();
        ok = ok && ::mkdir(mnt.c_str(), 0755) == 0 && ::mount(device.c_str(), mnt.c_str(), "xfs", 0, nullptr) == 0;
        if (ok) {
            xfsRan = Compare("xfs-reflink", mnt);
            std::filesystem::remove_all(mnt + "/src");
            ::umount2(mnt.c_str(), MNT_DETACH);
        } else {
            why = "loop XFS set-up failed: " + err;
        }
        if (!device.empty()) JzProcess::system({"/usr/sbin/losetup", "-d", device}, &out, &err);
        if (!xfsRan && why.empty()) why = "the XFS run failed";
    }
    if (!xfsRan) std::printf("snapshot_create[xfs-reflink]: skipped (%s)\n", why.c_str());

    std::string plainBase = plain + "/plain";
    std::filesystem::create_directories(plainBase);
    bool plainRan = Compare("plain-fs", plainBase);
    std::filesystem::remove_all(plain);
    return plainRan ? 0 : 1;
}
