// pgsnapagent: the sample PostgreSQL agent. Runs one snap-backup job of the
// job manager through the job driver:
//
//   pgsnapagent -j JOB -a BRANNOX:APP -t LEVEL [-jt TOKEN] [-d HOST] [-idxkk HOST]
//               -pgsock SOCKET_DIR -pgport PORT
//
// Exit status 0 when the job succeeded, 1 when it failed, 2 when it could not start.
#include "pg_snap_backup.h"

#include <cstdio>

int main(int argc, char** argv) {
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
        (void)agent.ExitHere(result);
        std::printf("pgsnapagent: job %s; data directory %s; backup label in %s\n", result == 0 ? "succeeded" : "failed",
                    agent.dataDirectory().c_str(), agent.ResultsDirectory().c_str());
        if (!agent.verification().empty())
            std::printf("pgsnapagent: snapshot verification: %s\n", agent.verification().c_str());
    }
    return result == 0 ? 0 : 1;
}
