// snapdemo: snapshots a data directory the way a SAP HANA agent does. One
// process prepares the snapshot (the prepare leaves the prepared record in the
// job's snapshot-info file); a second process - this one - goes through the
// five exported entry points: initialize, add the mount point, create the
// snapshot archive records, create the snapshot (which picks up the prepared
// record), finalize. Then it prints what was made.
//
//   snapdemo --data DIR --app APP_ID [--engine N]
//
// The job is the process's job context: JZ_JOB_ID (see `jzsuite job new`).
#include "nuvdbsnap/engine.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    std::string data;
    unsigned long appId = 0;
    int engine = 2;
    bool preparePhase = false;
};

int Usage() {
    std::fprintf(stderr, "usage: snapdemo --data DIR --app APP_ID [--engine N]\n");
    return 2;
}

bool Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string const word = argv[i];
        if (word == "--phase" && i + 1 < argc && std::string(argv[i + 1]) == "prepare") {
            options->preparePhase = true;
            ++i;
        } else if (word == "--data" && i + 1 < argc) {
            options->data = argv[++i];
        } else if ((word == "--app" || word == "--engine") && i + 1 < argc) {
            // Whole numbers only: "--app 3x" is refused, never read as 3.
            int64_t n = 0;
            std::string error;
            if (!nuvsuite::ParseNumberArgument(word, argv[++i], word == "--app" ? 1 : 0,
                                               word == "--app" ? UINT32_MAX : INT32_MAX, &n, &error)) {
                std::fprintf(stderr, "snapdemo: %s\n", error.c_str());
                return false;
            }
            if (word == "--app")
                options->appId = static_cast<unsigned long>(n);
            else
                options->engine = static_cast<int>(n);
        } else {
            return false;
        }
    }
    return !options->data.empty() && options->appId != 0;
}

// The archive request of the job for its application.
bool Request(ApplicationId& application, CreateArgs_t* request) {
    unsigned long appType = 0;
    unsigned long clientId = 0;
    if (application.getAppType(appType, nullptr) != 0) {
        std::fprintf(stderr, "snapdemo: application %lu cannot be read: %s\n", application.getAppId(),
                     application.getErrorString());
        return false;
    }
    JZClient* client = application.getClient(nullptr);
    if (client == nullptr || client->getClientId(clientId, nullptr) != 0) {
        std::fprintf(stderr, "snapdemo: the client of application %lu cannot be read: %s\n", application.getAppId(),
                     client == nullptr ? application.getErrorString() : client->getErrorString());
        return false;
    }
    request->backupType = 1;
    request->appId = static_cast<int64_t>(application.getAppId());
    request->clientId = static_cast<int64_t>(clientId);
    request->appType = static_cast<int64_t>(appType);
    return true;
}

void PrintFailure(void* /*context*/, int const& type, char const* tag, int const& code, char const* text) {
    std::fprintf(stderr, "snapdemo: snapshot failure (type %d) %s: %d %s\n", type, tag != nullptr ? tag : "", code,
                 text != nullptr ? text : "");
}

// The first process of the job: prepares the snapshot.
int Prepare(Options const& options, ApplicationId& application, uint64_t jobId) {
    CreateArgs_t request;
    if (!Request(application, &request)) return 1;
    NuvSnapUtil util(options.engine, JZBkpLevel(1), &application, 0, false, nullptr, nullptr, SPAWN_IN_PROCESS);
    CFzError error = util.initialize();
    if (error.IsError()) {
        std::fprintf(stderr, "snapdemo: start-up failed: %s\n", error.AsString().c_str());
        return 1;
    }
    if (util.addMountPoint(options.data.c_str(), nullptr) != 1) {
        std::fprintf(stderr, "snapdemo: no volume holds %s\n", options.data.c_str());
        return 1;
    }
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(static_cast<int64_t>(jobId));
    if (util.createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0 ||
        util.prepareSnapShot(&PrintFailure, nullptr, false) != 0) {
        std::fprintf(stderr, "snapdemo: the prepare failed (see the log)\n");
        return 1;
    }
    std::string infoFile;
    if (util.getSnapShotInfoFilePath(infoFile)) std::printf("prepared: record saved in %s\n", infoFile.c_str());
    return 0;
}

std::string SelfPath() {
    char buffer[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) return Usage();
    uint64_t const jobId = EvEvent().getJobId();
    if (jobId == 0) {
        std::fprintf(stderr, "snapdemo: no job: set JZ_JOB_ID (jzsuite job new --app ID)\n");
        return 2;
    }
    ApplicationId application(nuvsuite::kLocalBrannoxId, options.appId);
    if (options.preparePhase) return Prepare(options, application, jobId);

    std::printf("job %llu, state root %s\n", static_cast<unsigned long long>(jobId),
                nuvsuite::StateRootPath().c_str());
    // The prepare runs in a process of its own, as the agent's does.
    std::string out, err;
    std::vector<std::string> const prepare{SelfPath(), "--phase", "prepare", "--data", options.data,
                                           "--app", std::to_string(options.appId), "--engine",
                                           std::to_string(options.engine)};
    int const prepared = JzProcess::system(prepare, &out, &err);
    std::fputs(out.c_str(), stdout);
    std::fputs(err.c_str(), stderr);
    if (prepared != 0) return 1;

    // The five exported entry points.
    CreateArgs_t request;
    if (!Request(application, &request)) return 1;
    initializeNuvSnapUtil(options.engine, JZBkpLevel(1), &application, 0, false);
    if (addMountPoint(options.data.c_str()) != 1) {
        std::fprintf(stderr, "snapdemo: no volume holds %s\n", options.data.c_str());
        finalizeNuvSnapUtil();
        return 1;
    }
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(static_cast<int64_t>(jobId));
    SMVolSnapInfo records;
    if (createSnapArchiveFiles(archive, request, &records, nullptr) != 0) {
        std::fprintf(stderr, "snapdemo: creating the snapshot archive records failed\n");
        finalizeNuvSnapUtil();
        return 1;
    }
    for (auto it = records.volumeListBegin(); it != records.volumeListEnd(); ++it)
        std::printf("snapshot archive record: %d:%d:%d for mount point %s\n", it->getBrannoxId(), it->getGroupId(),
                    it->getArchFileId(), it->getSourcePath().c_str());
    int const created = createSnapShot(0, &PrintFailure, nullptr, false);
    finalizeNuvSnapUtil();
    if (created != 0) {
        std::fprintf(stderr, "snapdemo: the snapshot failed (see the log)\n");
        return 1;
    }

    SMVolSnapInfo made;
    made.setJobId(static_cast<int>(jobId));
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(made)) {
        std::fprintf(stderr, "snapdemo: the snapshot is not listed: %s\n", made.getErrorString().c_str());
        return 1;
    }
    for (auto const& snap : made.snaps())
        std::printf("snapshot: %d of %s, the copy lies in %s\n", snap.getSMSnapId(),
                    snap.getSnapSourceDevice().c_str(), snap.getSnapDevice().c_str());
    for (auto it = made.volumeListBegin(); it != made.volumeListEnd(); ++it)
        std::printf("snapshot volume: %s, archive file %d (recorded by the prepare)\n", it->getSourcePath().c_str(), it->getArchFileId());
    return 0;
}
