// pgsnaprestore: the sample PostgreSQL agent's restore of a snap backup.
//
//   pgsnaprestore full|partial|streams -j RESTORE_JOB -snapjob SNAP_JOB -data DIR -to DEST
//                 [-file REL]... [-streams N]
//
//   full     the whole data directory DIR of the snap job's snapshot to DEST,
//            through the file-restore program (one run per snap job);
//   partial  the files REL (relative to DIR) to DEST/REL, through the
//            restore-files client;
//   streams  the whole data directory in N streams at once (the entries the
//            snapshot holds dealt round-robin), the streams sharing the
//            snapshot's mount.
//
// The restore job is a job of the application made for the restore
// (jzsuite job new); its restore task names this client and PostgreSQL.
// The snap job's archive files come from the archive manager, the volume
// each one holds from the snapshot manager. Numbers are whole numbers, DIR
// and DEST absolute paths, DEST never the root directory, REL a relative path
// without "..". Once registered with the restore job, the program ends it as
// the job driver ends a backup job: completed or failed (killed when the job
// manager asked it to stop), with its end time; the restored files and bytes
// are the job's counts. A failure prints the cause the log names.
// Exit status 0 restored, 1 failed, 2 unusable arguments.
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/restorefiles/restore_files.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/restore.h"

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

int Usage(std::string const& error = "") {
    if (!error.empty()) std::fprintf(stderr, "pgsnaprestore: %s\n", error.c_str());
    std::fprintf(stderr, "usage: pgsnaprestore full|partial|streams -j RESTORE_JOB -snapjob SNAP_JOB -data DIR -to DEST "
                         "[-file REL]... [-streams N]\n");
    return 2;
}

struct Arguments {
    std::string mode;
    int64_t job = 0;
    int64_t snapJob = 0;
    int64_t streams = 4;
    std::string data;
    std::string to;
    std::vector<std::string> files;
};

bool AbsolutePath(std::string const& argument, std::string const& path, std::string* error) {
    if (!path.empty() && path[0] == '/') return true;
    *error = argument + ": '" + path + "' is not an absolute path";
    return false;
}

// False with *error naming the argument at fault.
bool ParseArguments(int argc, char** argv, Arguments* out, std::string* error) {
    if (argc < 2) {
        *error = "no mode";
        return false;
    }
    out->mode = argv[1];
    if (out->mode != "full" && out->mode != "partial" && out->mode != "streams") {
        *error = "unknown mode '" + out->mode + "'";
        return false;
    }
    std::set<std::string> const options{"-j", "-snapjob", "-data", "-to", "-file", "-streams"};
    std::set<std::string> seen;
    for (int i = 2; i < argc; i += 2) {
        std::string const option = argv[i];
        if (!options.count(option)) {
            *error = "unknown argument '" + option + "'";
            return false;
        }
        if (i + 1 >= argc || options.count(argv[i + 1])) {
            *error = option + ": a value is needed";
            return false;
        }
        if (option != "-file" && !seen.insert(option).second) {
            *error = option + " given twice";
            return false;
        }
        std::string const value = argv[i + 1];
        bool ok = true;
        if (option == "-j")
            ok = nuvsuite::ParseNumberArgument(option, value, 1, INT64_MAX, &out->job, error);
        else if (option == "-snapjob")
            ok = nuvsuite::ParseNumberArgument(option, value, 1, INT64_MAX, &out->snapJob, error);
        else if (option == "-streams")
            ok = nuvsuite::ParseNumberArgument(option, value, 1, 256, &out->streams, error);
        else if (option == "-data")
            ok = AbsolutePath(option, out->data = value, error);
        else if (option == "-to")
            ok = AbsolutePath(option, out->to = value, error);
        else
            out->files.push_back(value);
        if (!ok) return false;
    }
    for (char const* required : {"-j", "-snapjob", "-data", "-to"})
        if (!seen.count(required)) {
            *error = std::string(required) + " is needed";
            return false;
        }
    if (nuvrestorefiles::IsRootDirectory(out->to)) {
        *error = "-to: the root directory is no restore destination";
        return false;
    }
    if (out->mode == "partial" && out->files.empty()) {
        *error = "partial: -file is needed";
        return false;
    }
    if (out->mode != "partial" && !out->files.empty()) {
        *error = "-file: only for a partial restore";
        return false;
    }
    if (out->mode != "streams" && seen.count("-streams")) {
        *error = "-streams: only for a restore in streams";
        return false;
    }
    for (std::string const& f : out->files) {
        bool up = false;
        for (size_t start = 0; start <= f.size();) {
            size_t const slash = std::min(f.find('/', start), f.size());
            up = up || f.compare(start, slash - start, "..") == 0;
            start = slash + 1;
        }
        if (f.empty() || f[0] == '/' || up) {
            *error = "-file: '" + f + "' is no relative path inside the data directory";
            return false;
        }
    }
    return true;
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

// The entries of `data` as the snapshot of archive file `af` holds them (not
// as the live directory holds them now): the snapshot is mounted to list them.
bool SnapshotEntries(ArchFileInfo const& af, long long job, std::string const& data, std::vector<std::string>* out,
                     std::string* error) {
    SMVolSnapInfo record;
    record.setJobId(static_cast<int>(job));
    record.setBrannoxId(static_cast<int>(af.brannoxId));
    record.setArchFileId(static_cast<int>(af.archFileId));
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(record) || record.volumes().empty()) {
        *error = "archive file " + std::to_string(af.archFileId) + " has no snapshot";
        return false;
    }
    for (auto& v : record.volumes()) v.setMountPath("");
    if (!client.mountVolumes(record)) {
        client.getErrCodeAndStr(*error);
        *error = "the snapshot of archive file " + std::to_string(af.archFileId) + " was not mounted: " + *error;
        return false;
    }
    std::string const dir = nuvrestorefiles::PathInSnapshot(nuvrestorefiles::MountedVolumes(record), data);
    DIR* d = dir.empty() ? nullptr : opendir(dir.c_str());
    if (d != nullptr) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out->push_back(e->d_name);
        closedir(d);
    } else {
        *error = "the snapshot holds no directory " + data;
    }
    (void)client.unmount(record);
    return d != nullptr;
}

DataFileInfo File(std::string const& src, std::string const& dest) {
    DataFileInfo df;
    df.srcPath = src;
    df.destPath = dest;
    return df;
}

// The restore itself; 0 restored, else the restore's code with *cause set.
int Restore(Arguments const& a, JZJobCtrlClient& ctrl, std::string* cause) {
    long long const job = a.job, snapJob = a.snapJob;
    std::string const& data = a.data;
    std::string const& to = a.to;
    std::string const& mode = a.mode;
    std::vector<std::string> const& files = a.files;
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
        *cause = "no archive file of snap job " + std::to_string(snapJob) + " holds " + data;
        return 1;
    }
    EvEvent event(static_cast<uint64_t>(job));
    JZRstJobClient jobClient(static_cast<uint64_t>(job));
    if (mode == "streams") {
        int const n = static_cast<int>(a.streams);
        std::vector<std::string> entries;
        if (!SnapshotEntries(af, job, data, &entries, cause)) return 1;
        // Every stream reads the same archive file: the snapshot's mount is shared.
        std::map<int, std::list<ArchFileInfo>> streams;
        for (size_t i = 0; i < entries.size(); ++i) {
            auto& list = streams[static_cast<int>(i % static_cast<size_t>(n))];
            if (list.empty()) list.push_back(af);
            list.front().dataFiles.push_back(File(data + "/" + entries[i], to + "/" + entries[i]));
        }
        JzRstInitParams shared;
        MultiThreadedRestoreParams params(&event, streams, 0x8, shared, &jobClient, &ctrl, false, nullptr, nullptr);
        int const rc = NuvSnapRestore::multithreadedRestore(params);
        *cause = params.m_failureText;
        return rc;
    }
    if (mode == "full") {
        af.dataFiles.push_back(File(data, to));
    } else {
        for (auto const& f : files) af.dataFiles.push_back(File(data + "/" + f, to + "/" + f));
    }
    std::list<ArchFileInfo> list{af};
    bool const full = mode == "full";
    std::string const host = nuvsuite::LocalMangledHostName();
    NuvSnapRestore restore(&event, host, host, "", nullptr, 0, nullptr, 0, 0, job, 0, 125, 2, 0, nullptr, nullptr,
                           clientId, false, 0, full, &ctrl);
    (void)restore.Init(&ctrl);
    int const rc = restore.restoreData(snapJob, true, list, nullptr, nullptr);
    (void)restore.Finalize(&jobClient);
    *cause = restore.failureText();
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments a;
    std::string error;
    if (!ParseArguments(argc, argv, &a, &error)) return Usage(error);
    long long const job = a.job;

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
    std::string cause;
    int const rc = Restore(a, ctrl, &cause);
    // The job ends here, whatever the restore gave: a job left running has no end.
    int const status = ctrl.checkQuitFlag() != 0 ? nuvjobmgr::kJobStatusKilled
                       : rc == 0                 ? nuvjobmgr::kJobStatusSuccess
                                                 : nuvjobmgr::kJobStatusFailure;
    JZRstJobClient jobClient(static_cast<uint64_t>(job));
    bool const ended = jobClient.complete(status, 1, 0, 0);
    if (!ended)
        std::fprintf(stderr, "pgsnaprestore: restore job %lld was not ended: %s\n", job, jobClient.lastError().c_str());
    if (rc != 0) {
        std::fprintf(stderr, "pgsnaprestore %s: the restore failed with %d: %s (see the log)\n", a.mode.c_str(), rc,
                     cause.empty() ? "no cause was named" : cause.c_str());
        return 1;
    }
    nuvjobmgr::JobInfo done;
    (void)nuvjobmgr::GetJob(job, &done);
    std::printf("pgsnaprestore %s: %lld file(s), %lld bytes of snap job %lld restored to %s (restore job %lld)\n",
                a.mode.c_str(), static_cast<long long>(done.successfulFiles),
                static_cast<long long>(done.uncompressedBytes), static_cast<long long>(a.snapJob), a.to.c_str(), job);
    return ended ? 0 : 1;
}
