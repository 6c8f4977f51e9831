// The restore tests' scene: a PostgreSQL application of the local suite with
// data volumes (plain directories, snapped as copies), snap backup jobs of
// them, a restore job registered with the job manager, the file-restore
// program in the base home directory, and tree comparison.
#pragma once

#include "support/engine_fixture.h"

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/restore.h"

#include <cstring>
#include <dirent.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nuvrestoretest {

using namespace nuvenginetest;

// The roads of a restore: partial through the restore-files client, streams
// (multi-stream workers in the restore's process), full through the
// file-restore program.
enum class Road { Partial, Streams, Full };

// One snap backup job: its id and, per volume, the archive file made for it.
struct SnapJob {
    int64_t jobId = 0;
    std::map<std::string, uint32_t> archFiles;  // volume path -> archive file id
};

// A listing of a tree: relative path -> "d", "l:<target>" or "f:<content>".
inline void ListTree(std::string const& root, std::string const& rel, std::map<std::string, std::string>& out) {
    std::string const dir = rel.empty() ? root : root + "/" + rel;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
    for (auto const& n : names) {
        std::string const r = rel.empty() ? n : rel + "/" + n;
        std::string const p = root + "/" + r;
        struct stat st;
        lstat(p.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            out[r] = "d";
            ListTree(root, r, out);
        } else if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t k = readlink(p.c_str(), buf, sizeof buf);
            out[r] = "l:" + std::string(buf, k > 0 ? static_cast<size_t>(k) : 0);
        } else {
            out[r] = "f:" + ReadFile(p);
        }
    }
}

// The entries of directory `dir` (its "." and ".." left out), each as
// `source`/<entry> to `dest`/<entry>: a whole tree handed over entry by entry.
inline std::vector<std::pair<std::string, std::string>> EntriesOf(std::string const& dir, std::string const& source,
                                                                  std::string const& dest) {
    std::vector<std::pair<std::string, std::string>> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            out.push_back({source + "/" + e->d_name, dest + "/" + e->d_name});
    closedir(d);
    return out;
}

inline std::map<std::string, std::string> Tree(std::string const& root) {
    std::map<std::string, std::string> out;
    ListTree(root, "", out);
    return out;
}

class RestoreTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareApp(125);
        m_app = m_appId;
        nuvtest::InstallBaseHomeProgram("Brisvolk.exe");
    }

    void TearDown() override {
        // Whatever a failed test left mounted goes with the state root.
        for (auto const& job : m_snapJobs) {
            SMVolSnapInfo record;
            record.setSnapJobId(static_cast<int>(job));
            record.setBrannoxId(2);
            JZSnapClientAPI client;
            if (client.getVolumeSnaps(record)) {
                for (auto& v : record.volumes()) v.setMountPath("");
                (void)client.unmount(record);
            }
        }
    }

    // A data volume (a plain directory) with a small tree: files, a
    // subdirectory, a one-character directory name and a link.
    std::string MakeVolume(std::string const& name) {
        std::string const v = MakeDir(m_root.base() + "/" + name);
        WriteFile(v + "/PG_VERSION", "15\n");
        MakeDir(v + "/base");
        MakeDir(v + "/base/1");
        WriteFile(v + "/base/1/1259", "pg_class rows of " + name + "\n");
        WriteFile(v + "/base/1/2608", std::string(70000, 'x') + name);
        MakeDir(v + "/g");
        WriteFile(v + "/g/pg_control", "control of " + name);
        symlink("base/1", (v + "/current").c_str());
        DeclareVolume(v, "/dev/fake" + name, "ext4", "rw,relatime");
        return v;
    }

    // A snap backup job of these volumes (its own job of the application);
    // the volumes change after the snapshot, so a restore shows the snapshot.
    SnapJob Snapshot(std::vector<std::string> const& volumes) {
        SnapJob job;
        nuvjobmgr::JobInfo info;
        EXPECT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_app), 1, &info).IsError());
        job.jobId = info.id;
        setenv("JZ_JOB_ID", std::to_string(info.id).c_str(), 1);
        auto util = std::make_unique<NuvSnapUtil>(2, JZBkpLevel(1), m_application.get(), 0, false, nullptr, nullptr,
                                                  SPAWN_IN_PROCESS);
        EXPECT_FALSE(util->initialize().IsError());
        for (auto const& v : volumes) EXPECT_EQ(1, util->addMountPoint(v.c_str(), nullptr));
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID(info.id);
        CreateArgs_t request = Request();
        EXPECT_EQ(0, util->createSnapArchiveFiles(archive, request, nullptr, nullptr));
        EXPECT_EQ(0, util->prepareSnapShot(nullptr, nullptr, false));
        SMVolSnapInfo out;
        EXPECT_EQ(0, util->preCreateSnapShot(nullptr, nullptr, false, &out));
        EXPECT_EQ(0, util->createSnapShot(nullptr, nullptr, false, &out));
        EXPECT_EQ(0, util->postCreateSnapShot(nullptr, nullptr, false, &out));
        for (auto const& v : out.volumes()) job.archFiles[v.getSourcePath()] = static_cast<uint32_t>(v.getArchFileId());
        m_snapJobs.push_back(info.id);
        for (auto const& v : volumes) {
            m_snapTrees[v + "#" + std::to_string(info.id)] = Tree(v);
            WriteFile(v + "/base/1/1259", "changed after the snapshot\n");
            WriteFile(v + "/later", "written after the snapshot\n");
        }
        return job;
    }

    // The tree of a volume as a snap job saw it.
    std::map<std::string, std::string> const& SnapTree(std::string const& volume, SnapJob const& job) {
        return m_snapTrees[volume + "#" + std::to_string(job.jobId)];
    }

    // A new restore job of the application, registered; its task names this
    // client as source and destination and the application type.
    void StartRestoreJob() {
        nuvjobmgr::JobInfo info;
        ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_app), 1, &info).IsError());
        m_restoreJob = info.id;
        setenv("JZ_JOB_ID", std::to_string(info.id).c_str(), 1);
        m_event.reset(new EvEvent(static_cast<uint64_t>(info.id)));
        m_ctrl.reset(new JZJobCtrlClient());
        ASSERT_TRUE(m_ctrl->Init2(info.id, nullptr, 0, 0, info.token.c_str(), nullptr));
        EvRstTask task(info.id, 0, nullptr, false);
        ASSERT_EQ(0, task.setSourceClientId(m_clientId, nullptr));
        ASSERT_EQ(0, task.setDestinationClientId(m_clientId, nullptr));
        ASSERT_EQ(0, task.setAppTypeId(static_cast<uint64_t>(m_appType), nullptr));
    }

    // An archive file of a snap job whose one data file is the whole volume.
    ArchFileInfo WholeVolume(SnapJob const& job, std::string const& volume, std::string const& dest) {
        ArchFileInfo af;
        af.snapJobId = static_cast<uint64_t>(job.jobId);
        af.brannoxId = 2;
        af.archFileId = job.archFiles.at(volume);
        af.archFileKind = 0;
        DataFileInfo df;
        df.srcPath = volume;
        df.destPath = dest;
        af.dataFiles.push_back(df);
        return af;
    }

    // A restore object for the restore job (full constructor, then Init).
    std::unique_ptr<NuvSnapRestore> MakeRestore(bool full, unsigned long flags = 0, int strip = 0) {
        auto r = std::make_unique<NuvSnapRestore>(
            m_event.get(), nuvsuite::LocalMangledHostName(), nuvsuite::LocalMangledHostName(), "", nullptr, 0, nullptr,
            0, flags, m_restoreJob, 0, static_cast<unsigned long>(m_appType), 2, 0, nullptr, nullptr, m_clientId, false,
            strip, full, m_ctrl.get());
        EXPECT_EQ(1, r->Init(m_ctrl.get()));
        return r;
    }

    // Restores on `road` as the restore job started last: the streams road
    // restores `streams`, the others the archive file `af` of `job`; the
    // road's result.
    int RunRoad(Road road, SnapJob const& job, ArchFileInfo const& af, std::map<int, std::list<ArchFileInfo>> streams) {
        if (road == Road::Streams) {
            JzRstInitParams shared;
            JZRstJobClient jobClient(static_cast<uint64_t>(m_restoreJob));
            MultiThreadedRestoreParams params(m_event.get(), streams, 0x8, shared, &jobClient, m_ctrl.get(), false,
                                              nullptr, nullptr);
            return NuvSnapRestore::multithreadedRestore(params);
        }
        std::list<ArchFileInfo> list{af};
        auto restore = MakeRestore(road == Road::Full);
        int const rc = restore->restoreData(job.jobId, true, list, nullptr, nullptr);
        (void)restore->Finalize(nullptr);
        return rc;
    }

    unsigned long m_app = 0;
    int64_t m_restoreJob = 0;
    std::unique_ptr<EvEvent> m_event;
    std::unique_ptr<JZJobCtrlClient> m_ctrl;
    std::vector<int64_t> m_snapJobs;
    std::map<std::string, std::map<std::string, std::string>> m_snapTrees;
};

}  // namespace nuvrestoretest
