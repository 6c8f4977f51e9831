// How long a snapshot create keeps an XFS volume frozen when the volume is a
// loop volume of the suite (its snapshot is a block clone of the image), set
// against three references measured in the same run:
//   idle    the freeze tool run to freeze and at once to thaw the same volume
//           (the cost of a freeze and thaw with nothing in between);
//   clone   the same freeze and thaw with only the clone of the volume's image
//           (FICLONE into the image pool, beside the image) between: the part
//           of the window that the pool's file system bounds (its cost grows
//           with the extents of the image, and so with the files);
//   reflink a reflink clone of the same tree (`cp -a --reflink=always` on the
//           volume), the fastest copy of its files.
// The engine's create runs its whole road in process (prepare before, flush,
// freeze, snap, thaw); the freeze tool is a copy wrapped (through the suite's
// substitution table) so that its xfs_io records when the freeze and the thaw
// are done; the window is the time between. The idle and clone sides run the
// same wrapped tool. Before each side the same sync; the order of the four
// sides turns every round; 5 rounds after a warm-up; median with min and max;
// the load average (1 minute) before and after the rounds of each count.
// For 10,000 and 100,000 files (NUV_BENCH_FILES: one count). Target: window
// <= idle + 50 ms, whatever the number of files. Needs root and loop devices;
// says "skipped" otherwise.
#include "bench/round_stats.h"
#include "nuvdbsnap/engine.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 5;  // after one warm-up round that is not counted
using Clock = std::chrono::steady_clock;

void Populate(std::string const& root, int files) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> size(1024, 64 * 1024);
    std::string block(64 * 1024, 'd');
    mkdir(root.c_str(), 0755);
    for (int i = 0; i < files; ++i) {
        std::string const sub = root + "/d" + std::to_string(i / 100);
        if (i % 100 == 0) mkdir(sub.c_str(), 0755);
        std::ofstream(sub + "/f" + std::to_string(i) + ".dat", std::ios::binary).write(block.data(), size(random));
    }
    sync();
}

// Freeze done to thaw done, from the stamps the wrapped xfs_io left; 0 when not seen.
double TakeWindow(std::string const& stamps) {
    double frozenAt = 0, thawedAt = 0;
    {
        std::ifstream done(stamps + ".done");
        done >> frozenAt >> thawedAt;
    }
    unlink((stamps + ".done").c_str());
    return frozenAt > 0 && thawedAt > 0 ? (thawedAt - frozenAt) * 1000.0 : 0;
}

double Load() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

// The volume's image cloned into `clone` (beside it, in the pool); false when it failed.
bool CloneImage(std::string const& image, std::string const& clone) {
    int const src = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (src < 0) return false;
    int const dst = ::open(clone.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool const ok = dst >= 0 && ::ioctl(dst, FICLONE, src) == 0;
    if (dst >= 0) ::close(dst);
    ::close(src);
    return ok;
}

struct Job {
    unsigned long appId = 0;
    unsigned long clientId = 0;
};

// A prepared utility of a new job over the mount point.
std::unique_ptr<NuvSnapUtil> Prepared(Job const& job, ApplicationId* application, std::string const& mountPoint) {
    nuvjobmgr::JobInfo info;
    if (nuvjobmgr::NewJob(static_cast<int64_t>(job.appId), 1, &info).IsError()) return nullptr;
    setenv("JZ_JOB_ID", std::to_string(info.id).c_str(), 1);
    auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), application, 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    if (util->addMountPoint(mountPoint.c_str(), nullptr) != 1) return nullptr;
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(info.id);
    CreateArgs_t request;
    request.backupType = 1;
    request.appId = static_cast<int64_t>(job.appId);
    request.clientId = static_cast<int64_t>(job.clientId);
    request.appType = 135;
    if (util->createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0) return nullptr;
    if (util->prepareSnapShot(nullptr, nullptr, false) != 0) return nullptr;
    return util;
}


}  // namespace

int main() {
    char rootTemplate[] = "/tmp/nuv-freeze-bench-root-XXXXXX";
    if (mkdtemp(rootTemplate) == nullptr) return 1;
    std::string const base = rootTemplate;
    setenv("JZ_SUITE_ROOT", (base + "/state").c_str(), 1);
    setenv("JZREG", (base + "/state/registry").c_str(), 1);
    setenv("JZ_LOG_FILE", (base + "/bench.log").c_str(), 1);
    auto cleanUp = [&] {
        std::error_code ec;
        std::filesystem::remove_all(base, ec);
    };
    std::string why;
    if (!nuvsnapmgr::LoopVolumesAvailable(&why)) {
        std::printf("freeze_window: skipped (%s)\n", why.c_str());
        cleanUp();
        return 0;
    }

    // The freeze tool, wrapped: its copy runs the wrapped xfs_io beside it,
    // which records when the freeze and the thaw are done.
    std::string const stamps = base + "/stamps";
    std::string const tools = base + "/tools";
    mkdir(tools.c_str(), 0755);
    std::filesystem::copy_file(NuvDBQuiesceFS::kFreezeTool, tools + "/xfs_freeze");
    std::ofstream(tools + "/xfs_io") << "#!/bin/sh\n"
                                     << "/usr/sbin/xfs_io \"$@\"\nrc=$?\n"
                                     << "date +%s.%N >> '" << stamps << ".done'\n"
                                     << "exit $rc\n";
    chmod((tools + "/xfs_freeze").c_str(), 0755);
    chmod((tools + "/xfs_io").c_str(), 0755);
    std::string const freezeTool = tools + "/xfs_freeze";
    nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, freezeTool);

    Job job;
    nuvappmgr::ClientDecl client;
    client.name = JZPI_Focus::getFocusClientName(true);
    nuvappmgr::SubclientDecl sub;
    sub.name = "default";
    unsigned long subId = 0;
    if (nuvappmgr::DeclareClient(client, &job.clientId).IsError() || nuvappmgr::DeclareSubclient(sub, &subId).IsError())
        return 1;
    nuvappmgr::ApplicationDecl app;
    app.clientId = job.clientId;
    app.appType = 135;  // SAP HANA: its XFS volumes are frozen by default
    app.subclientId = subId;
    if (nuvappmgr::DeclareApplication(app, &job.appId).IsError()) return 1;
    ApplicationId application(nuvsuite::kLocalBrannoxId, job.appId);

    std::vector<int> counts = {10000, 100000};
    if (char const* only = std::getenv("NUV_BENCH_FILES")) counts = {std::atoi(only)};
    int failures = 0;
    for (int files : counts) {
        nuvsnapmgr::LoopVolume volume;
        std::string const name = "bench" + std::to_string(files);
        CFzError e = nuvsnapmgr::CreateLoopVolume(name, "xfs", (files > 20000 ? 12ull : 3ull) << 30, &volume);
        if (e.IsError()) {
            std::printf("freeze_window: skipped (%s)\n", e.AsString().c_str());
            break;
        }
        Populate(volume.mountPoint + "/tree", files);
        std::vector<double> windows, idles, clones, reflinks;
        std::string method;
        double const loadBefore = Load();
        for (int round = 0; round <= kRounds && failures == 0; ++round) {
            double windowMs = 0, idleMs = 0, cloneMs = 0, reflinkMs = 0;
            for (int k = 0; k < 4; ++k) {
                int const side = (round + k) % 4;  // the order turns every round
                if (side == 0) {  // the engine's create
                    auto util = Prepared(job, &application, volume.mountPoint);
                    if (!util) {
                        std::printf("freeze_window: prepare failed\n");
                        ++failures;
                        break;
                    }
                    sync();
                    SMVolSnapInfo made;
                    if (util->createSnapShot(nullptr, nullptr, false, &made) != 0) {
                        std::printf("freeze_window: create failed\n");
                        ++failures;
                        break;
                    }
                    windowMs = TakeWindow(stamps);
                    std::vector<nuvsuite::CatRow> rows;
                    (void)nuvsuite::Catalogue::Instance().Query(
                        "SELECT method FROM sm_snapshots ORDER BY id DESC LIMIT 1", {}, &rows);
                    if (!rows.empty()) method = nuvsuite::AsText(rows[0][0]);
                    if (!JZSnapClientAPI().deleteVolumeSnaps(made)) ++failures;
                } else if (side == 1) {  // idle freeze and thaw by the same tool
                    std::string out, err;
                    sync();
                    if (JzProcess::system({freezeTool, "-f", volume.mountPoint}, &out, &err, 0, true) != 0 ||
                        JzProcess::system({freezeTool, "-u", volume.mountPoint}, &out, &err, 0, true) != 0) {
                        std::printf("freeze_window: idle freeze failed: %s\n", err.c_str());
                        ++failures;
                        break;
                    }
                    idleMs = TakeWindow(stamps);
                } else if (side == 2) {  // the image's clone alone under the same freeze
                    std::string out, err;
                    std::string const clone = volume.image + ".bench-clone";
                    sync();
                    if (JzProcess::system({freezeTool, "-f", volume.mountPoint}, &out, &err, 0, true) != 0) {
                        std::printf("freeze_window: freeze for the clone failed: %s\n", err.c_str());
                        ++failures;
                        break;
                    }
                    bool const cloned = CloneImage(volume.image, clone);
                    int const thawed = JzProcess::system({freezeTool, "-u", volume.mountPoint}, &out, &err, 0, true);
                    ::unlink(clone.c_str());
                    if (!cloned || thawed != 0) {
                        std::printf("freeze_window: the image's clone under a freeze failed: %s\n", err.c_str());
                        ++failures;
                        break;
                    }
                    cloneMs = TakeWindow(stamps);
                } else {  // reflink clone of the same tree
                    std::string out, err;
                    std::string const target = volume.mountPoint + "/cp-copy";
                    sync();
                    auto t0 = Clock::now();
                    int rc = JzProcess::system({"/bin/cp", "-a", "--reflink=always", volume.mountPoint + "/tree", target},
                                               &out, &err, 0, true);
                    reflinkMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                    std::filesystem::remove_all(target);
                    if (rc != 0) {
                        std::printf("freeze_window: cp failed: %s\n", err.c_str());
                        ++failures;
                        break;
                    }
                }
            }
            if (failures || round == 0) continue;
            if (windowMs <= 0 || idleMs <= 0 || cloneMs <= 0) {
                std::printf("freeze_window: the freeze was not observed\n");
                ++failures;
                continue;
            }
            windows.push_back(windowMs);
            idles.push_back(idleMs);
            clones.push_back(cloneMs);
            reflinks.push_back(reflinkMs);
        }
        double const loadAfter = Load();
        if (failures) {  // the volume goes on every road
            std::filesystem::remove_all(volume.mountPoint + "/tree");
            if (nuvsnapmgr::RemoveLoopVolume(name).IsError())
                std::printf("freeze_window: volume %s left\n", name.c_str());
            break;
        }
        nuvbench::Stat w = nuvbench::Summary(windows), i = nuvbench::Summary(idles), c = nuvbench::Summary(clones),
                       r = nuvbench::Summary(reflinks);
        std::printf("freeze_window[%d files, snapshot by %s, load %.1f to %.1f]: frozen %.1f ms (min %.1f, max %.1f); "
                    "idle freeze and thaw %.1f ms (min %.1f, max %.1f); the image's clone under a freeze %.1f ms (min "
                    "%.1f, max %.1f); reflink clone of the tree %.1f ms (min %.1f, max %.1f)\n",
                    files, method.c_str(), loadBefore, loadAfter, w.median, w.min, w.max, i.median, i.min, i.max,
                    c.median, c.min, c.max, r.median, r.min, r.max);
        std::printf("freeze_window[%d files]: window - idle = %.1f ms (target <= 50 ms) %s; of it the image's clone "
                    "(clone under a freeze - idle) %.1f ms, the rest of the create %.1f ms; window / reflink clone = "
                    "%.3f\n",
                    files, w.median - i.median, nuvbench::Target(w.median - i.median <= 50.0), c.median - i.median,
                    w.median - c.median, w.median / r.median);
        std::fflush(stdout);
        std::filesystem::remove_all(volume.mountPoint + "/tree");
        if (nuvsnapmgr::RemoveLoopVolume(name).IsError()) std::printf("freeze_window: volume %s left\n", name.c_str());
    }
    nuvsuite::ClearSubstitutions();
    cleanUp();
    return nuvbench::ExitStatus(failures == 0);
}
