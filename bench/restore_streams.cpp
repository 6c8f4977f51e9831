// bench_restore_streams: restores of a snap job of four volumes (plain
// directories, snapped as copies) whose files are 4 KiB each, every file
// listed as an agent lists a database's files, warm cache:
//   - one stream (all four archive files) against `cp -a` of the same tree on
//     the same file system (target: at least 0.9x its speed), and against
//     `cp -a --reflink=never` (reported);
//   - the user's roads, the sample agent's `pgsnaprestore full` and
//     `pgsnaprestore streams -streams 1`, each a side of its own, run as a
//     process per volume (its data directory), against the same (target: at
//     least 0.9x the speed of `cp -a` each);
//   - four streams (one archive file each) against one (target: at least 3x faster);
//   - the one-stream restore of 100,000 files against that of 10,000 (target:
//     at most 12x);
//   - 20 files of 256 MiB in one and in four streams, reported only.
// Each side is a whole road (the restore: restore job, task, per-job work,
// mounts, copies, unmounts, finalisation; pgsnaprestore: its processes;
// cp: a process copying the tree);
// the restore's list of files is made before the clock starts, as cp's
// argument vector is. The same sync before each side, the order rotated every
// round, median with min and max of 5 rounds. The client, subclient and
// application are declared once, so every case runs in one process.
// NUV_BENCH_CASES picks cases ("10k", "100k", "big"); NUV_BENCH_DIR is where
// the trees lie (default /tmp; /dev/shm measures without the disk). Run as
// root (mounts).
#include "bench/round_stats.h"

#include "nuvdbsnap/engine.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/restore.h"

#include <cstdlib>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
constexpr int kRounds = 5;
constexpr int kVolumes = 4;

bool Wanted(char const* name) {
    char const* cases = std::getenv("NUV_BENCH_CASES");
    return cases == nullptr || std::strstr(cases, name) != nullptr;
}

double Seconds(std::function<bool()> const& body, bool* ok) {
    sync();
    auto const start = std::chrono::steady_clock::now();
    if (!body()) *ok = false;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void WriteFile(std::string const& path, size_t size, char fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, fill);
    for (size_t done = 0; done < size; done += block.size())
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
}

// The scene: a snap job of four volumes of the bench's one PostgreSQL
// application. The client, its subclient and the application are declared
// once per process: the state root holds one client of a name.
struct Scene {
    unsigned long clientId = 0, appId = 0;
    std::vector<std::string> volumes;
    int64_t snapJob = 0;
    std::map<std::string, uint32_t> archFiles;
    size_t perVolume = 0;  // files of each volume: d<i / 1000>/f<i>
};

std::string FileOf(size_t i) {
    return "/d" + std::to_string(i / 1000) + "/f" + std::to_string(i);
}

struct Party {
    bool ok = false;
    unsigned long clientId = 0, appId = 0;
};

Party const& TheParty() {
    static Party const party = [] {
        Party p;
        nuvappmgr::ClientDecl client;
        client.name = JZPI_Focus::getFocusClientName(true);
        if (nuvappmgr::DeclareClient(client, &p.clientId).IsError()) return p;
        nuvappmgr::SubclientDecl sub;
        sub.name = "bench";
        unsigned long subId = 0;
        if (nuvappmgr::DeclareSubclient(sub, &subId).IsError()) return p;
        nuvappmgr::ApplicationDecl app;
        app.clientId = p.clientId;
        app.appType = 125;
        app.subclientId = subId;
        p.ok = !nuvappmgr::DeclareApplication(app, &p.appId).IsError();
        return p;
    }();
    return party;
}

bool MakeScene(std::string const& base, size_t files, size_t fileSize, Scene* scene) {
    Party const& party = TheParty();
    if (!party.ok) return false;
    scene->clientId = party.clientId;
    scene->appId = party.appId;
    size_t const perVolume = files / kVolumes;
    scene->perVolume = perVolume;
    for (int v = 0; v < kVolumes; ++v) {
        std::string const vol = base + "/vol" + std::to_string(v);
        for (size_t i = 0; i < perVolume; ++i) {
            std::string const dir = vol + "/d" + std::to_string(i / 1000);
            if (i % 1000 == 0) fs::create_directories(dir);
            WriteFile(vol + FileOf(i), fileSize, static_cast<char>('a' + v));
        }
        if (nuvsuite::Catalogue::Instance()
                .Exec("INSERT OR REPLACE INTO sm_volumes(path, device, fstype, options) VALUES(?, ?, 'ext4', 'rw')",
                      {vol, "bench:" + vol})
                .IsError())
            return false;
        scene->volumes.push_back(vol);
    }
    nuvjobmgr::JobInfo job;
    if (nuvjobmgr::NewJob(static_cast<int64_t>(scene->appId), 1, &job).IsError()) return false;
    ::setenv("JZ_JOB_ID", std::to_string(job.id).c_str(), 1);
    ApplicationId application(2, scene->appId);
    NuvSnapUtil util(2, JZBkpLevel(1), &application, 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    if (util.initialize().IsError()) return false;
    for (auto const& v : scene->volumes)
        if (util.addMountPoint(v.c_str(), nullptr) != 1) return false;
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(job.id);
    CreateArgs_t request;
    request.backupType = 1;
    request.appId = static_cast<int64_t>(scene->appId);
    request.clientId = static_cast<int64_t>(scene->clientId);
    request.appType = 125;
    SMVolSnapInfo out;
    if (util.createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0 ||
        util.prepareSnapShot(nullptr, nullptr, false) != 0 || util.preCreateSnapShot(nullptr, nullptr, false, &out) != 0 ||
        util.createSnapShot(nullptr, nullptr, false, &out) != 0 || util.postCreateSnapShot(nullptr, nullptr, false, &out) != 0)
        return false;
    for (auto const& v : out.volumes()) scene->archFiles[v.getSourcePath()] = static_cast<uint32_t>(v.getArchFileId());
    scene->snapJob = job.id;
    return scene->archFiles.size() == kVolumes;
}

using StreamLists = std::map<int, std::list<ArchFileInfo>>;

// What the restore is given: every file of every volume (each listed, as an
// agent lists a database's files) to dest/volN, one volume's archive file to
// a stream in turn. Made before the clock starts, like cp's argument vector.
StreamLists Lists(Scene const& scene, std::string const& dest, int streams) {
    StreamLists map;
    for (int v = 0; v < kVolumes; ++v) {
        ArchFileInfo af;
        af.snapJobId = static_cast<uint64_t>(scene.snapJob);
        af.brannoxId = 2;
        af.archFileId = scene.archFiles.at(scene.volumes[static_cast<size_t>(v)]);
        for (size_t i = 0; i < scene.perVolume; ++i) {
            DataFileInfo df;
            df.srcPath = scene.volumes[static_cast<size_t>(v)] + FileOf(i);
            df.destPath = dest + "/vol" + std::to_string(v) + FileOf(i);
            af.dataFiles.push_back(std::move(df));
        }
        map[v % streams].push_back(std::move(af));
    }
    return map;
}

// One restore of the lists in a restore job of its own.
bool Restore(Scene const& scene, StreamLists& map) {
    nuvjobmgr::JobInfo job;
    if (nuvjobmgr::NewJob(static_cast<int64_t>(scene.appId), 1, &job).IsError()) return false;
    JZJobCtrlClient ctrl;
    if (!ctrl.Init2(job.id, nullptr, 0, 0, job.token.c_str(), nullptr)) return false;
    {
        EvRstTask task(job.id, 0, nullptr, false);
        (void)task.setSourceClientId(scene.clientId, nullptr);
        (void)task.setDestinationClientId(scene.clientId, nullptr);
        (void)task.setAppTypeId(125, nullptr);
    }
    EvEvent event(static_cast<uint64_t>(job.id));
    JzRstInitParams shared;
    JZRstJobClient jobClient(static_cast<uint64_t>(job.id));
    MultiThreadedRestoreParams params(&event, map, 0x8, shared, &jobClient, &ctrl, false, nullptr, nullptr);
    return NuvSnapRestore::multithreadedRestore(params) == 0;
}

// cp of the four volumes to dest, plain (`cp -a`, which copies as the file
// system likes best) or with `--reflink=never` (every byte read and written).
bool CopyTree(Scene const& scene, std::string const& dest, bool reflinkNever) {
    fs::create_directories(dest);
    std::vector<std::string> argv{"cp", "-a"};
    if (reflinkNever) argv.push_back("--reflink=never");
    for (auto const& v : scene.volumes) argv.push_back(v);
    argv.push_back(dest + "/");
    std::string out, err;
    return JzProcess::system(argv, &out, &err) == 0;
}

// The user's roads: the sample agent's restore program (`full`, or `streams
// -streams 1`), a process per volume (its data directory), each in a restore
// job of its own, one after another.
bool RestoreProgram(Scene const& scene, std::string const& program, std::string const& dest, bool streams) {
    for (size_t v = 0; v < scene.volumes.size(); ++v) {
        nuvjobmgr::JobInfo job;
        if (nuvjobmgr::NewJob(static_cast<int64_t>(scene.appId), 1, &job).IsError()) return false;
        std::string const to = dest + "/vol" + std::to_string(v);
        std::string out, err;
        std::vector<std::string> argv{program, streams ? "streams" : "full", "-j", std::to_string(job.id),
                                      "-snapjob", std::to_string(scene.snapJob), "-data", scene.volumes[v], "-to", to};
        if (streams) {
            argv.push_back("-streams");
            argv.push_back("1");
        }
        if (JzProcess::system(argv, &out, &err) != 0) {
            std::fprintf(stderr, "restore_streams: %s failed: %s\n", program.c_str(), err.c_str());
            return false;
        }
        if (!fs::exists(to + FileOf(scene.perVolume - 1))) return false;
    }
    return true;
}

// The machine's load (1-minute average), printed beside each figure.
double Load() {
    double load[1] = {0};
    return ::getloadavg(load, 1) == 1 ? load[0] : -1;
}

struct Sides {
    nuvbench::Stat one, four, program, programStreams, cp, cpNever;
};

bool RunCase(char const* name, std::string const& base, size_t files, size_t fileSize, bool withReferences,
             Sides* sides) {
    std::string const work = base + "/" + name;
    fs::create_directories(work);
    Scene scene;
    if (!MakeScene(work, files, fileSize, &scene)) {
        std::fprintf(stderr, "restore_streams[%s]: the scene could not be made\n", name);
        return false;
    }
    std::string const program = fs::canonical("/proc/self/exe").parent_path() / "pgsnaprestore";
    std::vector<double> one, four, byProgram, byProgramStreams, cp, cpNever;
    bool ok = true;
    std::string const dest = work + "/dest";
    std::vector<std::function<void()>> sidesToRun{
        [&] {
            StreamLists lists = Lists(scene, dest, 1);
            one.push_back(Seconds([&] { return Restore(scene, lists); }, &ok));
        },
        [&] {
            StreamLists lists = Lists(scene, dest, 4);
            four.push_back(Seconds([&] { return Restore(scene, lists); }, &ok));
        },
    };
    if (withReferences) {
        // Each program road is a side of its own, timed alone.
        sidesToRun.push_back(
            [&] { byProgram.push_back(Seconds([&] { return RestoreProgram(scene, program, dest, false); }, &ok)); });
        sidesToRun.push_back([&] {
            byProgramStreams.push_back(Seconds([&] { return RestoreProgram(scene, program, dest, true); }, &ok));
        });
        sidesToRun.push_back([&] { cp.push_back(Seconds([&] { return CopyTree(scene, dest, false); }, &ok)); });
        sidesToRun.push_back([&] { cpNever.push_back(Seconds([&] { return CopyTree(scene, dest, true); }, &ok)); });
    }
    for (int round = 0; round < kRounds; ++round) {
        for (size_t k = 0; k < sidesToRun.size(); ++k) {
            std::error_code ec;
            fs::remove_all(dest, ec);
            sync();
            sidesToRun[(k + static_cast<size_t>(round)) % sidesToRun.size()]();
        }
    }
    std::error_code ec;
    fs::remove_all(work, ec);
    if (!ok) {
        std::fprintf(stderr, "restore_streams[%s]: a round failed\n", name);
        return false;
    }
    sides->one = nuvbench::Summary(one);
    sides->four = nuvbench::Summary(four);
    std::printf("restore_streams[%s]: 1 stream %.3f s (min %.3f, max %.3f); 4 streams %.3f s (min %.3f, max %.3f) "
                "[load %.1f]\n",
                name, sides->one.median, sides->one.min, sides->one.max, sides->four.median, sides->four.min,
                sides->four.max, Load());
    if (withReferences) {
        sides->program = nuvbench::Summary(byProgram);
        sides->programStreams = nuvbench::Summary(byProgramStreams);
        sides->cp = nuvbench::Summary(cp);
        sides->cpNever = nuvbench::Summary(cpNever);
        std::printf("restore_streams[%s]: pgsnaprestore full, a process per volume %.3f s (min %.3f, max %.3f) "
                    "[load %.1f]\n",
                    name, sides->program.median, sides->program.min, sides->program.max, Load());
        std::printf("restore_streams[%s]: pgsnaprestore streams -streams 1, a process per volume %.3f s (min %.3f, "
                    "max %.3f) [load %.1f]\n",
                    name, sides->programStreams.median, sides->programStreams.min, sides->programStreams.max, Load());
        std::printf("restore_streams[%s]: cp -a %.3f s (min %.3f, max %.3f); cp -a --reflink=never %.3f s (min %.3f, "
                    "max %.3f) [load %.1f]\n",
                    name, sides->cp.median, sides->cp.min, sides->cp.max, sides->cpNever.median, sides->cpNever.min,
                    sides->cpNever.max, Load());
    }
    std::fflush(stdout);
    return true;
}

void Verdict(char const* what, double value, bool met, char const* target) {
    std::printf("restore_streams: %s %.2f (target %s) %s [load %.1f]\n", what, value, target, nuvbench::Target(met),
                Load());
}

void Reported(char const* what, double value) {
    std::printf("restore_streams: %s %.2f (reported) [load %.1f]\n", what, value, Load());
}

}  // namespace

int main() {
    char const* where = std::getenv("NUV_BENCH_DIR");
    std::string const pattern = std::string(where != nullptr && where[0] != '\0' ? where : "/tmp") +
                                "/nuv-bench-restore-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) return 1;
    std::string const base = buf.data();
    ::setenv("JZ_SUITE_ROOT", (base + "/state").c_str(), 1);
    ::setenv("JZREG", (base + "/state/registry").c_str(), 1);
    ::setenv("JZ_LOG_FILE", (base + "/bench.log").c_str(), 1);
    // The base home gets the suite's programs (the file-restore program among
    // them), as on an installed client.
    std::string out, err;
    if (JzProcess::system({(fs::canonical("/proc/self/exe").parent_path() / "jzsuite").string(), "init"}, &out,
                          &err) != 0) {
        std::fprintf(stderr, "restore_streams: jzsuite init failed: %s\n", err.c_str());
        return 1;
    }
    bool ok = true;
    Sides tenK{}, hundredK{};
    bool haveTen = false, haveHundred = false;
    if (Wanted("10k")) ok = (haveTen = RunCase("10k", base, 10000, 4096, true, &tenK)) && ok;
    if (Wanted("100k")) {
        ok = (haveHundred = RunCase("100k", base, 100000, 4096, true, &hundredK)) && ok;
        if (haveHundred) {
            Verdict("1 stream speed / cp -a speed", hundredK.cp.median / hundredK.one.median,
                    hundredK.cp.median / hundredK.one.median >= 0.9, ">= 0.9");
            Verdict("pgsnaprestore full speed / cp -a speed", hundredK.cp.median / hundredK.program.median,
                    hundredK.cp.median / hundredK.program.median >= 0.9, ">= 0.9");
            Verdict("pgsnaprestore streams -streams 1 speed / cp -a speed",
                    hundredK.cp.median / hundredK.programStreams.median,
                    hundredK.cp.median / hundredK.programStreams.median >= 0.9, ">= 0.9");
            Reported("1 stream speed / cp -a --reflink=never speed", hundredK.cpNever.median / hundredK.one.median);
            Reported("pgsnaprestore speed / cp -a --reflink=never speed",
                     hundredK.cpNever.median / hundredK.program.median);
            Verdict("4 streams speed-up over 1", hundredK.one.median / hundredK.four.median,
                    hundredK.one.median / hundredK.four.median >= 3.0, ">= 3");
        }
    }
    if (haveTen && haveHundred)
        Verdict("1 stream, 100k / 10k files", hundredK.one.median / tenK.one.median,
                hundredK.one.median / tenK.one.median <= 12.0, "<= 12");
    if (Wanted("big")) {
        Sides big{};
        ok = RunCase("big", base, 20, 256u << 20, false, &big) && ok;
    }
    std::error_code ec;
    fs::remove_all(base, ec);
    return nuvbench::ExitStatus(ok);
}
