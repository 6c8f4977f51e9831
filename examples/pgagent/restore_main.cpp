// pgsnaprestore: the sample PostgreSQL agent's restore of a snap backup.
//
//   pgsnaprestore full|partial|streams -j RESTORE_JOB -snapjob SNAP_JOB -data DIR -to DEST
//                 [-file REL]... [-streams N]
//
//   full     the whole data directory DIR of the snap job's snapshot to DEST,
//            through the file-restore program (one run per snap job);
//   partial  the files REL (relative to DIR) to DEST/REL, through the
//            restore-files client;
//   streams  the whole data directory in N streams at once (its entries dealt
//            round-robin), the streams sharing the snapshot's mount.
//
// The restore job is a job of the application made for the restore
// (jzsuite job new); its restore task names this client and PostgreSQL.
// The snap job's archive files come from the archive manager, the volume
// each one holds from the snapshot manager. Exit status 0 restored, 1 failed,
// 2 unusable arguments.
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/restore.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: pgsnaprestore full|partial|streams -j RESTORE_JOB -snapjob SNAP_JOB -data DIR -to DEST "
                         "[-file REL]... [-streams N]\n");
    return 2;
}

// The snap job's archive file whose volume holds `data`, with that volume.
bool ArchiveFileOf(long long snapJob, std::string const& data, ArchFileInfo* out) {
    ArMgrClientAPI arMgr;
    GetArchFileListForJobArgsCC_t args;
    args.brannoxId = 2;
    args.jobId = snapJob;
    std::vector<GetArchFileListForJobRetCC_t> files;
    if (arMgr.getArchFileListForJob(&args, &files) != 0) return false;
    for (auto const& f : files) {
        SMVolSnapInfo record;
        record.setBrannoxId(2);
        record.setArchFileId(static_cast<int>(f.archFileId));
        JZSnapClientAPI client;
        if (!client.getVolumeSnaps(record)) continue;
        for (auto const& v : record.volumes()) {
            std::string const& src = v.getSourcePath();
            if (data.compare(0, src.size(), src) != 0 || (data.size() > src.size() && data[src.size()] != '/')) continue;
            out->snapJobId = static_cast<uint64_t>(snapJob);
            out->brannoxId = 2;
            out->groupId = static_cast<uint32_t>(f.archGroupId);
            out->archFileId = static_cast<uint32_t>(f.archFileId);
            out->copyId = 0;
            out->archFileKind = 0;
            return true;
        }
    }
    return false;
}

DataFileInfo File(std::string const& src, std::string const& dest) {
    DataFileInfo df;
    df.srcPath = src;
    df.destPath = dest;
    return df;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string const mode = argv[1];
    std::map<std::string, std::string> options;
    std::vector<std::string> files;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-file") == 0)
            files.push_back(argv[i + 1]);
        else
            options[argv[i]] = argv[i + 1];
    }
    long long const job = std::atoll(options["-j"].c_str());
    long long const snapJob = std::atoll(options["-snapjob"].c_str());
    std::string const data = options["-data"], to = options["-to"];
    if (job <= 0 || snapJob <= 0 || data.empty() || to.empty() || (mode == "partial" && files.empty()) ||
        (mode != "full" && mode != "partial" && mode != "streams"))
        return Usage();

    nuvjobmgr::JobInfo info;
    if (!nuvjobmgr::GetJob(job, &info)) {
        std::fprintf(stderr, "pgsnaprestore: no job %lld\n", job);
        return 2;
    }
    JZJobCtrlClient ctrl;
    if (!ctrl.Init2(job, nullptr, 0, 0, info.token.c_str(), nullptr)) {
        std::fprintf(stderr, "pgsnaprestore: cannot register with job %lld\n", job);
        return 1;
    }
    unsigned long clientId = 0;
    JZClient self(JZPI_Focus::getFocusClientName(true), false, 0);
    (void)self.getClientId(clientId, nullptr);
    {
        EvRstTask task(job, 0, nullptr, false);
        (void)task.setSourceClientId(clientId, nullptr);
        (void)task.setDestinationClientId(clientId, nullptr);
        (void)task.setAppTypeId(125, nullptr);
    }
    ArchFileInfo af;
    if (!ArchiveFileOf(snapJob, data, &af)) {
        std::fprintf(stderr, "pgsnaprestore: no archive file of snap job %lld holds %s\n", snapJob, data.c_str());
        return 1;
    }
    EvEvent event(static_cast<uint64_t>(job));
    int rc = 0;
    size_t restoredFiles = 0;
    if (mode == "streams") {
        int const n = options.count("-streams") ? std::atoi(options["-streams"].c_str()) : 4;
        if (n < 1) return Usage();
        std::vector<std::string> entries;
        if (DIR* d = opendir(data.c_str())) {
            while (dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) entries.push_back(e->d_name);
            closedir(d);
        }
        // Every stream reads the same archive file: the snapshot's mount is shared.
        std::map<int, std::list<ArchFileInfo>> streams;
        for (size_t i = 0; i < entries.size(); ++i) {
            auto& list = streams[static_cast<int>(i % static_cast<size_t>(n))];
            if (list.empty()) list.push_back(af);
            list.front().dataFiles.push_back(File(data + "/" + entries[i], to + "/" + entries[i]));
        }
        JzRstInitParams shared;
        JZRstJobClient jobClient(static_cast<uint64_t>(job));
        MultiThreadedRestoreParams params(&event, streams, 0x8, shared, &jobClient, &ctrl, false, nullptr, nullptr);
        rc = NuvSnapRestore::multithreadedRestore(params);
        restoredFiles = entries.size();
    } else {
        if (mode == "full") {
            af.dataFiles.push_back(File(data, to));
        } else {
            for (auto const& f : files) af.dataFiles.push_back(File(data + "/" + f, to + "/" + f));
        }
        restoredFiles = af.dataFiles.size();
        std::list<ArchFileInfo> list{af};
        bool const full = mode == "full";
        std::string const host = nuvsuite::LocalMangledHostName();
        NuvSnapRestore restore(&event, host, host, "", nullptr, 0, nullptr, 0, 0, job, 0, 125, 2, 0, nullptr, nullptr,
                               clientId, false, 0, full, &ctrl);
        (void)restore.Init(&ctrl);
        rc = restore.restoreData(snapJob, true, list, nullptr, nullptr);
        JZRstJobClient jobClient(static_cast<uint64_t>(job));
        (void)restore.Finalize(&jobClient);
    }
    if (rc != 0) {
        std::fprintf(stderr, "pgsnaprestore %s: the restore failed with %d (see the log)\n", mode.c_str(), rc);
        return 1;
    }
    std::printf("pgsnaprestore %s: %zu path(s) of snap job %lld restored to %s (restore job %lld)\n", mode.c_str(),
                restoredFiles, snapJob, to.c_str(), job);
    return 0;
}
