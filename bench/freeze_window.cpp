// How long a snapshot keeps the volume frozen, against the time the snapshot
// itself (the clone of the volume) takes, on an XFS loop volume with a few
// thousand files. The freeze tool is replaced (through the suite's substitution
// table) by a copy wrapped to record when the freeze is done and when the thaw
// is done; the window is the time between. The clone time is the snapshot
// manager's create of the same, unfrozen volume. Both start from a synced
// system; medians over five rounds after a warm-up. Target: window <= 1.2 x clone.
// Needs root, loop devices and mkfs.xfs; says "skipped" otherwise.
#include "nuvdbsnap/engine.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 2000;
constexpr int kRounds = 5;  // after one warm-up round that is not counted

std::string g_why;
std::string g_base;  // removed at exit, after the suite's own objects are gone

struct LoopVolume {
    std::string dir, image, device, mountPoint;
    bool mounted = false;

    bool make() {
        if (geteuid() != 0) return g_why = "needs root", false;
        char tmpl[] = "/tmp/nuv-freeze-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) return g_why = "mkdtemp failed", false;
        dir = tmpl;
        image = dir + "/image";
        mountPoint = dir + "/mnt";
        std::string out, err;
        if (JzProcess::system({"truncate", "-s", "768M", image}, &out, &err) != 0) return g_why = err, false;
        if (JzProcess::system({"mkfs.xfs", "-q", "-m", "reflink=1", image}, &out, &err) != 0)
            return g_why = "mkfs.xfs: " + err, false;
        if (JzProcess::system({"losetup", "--find", "--show", image}, &out, &err) != 0)
            return g_why = "losetup: " + err, false;
        device = out.substr(0, out.find('\n'));
        mkdir(mountPoint.c_str(), 0755);
        if (mount(device.c_str(), mountPoint.c_str(), "xfs", 0, nullptr) != 0) return g_why = "mount failed", false;
        mounted = true;
        return true;
    }
    ~LoopVolume() {
        std::string out, err;
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
        if (!device.empty()) (void)JzProcess::system({"losetup", "-d", device}, &out, &err);
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

void Populate(std::string const& root) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> size(1024, 64 * 1024);
    std::string block(64 * 1024, 'd');
    for (int i = 0; i < kFiles; ++i) {
        std::string const sub = root + "/d" + std::to_string(i % 40);
        mkdir(sub.c_str(), 0755);
        std::ofstream(sub + "/f" + std::to_string(i) + ".dat", std::ios::binary).write(block.data(), size(random));
    }
    sync();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ReadTime(std::string const& path) {
    std::ifstream in(path);
    double t = 0;
    in >> t;
    return t;
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
    g_base = base;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_base, ec);
    });
    setenv("JZ_SUITE_ROOT", (base + "/state").c_str(), 1);
    setenv("JZREG", (base + "/state/registry").c_str(), 1);

    LoopVolume volume;
    if (!volume.make()) {
        std::printf("freeze_window: skipped (%s)\n", g_why.c_str());
        return 0;
    }
    Populate(volume.mountPoint);

    // The freeze tool, wrapped to record when it starts and ends; its copy runs
    // the wrapped xfs_io beside it, which records when the freeze and the thaw
    // are done. Frozen window: freeze done to thaw done.
    std::string const stamps = base + "/stamps";
    std::string const tools = base + "/tools";
    mkdir(tools.c_str(), 0755);
    std::string const wrapper = tools + "/timed_xfs_freeze";
    std::filesystem::copy_file(NuvDBQuiesceFS::kFreezeTool, tools + "/xfs_freeze");
    std::ofstream(wrapper) << "#!/bin/sh\n"
                           << "date +%s.%N > '" << stamps << "'\"$1\".start\n"
                           << "'" << tools << "/xfs_freeze' \"$@\"\nrc=$?\n"
                           << "date +%s.%N > '" << stamps << "'\"$1\".end\n"
                           << "exit $rc\n";
    std::ofstream(tools + "/xfs_io") << "#!/bin/sh\n"
                                     << "/usr/sbin/xfs_io \"$@\"\nrc=$?\n"
                                     << "date +%s.%N >> '" << stamps << ".done'\n"
                                     << "exit $rc\n";
    chmod(wrapper.c_str(), 0755);
    chmod((tools + "/xfs_freeze").c_str(), 0755);
    chmod((tools + "/xfs_io").c_str(), 0755);
    nuvsuite::SetSubstitution(NuvDBQuiesceFS::kFreezeTool, wrapper);

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

    std::vector<double> windows, toolWindows, clones;
    for (int round = 0; round <= kRounds; ++round) {
        // The freeze window of a whole create.
        auto util = Prepared(job, &application, volume.mountPoint);
        if (!util) return std::printf("freeze_window: prepare failed\n"), 1;
        sync();
        SMVolSnapInfo made;
        if (util->createSnapShot(nullptr, nullptr, false, &made) != 0)
            return std::printf("freeze_window: create failed\n"), 1;
        double const toolStart = ReadTime(stamps + "-f.start"), toolEnd = ReadTime(stamps + "-u.end");
        double frozenAt = 0, thawedAt = 0;
        {
            std::ifstream done(stamps + ".done");
            done >> frozenAt >> thawedAt;
        }
        if (toolStart == 0 || toolEnd == 0 || frozenAt == 0 || thawedAt == 0)
            return std::printf("freeze_window: the freeze was not observed\n"), 1;
        for (char const* ext : {"-f.start", "-f.end", "-u.start", "-u.end", ".done"}) unlink((stamps + ext).c_str());
        double const windowMs = (thawedAt - frozenAt) * 1000.0;
        double const toolsMs = (toolEnd - toolStart) * 1000.0;
        if (round > 0) {
            windows.push_back(windowMs);
            toolWindows.push_back(toolsMs);
        }
        JZSnapClientAPI().deleteVolumeSnaps(made);

        // The clone of the same volume, unfrozen.
        auto other = Prepared(job, &application, volume.mountPoint);
        if (!other) return std::printf("freeze_window: prepare failed\n"), 1;
        SMVolSnapInfo record;
        if (other->preCreateSnapShot(nullptr, nullptr, false, &record) != 0) return 1;
        sync();
        auto start = std::chrono::steady_clock::now();
        JZSnapClientAPI clientApi;
        if (!clientApi.createVolumeSnaps(record)) return std::printf("freeze_window: clone failed\n"), 1;
        double const cloneMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (round > 0) clones.push_back(cloneMs);
        std::printf("  round %d%s: frozen %.1f ms (freeze tool start to thaw tool end %.1f ms), clone %.1f ms\n", round,
                    round == 0 ? " (warm-up)" : "", windowMs, toolsMs, cloneMs);
        JZSnapClientAPI().deleteVolumeSnaps(record);
    }

    double const window = Median(windows), clone = Median(clones);
    std::printf("freeze_window: %d files on an XFS loop volume, %d rounds\n", kFiles, kRounds);
    std::printf("  freeze window (freeze done to thaw done): median %.1f ms\n", window);
    std::printf("  freeze tool start to thaw tool end:        median %.1f ms\n", Median(toolWindows));
    std::printf("  clone of the volume (snapshot create):     median %.1f ms\n", clone);
    std::printf("  ratio window / clone: %.3f (target <= 1.2) %s\n", window / clone,
                window / clone <= 1.2 ? "met" : "NOT met");
    return 0;
}
