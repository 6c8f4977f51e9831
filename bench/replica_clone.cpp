// A replica made through the replication-engine plug-in against a clone made
// by the snapshot manager itself, of the same snapshot copy, in one run. Each
// side is a whole road in a process of its own: the replica side opens
// libJzReplicationEngine.so through the engine's wrapper, hands it the
// snapshot as the source, initialises and replicates (the plug-in prepares and
// creates the replica and registers it); the clone side prepares and creates
// a snapshot of the same copy through the snapshot client. The same sync
// before each side, the order swapped every round, 5 rounds after a warm-up,
// median with min and max. The snapshot: of NUV_BENCH_FILES files (default
// 2,000) of 1-64 KiB in a directory of the machine's file system (a full copy;
// the replica and the clone are copies of it made the same way).
// Target: replica <= 1.1 x clone.
#include "bench_scene.h"
#include "round_stats.h"

#include "nuvdbsnap/engine/replication_engine.h"
#include "nuvdbsnap/engine/replication_records.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstring>

using namespace nuvbench;

namespace {

constexpr int kRounds = 5;  // after one warm-up round

// The replica side: the snapshot copy `copy` replicated for `job`; prints the
// replicate call's time in ms.
int ReplicateOne(std::string const& copy, int64_t job, unsigned long appId) {
    EvEvent logger;
    _ReplicationInputParams params;
    params.appId = appId;
    params.brannoxId = nuvsuite::kLocalBrannoxId;
    params.appTypeId = 125;
    params.jobId = static_cast<uint64_t>(job);
    params.backupLevel = 1;
    JzReplicationEngineDynamic* engine =
        JzReplicationEngineDynamic::getInstance(1, static_cast<unsigned long long>(job), nullptr, logger, params);
    if (engine == nullptr) return std::fprintf(stderr, "no replication engine\n"), 1;
    engine->JzRepSetAppId(appId);
    engine->JzRepSetAppTypeId(125);
    engine->JzRepSetBrannoxId(nuvsuite::kLocalBrannoxId);
    engine->JzRepSetJobId(static_cast<unsigned long long>(job));
    engine->JzRepSetBackupType(1);
    JzRepSourceForReplication source;
    source.sourceMountPath = copy;
    source.sourceDevice = "bench";
    source.snapDevice = copy;
    std::string error;
    int code = 0;
    if (engine->JzRepSetAddSourceForReplication(&source, 1, 0, 0, error) == 0 ||
        engine->JzRepInitializeReplication(code, error) == 0)
        return std::fprintf(stderr, "replication set-up failed: %s\n", error.c_str()), 1;
    auto t0 = Clock::now();
    int made = engine->JzRepReplicateSources(error);
    auto t1 = Clock::now();
    if (made == 0) return std::fprintf(stderr, "replication failed: %s\n", error.c_str()), 1;
    std::printf("%.3f\n", Ms(t0, t1));
    return 0;
}

// The clone side: a snapshot of `copy` for `job` through the snapshot client;
// prints the create call's time in ms.
int CloneOne(std::string const& copy, int64_t job) {
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(job));
    SMVolumeInfo volume;
    volume.setSourcePath(copy);
    volume.setJobId(static_cast<int>(job));
    record.addVolume(volume, true);
    JZSnapClientAPI client;
    if (!client.prepareVolumeSnaps(record))
        return std::fprintf(stderr, "prepare failed: %s\n", record.getErrorString().c_str()), 1;
    auto t0 = Clock::now();
    bool made = client.createVolumeSnaps(record);
    auto t1 = Clock::now();
    if (!made) return std::fprintf(stderr, "create failed: %s\n", record.getErrorString().c_str()), 1;
    std::printf("%.3f\n", Ms(t0, t1));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--replicate-one") == 0)
        return ReplicateOne(argv[2], std::atoll(argv[3]), std::strtoul(argv[4], nullptr, 10));
    if (argc == 4 && std::strcmp(argv[1], "--clone-one") == 0) return CloneOne(argv[2], std::atoll(argv[3]));

    std::string const self = std::filesystem::canonical("/proc/self/exe");
    std::string const base = MakeTemp("/tmp", "replicabench");
    if (base.empty()) return 1;
    ::setenv("JZ_SUITE_ROOT", (base + "/state").c_str(), 1);
    ::setenv("JZREG", (base + "/state/registry").c_str(), 1);
    ::setenv("JZ_LOG_FILE", (base + "/bench.log").c_str(), 1);
    // The engine opens the plug-in by name: the build's plug-in folder first.
    std::string const out = self.substr(0, self.find_last_of('/')) + "/..";
    ::setenv("LD_LIBRARY_PATH", (out + "/lib/replication").c_str(), 1);
    char const* filesText = std::getenv("NUV_BENCH_FILES");
    int const files = filesText && std::atoi(filesText) > 0 ? std::atoi(filesText) : 2000;

    // The snapshot that both sides copy.
    unsigned long const appId = DeclareApplication(125);
    std::string const tree = base + "/tree";
    MakeTree(tree, files);
    int64_t const sourceJob = NewJob(appId);
    SMVolSnapInfo snapshot;
    snapshot.setJobId(static_cast<int>(sourceJob));
    SMVolumeInfo volume;
    volume.setSourcePath(tree);
    snapshot.addVolume(volume, true);
    JZSnapClientAPI client;
    if (appId == 0 || sourceJob == 0 ||
        nuvsuite::Catalogue::Instance()
            .Exec("INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, 'bench', 'ext4', 'rw')",
                  {tree})
            .IsError() ||
        !client.prepareVolumeSnaps(snapshot) || !client.createVolumeSnaps(snapshot) || snapshot.getNumSnaps() != 1) {
        std::fprintf(stderr, "replica_clone: cannot make the snapshot under %s: %s\n", base.c_str(),
                     snapshot.getErrorString().c_str());
        return 1;
    }
    std::string const copy = snapshot.snapListBegin()->getSnapDevice();

    char const* const names[] = {"replica", "clone"};
    std::vector<double> whole[2], call[2];
    bool ok = true;
    for (int round = 0; round <= kRounds && ok; ++round) {
        double wholeMs[2] = {0, 0}, callMs[2] = {0, 0};
        for (int turn = 0; turn < 2 && ok; ++turn) {
            int const side = (round + turn) % 2;  // order swapped every round
            int64_t const job = NewJob(appId);
            std::vector<std::string> args = {self, "--replicate-one", copy, std::to_string(job), std::to_string(appId)};
            if (side == 1) args = {self, "--clone-one", copy, std::to_string(job)};
            ::sync();
            std::string text, err;
            auto t0 = Clock::now();
            int rc = JzProcess::system(args, &text, &err, 0, true);
            auto t1 = Clock::now();
            if (rc != 0) {
                std::fprintf(stderr, "replica_clone[%s]: %s\n", names[side], err.c_str());
                ok = false;
                break;
            }
            wholeMs[side] = Ms(t0, t1);
            callMs[side] = std::atof(text.c_str());
            ok = DeleteSnapshots(job);
        }
        if (round == 0 || !ok) continue;  // warm-up
        for (int s = 0; s < 2; ++s) {
            whole[s].push_back(wholeMs[s]);
            call[s].push_back(callMs[s]);
        }
    }
    if (ok) {
        Stat w[2] = {Summary(whole[0]), Summary(whole[1])};
        Stat c[2] = {Summary(call[0]), Summary(call[1])};
        for (int s = 0; s < 2; ++s)
            std::printf("replica_clone[%d files]: %s road %.1f ms (min %.1f, max %.1f), of it the %s call %.1f ms "
                        "(min %.1f, max %.1f)\n",
                        files, names[s], w[s].median, w[s].min, w[s].max, s == 0 ? "replicate" : "create", c[s].median,
                        c[s].min, c[s].max);
        double const ratio = w[0].median / w[1].median;
        std::printf("replica_clone[%d files]: replica / clone %.3f (target <= 1.1) %s\n", files, ratio,
                    nuvbench::Target(ratio <= 1.1));
    }
    ok = DeleteSnapshots(sourceJob) && ok;
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    return nuvbench::ExitStatus(ok);
}
