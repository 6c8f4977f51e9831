// pgsnapagent: the sample PostgreSQL agent. Runs one snap-backup job of the
// job manager through the job driver:
//
//   pgsnapagent -j JOB -a BRANNOX:APP -t LEVEL [-jt TOKEN] [-d HOST] [-idxkk HOST]
//               -pgsock SOCKET_DIR -pgport PORT
//
// After a successful job it finds the job's files on its mounted snapshot and
// prints what it found.
//
// Exit status 0 when the job succeeded, 1 when it failed, 2 when it could not start.
//
// Started without arguments (by the event manager, over the network layer) it
// answers one readiness request instead: the request names the instance (1/1)
// and its database user (2/5); the response lists the instance's status.
#include "pg_snap_backup.h"

#include "nuvdbsnap/agentutil.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/network/network.h"

#include <cstdio>

namespace {

int AnswerReadinessRequest(int argc, char** argv) {
    EvEvent ev;
    DBAgentReadinessCheck check(&ev, 125, "", new CJzNetwork);
    std::string xml;
    if (check.RecvDBReadinessXMLRequest(argc, argv, xml) != 0) return 2;
    CNMessageBase request(22, 218);
    if (xml.empty() || request.unserialize(xml) != 0) return 2;
    Nuv::DBBaseInstanceStatus status;
    (void)check.CheckDBAgentReadiness(status, request.getstring(2), "", request.getstring(1), "", "");
    Nuv::CheckDBAgentReadinessResp response;
    response.getlistobject<Nuv::DBBaseInstanceStatus>(1, 1, true)->push_back(status);
    return check.SendDBReadinessXMLResponse(response) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return AnswerReadinessRequest(argc, argv);
    int result = 2;
    {
        PgSnapBackup agent;
        if (agent.Initialize(argc, argv, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "pgsnapagent: the job could not start (see the log)\n");
            (void)agent.ExitHere(1);
            return 2;
        }
        result = agent.RunSnapBackup();
        if (result == 0 && !agent.labelSaved()) result = 1;
        if (result == 0) {
            // The first half of a restore: the job's files on its mounted snapshot.
            SnapshotFileCheck check;
            int const checked = agent.CheckSnapshotFiles(check);
            std::printf("pgsnapagent: %zu indexed files of the job, %zu found on the mounted snapshot, %zu missing; "
                        "%zu regular files read whole there (%llu bytes), %zu unreadable%s\n",
                        check.files, check.found, check.missing, check.regular,
                        static_cast<unsigned long long>(check.bytes), check.unreadable,
                        checked == 0 && check.files != 0 && check.found == check.files && check.regular != 0
                            ? "; every indexed file was found on the mounted snapshot and every regular file "
                              "read whole there"
                            : "");
            if (checked != 0) result = 1;
        }
        (void)agent.ExitHere(result);
        std::printf("pgsnapagent: job %s; data directory %s; backup label in %s\n", result == 0 ? "succeeded" : "failed",
                    agent.dataDirectory().c_str(), agent.ResultsDirectory().c_str());
        if (!agent.verification().empty())
            std::printf("pgsnapagent: snapshot verification: %s\n", agent.verification().c_str());
    }
    return result == 0 ? 0 : 1;
}
