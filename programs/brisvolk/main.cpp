// Brisvolk.exe: the file-restore program of the local central server
// (installed in the base home directory, started through the network layer).
// Its argument text: "<job> <job> -clientInvoked -snapJID <brannox>:<snap job>
// -j <job> [-jt <token>]". It receives one run of source paths
// (FSR_SNAP_SRC_PATH_ARRAY), copies each from the mounted snapshot of the snap
// job to its destination (the entry's destination - one ending in "/" a
// directory the source goes into under its base name - else the source path) and answers FSR_RESTORE_END
// with one report per entry, or FSR_MSG_FATAL_ERROR when any entry failed.
// Every number of the argument text is a whole number (no trailing text), a
// token given that of the job; no entry is restored onto the root directory. Before
// it answers, the files and bytes it restored are added to the job's counts.
// Exit status: 0 answered; 2 no channel or unusable arguments; 3 the channel
// failed or the caller is gone; a fault of ("Brisvolk.exe", "main") exits
// with its code. It dies with its caller (SIGKILL when the caller ends). A
// fault ("Brisvolk.exe", "hold") on an entry's source path holds the run
// there (see HoldWhereFaulted).
#include "nuvdbsnap/foundation/restore_records.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/network/network.h"
#include "nuvdbsnap/platform/restorefiles/restore_files.h"
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

char* Dup(std::string const& text) { return strdup(text.c_str()); }

struct RunArguments {
    int64_t jobId = 0;       // the restore job ("-j", else the first word)
    int64_t brannoxId = 0;   // of the snap job
    int64_t snapJobId = 0;
    std::string token;       // "-jt"
};

// The argument text "<job> <job> -clientInvoked -snapJID <brannox>:<snap job>
// -j <job> [-jt <token>]"; false with *error naming the argument at fault.
bool ParseArguments(std::string const& text, RunArguments* out, std::string* error) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    int64_t leading = 0;
    size_t i = 0;
    for (; i < words.size() && i < 2 && words[i][0] != '-'; ++i)
        if (!nuvsuite::ParseNumberArgument("job", words[i], 1, INT64_MAX, &leading, error)) return false;
    bool haveSnapJob = false;
    for (; i < words.size(); ++i) {
        std::string const& w = words[i];
        if (w == "-clientInvoked") continue;
        if (i + 1 >= words.size()) {
            *error = w + ": a value is needed";
            return false;
        }
        std::string const& value = words[++i];
        if (w == "-snapJID") {
            size_t const colon = value.find(':');
            if (colon == std::string::npos) {
                *error = "-snapJID: '" + value + "' is no <brannox>:<job>";
                return false;
            }
            if (!nuvsuite::ParseNumberArgument("-snapJID", value.substr(0, colon), 1, UINT32_MAX, &out->brannoxId,
                                               error) ||
                !nuvsuite::ParseNumberArgument("-snapJID", value.substr(colon + 1), 1, INT64_MAX, &out->snapJobId,
                                               error))
                return false;
            haveSnapJob = true;
        } else if (w == "-j") {
            if (!nuvsuite::ParseNumberArgument("-j", value, 1, INT64_MAX, &out->jobId, error)) return false;
        } else if (w == "-jt") {
            out->token = value;
        } else {
            *error = "unknown argument '" + w + "'";
            return false;
        }
    }
    if (out->jobId == 0) out->jobId = leading;
    if (!haveSnapJob || out->jobId == 0) {
        *error = haveSnapJob ? "no restore job in the arguments" : "no snap job in the arguments";
        return false;
    }
    return true;
}

// The files and bytes restored, added to the restore job's counts.
void ReportCounts(int64_t jobId, uint64_t files, uint64_t bytes) {
    if (files == 0) return;
    JZRstJobClient job(static_cast<uint64_t>(jobId));
    job.setNumSuccessful2Add(static_cast<long long>(files));
    job.setUncompBytes2Add(static_cast<long long>(bytes));
    job.setCompBytes2Add(static_cast<long long>(bytes));
    if (!job.updateInfo(false, nullptr))
        std::fprintf(stderr, "Brisvolk.exe: the counts of job %lld were not updated: %s\n",
                     static_cast<long long>(jobId), job.lastError().c_str());
}

std::string Destination(FSRSnapSrcPath const& e) {
    return nuvrestorefiles::EntryDestination(e.srcPath, e.destPath != nullptr ? e.destPath : "");
}

// The restore it serves ended (the caller is gone): nothing more is written.
bool CallerGone(pid_t caller) { return getppid() != caller; }

}  // namespace

int main(int argc, char** argv) {
    // The program dies with the restore that started it: a killed restore
    // leaves no copy running on behind it.
    pid_t const caller = getppid();
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (CallerGone(caller)) return 3;
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("Brisvolk.exe", "main", "", &fault)) {
        std::fprintf(stderr, "Brisvolk.exe: %s\n", fault.text.c_str());
        return fault.code < 0 ? -fault.code : fault.code;
    }
    CJzNetwork net;
    bool retry = false;
    if (net.AttachBackToCaller(argc, argv, retry).IsError()) {
        std::fprintf(stderr, "Brisvolk.exe: no channel to the caller\n");
        return 2;
    }
    RunArguments args;
    std::string argError;
    if (!ParseArguments(net.getRemoteArguments(), &args, &argError)) {
        std::fprintf(stderr, "Brisvolk.exe: %s\n", argError.c_str());
        return 2;
    }
    // The job must be there; a token given must be its own (as registration with a job asks).
    nuvjobmgr::JobInfo job;
    if (!nuvjobmgr::GetJob(args.jobId, &job)) {
        std::fprintf(stderr, "Brisvolk.exe: -j: no job %lld\n", static_cast<long long>(args.jobId));
        return 2;
    }
    if (!args.token.empty() && job.token != args.token) {
        std::fprintf(stderr, "Brisvolk.exe: -jt: not the token of job %lld\n", static_cast<long long>(args.jobId));
        return 2;
    }
    long long const snapJobId = args.snapJobId;

    FSRSnapSrcPathArray run;
    jzsDatabuf_v2 in;
    in.setExternalBuffer(reinterpret_cast<char*>(&run), sizeof run);
    unsigned long type = 0;
    if (net.ReceiveXDRMessage(&type, in, nullptr, 0, 0, retry).IsError() || type != FSR_SNAP_SRC_PATH_ARRAY) {
        std::fprintf(stderr, "Brisvolk.exe: no run of source paths received\n");
        return 3;
    }

    // The mounts of the snap job's snapshots, as the restore made them.
    SMVolSnapInfo record;
    record.setSnapJobId(static_cast<int>(snapJobId));
    record.setBrannoxId(static_cast<int>(args.brannoxId));
    JZSnapClientAPI client;
    std::vector<nuvrestorefiles::MountedVolume> volumes;
    if (client.getVolumeSnaps(record)) volumes = nuvrestorefiles::MountedVolumes(record);

    FSRRestoreReply reply;
    std::vector<FSRFileReport> reports(run.count);
    std::map<std::string, std::string> destinations;
    nuvrestorefiles::CopySession session;  // hard links among the run's files, directories reached
    {
        std::istringstream words(net.getRemoteArguments());
        std::string word, job;
        while (words >> word)
            if (word == "-j" && words >> job) break;
        session.setHolder("restore job " + (job.empty() ? std::string("?") : job) + " (snap job " +
                          std::to_string(snapJobId) + ")");
    }
    bool gone = false;
    for (uint32_t i = 0; i < run.count; ++i) {
        FSRSnapSrcPath const& e = run.entries[i];
        FSRFileReport& r = reports[i];
        std::string error;
        int err = 0;
        nuvrestorefiles::CopyCounts counts;
        if (CallerGone(caller)) {
            gone = true;
            break;
        }
        if (e.info8 != 0 || e.srcPath == nullptr) {
            err = EINVAL;
            error = "archive file " + std::to_string(e.info16) + " holds no data to restore";
        } else {
            r.srcPath = Dup(e.srcPath);
            HoldWhereFaulted("Brisvolk.exe", e.srcPath);  // a test's hold inside the run
            std::string const to = Destination(e);
            std::string const from = nuvrestorefiles::PathInSnapshot(volumes, e.srcPath);
            auto seen = destinations.emplace(to, e.srcPath);
            if (nuvrestorefiles::IsRootDirectory(to) ||
                (e.destPath != nullptr && nuvrestorefiles::IsRootDirectory(e.destPath))) {
                err = EINVAL;
                error = "the root directory is no restore destination";
            } else if (from.empty()) {
                err = ENOENT;
                error = "no mounted snapshot of snap job " + std::to_string(snapJobId) + " holds it";
            } else if (!seen.second && seen.first->second != e.srcPath) {
                err = EEXIST;
                error = "[" + seen.first->second + "] is restored to the same destination";
            } else {
                CFzError c = nuvrestorefiles::CopyOut(volumes, e.srcPath, to, &counts, &session);
                if (c.IsError()) {
                    err = EIO;
                    error = c.AsString();
                } else {
                    r.destPath = Dup(to);
                }
            }
        }
        r.error = err;
        r.bytes = counts.bytes;
        if (err != 0) {
            r.errorText = Dup(error);
            reply.filesFailed += 1;
        } else {
            reply.filesRestored += static_cast<uint32_t>(counts.files);
            reply.bytes += counts.bytes;
        }
    }
    // The directories the run made take their times last.
    CFzError finished = session.finish();
    if (finished.IsError() && !gone) {
        reply.filesFailed += 1;
        std::fprintf(stderr, "Brisvolk.exe: %s\n", finished.AsString().c_str());
    }
    reply.count = run.count;
    reply.reports = reports.data();
    if (reply.filesFailed > 0)
        reply.errorText = Dup(std::to_string(reply.filesFailed) + " of " + std::to_string(run.count) +
                              " entries were not restored");
    if (!gone) ReportCounts(args.jobId, reply.filesRestored, reply.bytes);
    jzsDatabuf_v2 out;
    out.setExternalBuffer(reinterpret_cast<char*>(&reply), sizeof reply);
    CFzError sent = gone ? CFzError::Success()
                         : net.SendXDRMessage(reply.filesFailed > 0 ? FSR_MSG_FATAL_ERROR : FSR_RESTORE_END, out, 0,
                                              -1, retry);
    for (FSRFileReport& r : reports) {
        std::free(r.srcPath);
        std::free(r.destPath);
        std::free(r.errorText);
    }
    std::free(reply.errorText);
    CJzNetwork::FreeXDRMessage(FSR_SNAP_SRC_PATH_ARRAY, in);
    return gone || sent.IsError() ? 3 : 0;
}
