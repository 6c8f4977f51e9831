// What the snapshot benchmarks set up alike in a state root: this host's
// client, one application and its jobs; the removal of a job's snapshots.
#pragma once

#include "bench_tree.h"

#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace nuvbench {

// This host's client, a subclient and an application of `appType`; its id (0 on failure).
inline unsigned long DeclareApplication(int appType) {
    nuvappmgr::ClientDecl client;
    client.name = JZPI_Focus::getFocusClientName(true);
    unsigned long clientId = 0, subclientId = 0, appId = 0;
    nuvappmgr::SubclientDecl sub;
    sub.name = "default";
    if (nuvappmgr::DeclareClient(client, &clientId).IsError() ||
        nuvappmgr::DeclareSubclient(sub, &subclientId).IsError())
        return 0;
    nuvappmgr::ApplicationDecl app;
    app.clientId = clientId;
    app.appType = appType;
    app.subclientId = subclientId;
    return nuvappmgr::DeclareApplication(app, &appId).IsError() ? 0 : appId;
}

// A new full job of the application; 0 on failure.
inline int64_t NewJob(unsigned long appId) {
    nuvjobmgr::JobInfo job;
    return nuvjobmgr::NewJob(static_cast<int64_t>(appId), 1, &job).IsError() ? 0 : job.id;
}

// Deletes every snapshot of the job; false (with the text printed) on failure.
inline bool DeleteSnapshots(int64_t job) {
    SMVolSnapInfo made;
    made.setJobId(static_cast<int>(job));
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(made)) return true;
    if (client.deleteVolumeSnaps(made)) return true;
    std::fprintf(stderr, "delete of job %lld's snapshots failed: %s\n", static_cast<long long>(job),
                 made.getErrorString().c_str());
    return false;
}

}  // namespace nuvbench
