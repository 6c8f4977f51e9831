// Snapshot create against `cp -a` of the same tree on the same file system,
// each side a whole road: a process started, the volume prepared (snapshot
// side), the tree snapped or copied; the same sync before each side, the order
// of the sides swapped every round, 5 rounds after a warm-up, median with min
// and max. Cases:
//   btrfs-10k, btrfs-100k   a btrfs loop volume made by the suite: read-only
//                           btrfs snapshots against `cp -a --reflink=always`;
//                           targets: create call <= 50 ms, and the 100k create
//                           at most 1.5 x the 10k one;
//   xfs-clone-10k           an XFS loop volume: block clone of its image
//                           against `cp -a --reflink=always`;
//   plain-10k               a directory of the machine's file system (full
//                           copy with several workers) against `cp -a`;
//                           target: ratio <= 1.1.
// Loop cases need root and loop devices and say "skipped" otherwise.
// NUV_BENCH_CASES (comma list) runs only the named cases.
// Built against a tree without loop volumes (bench/compare_snapshot_create.sh
// builds it at an earlier commit), it has the plain case only.
#include "bench_tree.h"
#include "round_stats.h"

#include "nuvdbsnap/platform/base/process.h"
#if __has_include("nuvdbsnap/platform/snapmgr/loop_volumes.h")
#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"
#define NUV_BENCH_LOOP_VOLUMES 1
#endif
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
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 5;  // after one warm-up round
using nuvbench::Clock;
using nuvbench::Ms;
using Stats = nuvbench::Stat;

// The snapshot side, in its own process: prepare and create one snapshot of
// `source` for job `job`; prints the create call's time in ms.
int CreateOne(std::string const& source, int job) {
    SMVolSnapInfo record;
    record.setJobId(job);
    SMVolumeInfo volume;
    volume.setSourcePath(source);
    record.addVolume(volume, true);
    JZSnapClientAPI client;
    if (!client.prepareVolumeSnaps(record)) {
        std::fprintf(stderr, "prepare failed: %s\n", record.getErrorString().c_str());
        return 1;
    }
    auto t0 = Clock::now();
    bool made = client.createVolumeSnaps(record);
    auto t1 = Clock::now();
    if (!made) {
        std::fprintf(stderr, "create failed: %s\n", record.getErrorString().c_str());
        return 1;
    }
    std::printf("%.3f\n", Ms(t0, t1));
    return 0;
}

struct Case {
    std::string label;
    std::string source;    // the volume to snap
    std::string cpSource;  // the same files for cp
    std::string cpTarget;  // where cp puts its copy (same file system)
    char const* reflink;   // cp's --reflink value
};

struct Result {
    Stats snap, create, cp;
};

bool Run(Case const& c, std::string const& self, Result* result) {
    std::vector<double> snapTimes, createTimes, cpTimes;
    static int job = 1000;
    for (int round = 0; round <= kRounds; ++round) {
        double snapMs = 0, createMs = 0, cpMs = 0;
        for (int side = 0; side < 2; ++side) {
            bool const snapSide = (side == 0) == (round % 2 == 0);  // order swapped every round
            ::sync();
            std::string out, err;
            if (snapSide) {
                ++job;
                auto t0 = Clock::now();
                int rc = JzProcess::system({self, "--create-one", c.source, std::to_string(job)}, &out, &err, 0, true);
                auto t1 = Clock::now();
                if (rc != 0) return std::fprintf(stderr, "%s: %s\n", c.label.c_str(), err.c_str()), false;
                snapMs = Ms(t0, t1);
                createMs = std::atof(out.c_str());
                SMVolSnapInfo made;
                made.setJobId(job);
                JZSnapClientAPI client;
                if (!client.getVolumeSnaps(made) || !client.deleteVolumeSnaps(made))
                    return std::fprintf(stderr, "%s: delete failed: %s\n", c.label.c_str(),
                                        made.getErrorString().c_str()),
                           false;
            } else {
                auto t0 = Clock::now();
                int rc = JzProcess::system({"/bin/cp", "-a", std::string("--reflink=") + c.reflink, c.cpSource, c.cpTarget},
                                           &out, &err, 0, true);
                auto t1 = Clock::now();
                if (rc != 0) return std::fprintf(stderr, "%s: cp failed: %s\n", c.label.c_str(), err.c_str()), false;
                cpMs = Ms(t0, t1);
                std::filesystem::remove_all(c.cpTarget);
            }
        }
        if (round == 0) continue;  // warm-up
        snapTimes.push_back(snapMs);
        createTimes.push_back(createMs);
        cpTimes.push_back(cpMs);
    }
    result->snap = nuvbench::Summary(snapTimes);
    result->create = nuvbench::Summary(createTimes);
    result->cp = nuvbench::Summary(cpTimes);
    std::printf("snapshot_create[%s]: whole road snapshot %.1f ms (min %.1f, max %.1f), of it the create call %.1f ms "
                "(min %.1f, max %.1f); cp -a --reflink=%s %.1f ms (min %.1f, max %.1f); ratio %.3f\n",
                c.label.c_str(), result->snap.median, result->snap.min, result->snap.max, result->create.median,
                result->create.min, result->create.max, c.reflink, result->cp.median, result->cp.min, result->cp.max,
                result->snap.median / result->cp.median);
    std::fflush(stdout);
    return true;
}

bool Wanted(std::string const& label) {
    char const* only = std::getenv("NUV_BENCH_CASES");
    if (!only || !*only) return true;
    std::string list = std::string(",") + only + ",";
    return list.find("," + label + ",") != std::string::npos;
}

#ifdef NUV_BENCH_LOOP_VOLUMES
// The loop volume's source tree: for btrfs the "data" subvolume, for XFS the mount itself.
bool LoopCase(std::string const& label, std::string const& fs, int files, std::string const& self) {
    if (!Wanted(label)) return true;
    std::string why;
    if (!nuvsnapmgr::LoopVolumesAvailable(&why)) {
        std::printf("snapshot_create[%s]: skipped (%s)\n", label.c_str(), why.c_str());
        return true;
    }
    nuvsnapmgr::LoopVolume volume;
    uint64_t const size = (files > 20000 ? 12ull : 3ull) << 30;
    CFzError e = nuvsnapmgr::CreateLoopVolume(label, fs, size, &volume);
    if (e.IsError()) {
        std::printf("snapshot_create[%s]: skipped (%s)\n", label.c_str(), e.AsString().c_str());
        return true;
    }
    nuvbench::MakeTree(volume.path + "/tree", files);
    // The snapshot takes the volume, cp the tree it holds, onto the same file system.
    Case c{label, volume.path, volume.path + "/tree", volume.mountPoint + "/cp-copy", "always"};
    Result r;
    bool ok = Run(c, self, &r);
    if (ok && fs == "btrfs")
        std::printf("snapshot_create[%s]: %d files, create call %.1f ms (target <= 50 ms) %s\n", label.c_str(), files,
                    r.create.median, nuvbench::Target(r.create.median <= 50.0));
    std::filesystem::remove_all(volume.path + "/tree");
    if (nuvsnapmgr::RemoveLoopVolume(label).IsError()) std::printf("snapshot_create[%s]: volume left\n", label.c_str());
    if (ok && fs == "btrfs") {
        static double tenK = 0;
        if (files == 10000) tenK = r.create.median;
        if (files == 100000 && tenK > 0)
            std::printf("snapshot_create[btrfs]: 100k / 10k create call %.2f (target <= 1.5) %s\n",
                        r.create.median / tenK, nuvbench::Target(r.create.median / tenK <= 1.5));
    }
    return ok;
}
#else
bool LoopCase(std::string const& label, std::string const&, int, std::string const&) {
    if (Wanted(label)) std::printf("snapshot_create[%s]: skipped (no loop volumes in this build)\n", label.c_str());
    return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--create-one") == 0) return CreateOne(argv[2], std::atoi(argv[3]));
    std::string const self = std::filesystem::canonical("/proc/self/exe");
    std::string base = nuvbench::MakeTemp("/tmp", "snapbench");
    if (base.empty()) return 1;
    ::setenv("JZ_SUITE_ROOT", (base + "/state").c_str(), 1);
    ::setenv("JZREG", (base + "/state/registry").c_str(), 1);
    ::setenv("JZ_LOG_FILE", (base + "/bench.log").c_str(), 1);

    bool ok = LoopCase("btrfs-10k", "btrfs", 10000, self);
    ok = LoopCase("btrfs-100k", "btrfs", 100000, self) && ok;
    ok = LoopCase("xfs-clone-10k", "xfs", 10000, self) && ok;

    if (Wanted("plain-10k")) {
        std::string src = base + "/plain/src";
        nuvbench::MakeTree(src, 10000);
        if (nuvsuite::Catalogue::Instance()
                .Exec("INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, 'bench', 'ext4', 'rw')",
                      {src})
                .IsError())
            return 1;
        Result r;
        if (Run(Case{"plain-10k", src, src, base + "/plain/cp-copy", "auto"}, self, &r))
            std::printf("snapshot_create[plain-10k]: ratio %.3f (target <= 1.1) %s\n", r.snap.median / r.cp.median,
                        nuvbench::Target(r.snap.median / r.cp.median <= 1.1));
        else
            ok = false;
    }
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    return nuvbench::ExitStatus(ok);
}
