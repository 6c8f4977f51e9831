// The helper-process road's snapshot create against the in-process road's, on
// the same tree, in one run. Each side is a whole road in a process of its own:
// the process started, the executor made, the volume prepared, the snapshot
// created, the executor released (on the helper road: "NuvSnapUtil" started
// from the base home, attached, each request a round trip, the helper gone at
// the end). A third side measures one process start (this program started to
// do nothing), the allowance of the target. The same sync before each side,
// the order of the three turned every round, 5 rounds after a warm-up, median
// with min and max. The tree: NUV_BENCH_FILES files (default 2,000) of 1-64
// KiB in a directory of the machine's file system, declared as a volume (its
// snapshot is a full copy on both roads).
// Target: helper road <= 1.1 x in-process road + one process start.
#include "bench_scene.h"
#include "round_stats.h"

#include "nuvdbsnap/engine/snap_util_interface.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstring>

using namespace nuvbench;

namespace {

constexpr int kRounds = 5;  // after one warm-up round

// One side, in its own process: prepare and create one snapshot of `volume`
// for `job` on the road `mode`; prints the create call's time in ms.
int CreateOne(SpawnProcess mode, std::string const& volume, int64_t job) {
    setenv("JZ_JOB_ID", std::to_string(job).c_str(), 1);
    SMVolSnapInfo record;
    SMVolumeInfo v;
    v.setSourcePath(volume);
    v.setJobId(static_cast<int>(job));
    record.addVolume(v);
    record.setJobId(static_cast<int>(job));
    DbSnapUtil executor(1, 0, false, "", nullptr, mode);
    if (executor.PrepareSnap(record, nullptr, nullptr, false) != 0) {
        std::fprintf(stderr, "prepare failed\n");
        return 1;
    }
    auto t0 = Clock::now();
    int rc = executor.Snap(record, nullptr, nullptr, false, 0);
    auto t1 = Clock::now();
    if (rc != 0) {
        std::fprintf(stderr, "create failed with %d\n", rc);
        return 1;
    }
    std::printf("%.3f\n", Ms(t0, t1));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--noop") == 0) return 0;
    if (argc == 5 && std::strcmp(argv[1], "--create-one") == 0)
        return CreateOne(static_cast<SpawnProcess>(std::atoi(argv[2])), argv[3], std::atoll(argv[4]));

    std::string const self = std::filesystem::canonical("/proc/self/exe");
    std::string const base = MakeTemp("/tmp", "helperbench");
    if (base.empty()) return 1;
    ::setenv("JZ_SUITE_ROOT", (base + "/state").c_str(), 1);
    ::setenv("JZREG", (base + "/state/registry").c_str(), 1);
    ::setenv("JZ_LOG_FILE", (base + "/bench.log").c_str(), 1);
    char const* filesText = std::getenv("NUV_BENCH_FILES");
    int const files = filesText && std::atoi(filesText) > 0 ? std::atoi(filesText) : 2000;

    // The helper program lies beside this benchmark in the build; the base home links it.
    std::string const helper = self.substr(0, self.find_last_of('/')) + "/NuvSnapUtil";
    std::string const link = nuvsuite::StatePath("basehome") + "/NuvSnapUtil";
    unsigned long const appId = DeclareApplication(135);
    std::string const tree = base + "/tree";
    MakeTree(tree, files);
    if (appId == 0 || ::symlink(helper.c_str(), link.c_str()) != 0 ||
        nuvsuite::Catalogue::Instance()
            .Exec("INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, 'bench', 'ext4', 'rw')",
                  {tree})
            .IsError()) {
        std::fprintf(stderr, "helper_create: cannot set up the suite under %s\n", base.c_str());
        return 1;
    }

    enum Side { kInProcess, kHelper, kStart };
    char const* const names[] = {"in-process", "helper", "process start"};
    std::vector<double> whole[3], create[2];
    bool ok = true;
    for (int round = 0; round <= kRounds && ok; ++round) {
        double wholeMs[3] = {0, 0, 0}, createMs[2] = {0, 0};
        for (int turn = 0; turn < 3 && ok; ++turn) {
            Side const side = static_cast<Side>((round + turn) % 3);
            ::sync();
            int64_t const job = side == kStart ? 0 : NewJob(appId);
            std::vector<std::string> argv = {self, "--noop"};
            if (side != kStart)
                argv = {self, "--create-one", std::to_string(side == kHelper ? SPAWN_HELPER_PROCESS : SPAWN_IN_PROCESS),
                        tree, std::to_string(job)};
            std::string out, err;
            auto t0 = Clock::now();
            int rc = JzProcess::system(argv, &out, &err, 0, true);
            auto t1 = Clock::now();
            if (rc != 0) {
                std::fprintf(stderr, "helper_create[%s]: %s\n", names[side], err.c_str());
                ok = false;
                break;
            }
            wholeMs[side] = Ms(t0, t1);
            if (side != kStart) {
                createMs[side] = std::atof(out.c_str());
                ok = DeleteSnapshots(job);
            }
        }
        if (round == 0 || !ok) continue;  // warm-up
        for (int s = 0; s < 3; ++s) whole[s].push_back(wholeMs[s]);
        for (int s = 0; s < 2; ++s) create[s].push_back(createMs[s]);
    }
    if (ok) {
        Stat w[3] = {Summary(whole[0]), Summary(whole[1]), Summary(whole[2])};
        Stat c[2] = {Summary(create[0]), Summary(create[1])};
        for (int s = 0; s < 2; ++s)
            std::printf("helper_create[%d files]: %s road %.1f ms (min %.1f, max %.1f), of it the create %.1f ms "
                        "(min %.1f, max %.1f)\n",
                        files, names[s], w[s].median, w[s].min, w[s].max, c[s].median, c[s].min, c[s].max);
        std::printf("helper_create[%d files]: one process start %.1f ms (min %.1f, max %.1f)\n", files, w[2].median,
                    w[2].min, w[2].max);
        double const ratio = w[kHelper].median / w[kInProcess].median;
        double const allowed = 1.1 * w[kInProcess].median + w[kStart].median;
        std::printf("helper_create[%d files]: helper / in-process %.3f; helper road %.1f ms against 1.1 x in-process "
                    "+ one process start = %.1f ms (target) %s\n",
                    files, ratio, w[kHelper].median, allowed, nuvbench::Target(w[kHelper].median <= allowed));
    }
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    return nuvbench::ExitStatus(ok);
}
