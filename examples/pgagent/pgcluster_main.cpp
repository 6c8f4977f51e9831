// pgcluster: the sample agent's throw-away PostgreSQL cluster and its restorability proof.
//
//   pgcluster init    --data D --socket S --port P --log L [--archive A]
//   pgcluster start   --data D --socket S --port P --log L
//   pgcluster stop    --data D --socket S --port P --log L
//   pgcluster sql     --socket S --port P SQL      prints the rows, one a line, fields by '|'
//   pgcluster wait-backup --socket S --port P [--timeout SECONDS]
//       waits until a session holds the server in backup mode; prints its pid
//   pgcluster restore --job J --source-data D --labels DIR --archive A
//                     --data NEW --socket S --port P --log L [--count TABLE]
//       starts a server on a copy of job J's snapshot of data directory D with the
//       saved backup label, recovering from the archive only until the backup is
//       consistent; prints the row count of TABLE and stops the server again.
//   pgcluster restore --from RESTORED --labels DIR --archive A
//                     --data NEW --socket S --port P --log L [--count TABLE]
//       the same on a data directory that a restore brought back (RESTORED)
//       instead of the snapshot itself.
//   pgcluster drop-snapshots --job J
//       deletes job J's snapshots (unmounting them first), so their volume can go
#include "pg_cluster.h"

#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/admin.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: pgcluster init|start|stop --data D --socket S --port P --log L [--archive A]\n"
                 "       pgcluster sql --socket S --port P SQL\n"
                 "       pgcluster wait-backup --socket S --port P [--timeout SECONDS]\n"
                 "       pgcluster restore --job J --source-data D --labels DIR --archive A --data NEW --socket S "
                 "--port P --log L [--count TABLE]\n"
                 "       pgcluster restore --from RESTORED --labels DIR --archive A --data NEW --socket S --port P "
                 "--log L [--count TABLE]\n"
                 "       pgcluster drop-snapshots --job J\n");
    return 2;
}

// The directory that holds job's snapshot of sourceData, with the snapshot mounted when it can be.
bool SnapshotOf(long long job, std::string const& sourceData, SMVolSnapInfo* record, std::string* path,
                std::string* error) {
    JZSnapClientAPI client;
    record->setJobId(static_cast<int>(job));
    if (!client.getVolumeSnaps(*record)) {
        *error = "job " + std::to_string(job) + " has no snapshot";
        return false;
    }
    (void)client.mountVolumes(*record);  // a copy that cannot be mounted is read where it lies
    for (auto volume = record->volumeListBegin(); volume != record->volumeListEnd(); ++volume) {
        std::string const& source = volume->getSourcePath();
        if (sourceData.compare(0, source.size(), source) != 0 ||
            (sourceData.size() > source.size() && sourceData[source.size()] != '/' && source != "/"))
            continue;
        std::string base = volume->getMountPath();
        if (base.empty()) {
            for (auto map = record->volSnapMapListBegin(); map != record->volSnapMapListEnd(); ++map) {
                if (map->getSMVolumeId() != volume->getSMVolumeId()) continue;
                for (auto snap = record->snapListBegin(); snap != record->snapListEnd(); ++snap)
                    if (snap->getSMSnapId() == map->getSMSnapId()) base = snap->getSnapDevice();
            }
        }
        if (base.empty()) continue;
        *path = base + sourceData.substr(source.size());
        return true;
    }
    *error = "no snapshot of job " + std::to_string(job) + " holds " + sourceData;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string const command = argv[1];
    std::map<std::string, std::string> options;
    std::string sql;
    for (int i = 2; i < argc; ++i) {
        std::string const word = argv[i];
        if (word.rfind("--", 0) == 0 && i + 1 < argc) {
            options[word.substr(2)] = argv[++i];
        } else if (command == "sql" && sql.empty()) {
            sql = word;
        } else {
            return Usage();
        }
    }
    // Numbers are whole numbers: "--job 12abc" is refused, never read as 12.
    int64_t port = 5432, timeout = 60, job = 0;
    std::string numberError;
    if ((options.count("port") && !nuvsuite::ParseNumberArgument("--port", options["port"], 1, 65535, &port,
                                                                 &numberError)) ||
        (options.count("timeout") && !nuvsuite::ParseNumberArgument("--timeout", options["timeout"], 1, 86400,
                                                                    &timeout, &numberError)) ||
        (options.count("job") && !nuvsuite::ParseNumberArgument("--job", options["job"], 1, INT32_MAX, &job,
                                                                &numberError))) {
        std::fprintf(stderr, "pgcluster: %s\n", numberError.c_str());
        return Usage();
    }
    PgClusterConfig config;
    config.dataDir = options["data"];
    config.socketDir = options["socket"];
    config.port = static_cast<int>(port);
    config.logFile = options["log"];
    config.archiveDir = options["archive"];
    PgCluster cluster(config);
    std::string error;

    if (command == "init" || command == "start" || command == "stop") {
        if (config.dataDir.empty() || config.socketDir.empty() || config.logFile.empty()) return Usage();
        bool const ok = command == "init" ? cluster.Init(&error)
                        : command == "start" ? cluster.Start(&error)
                                             : cluster.Stop(&error);
        if (!ok) {
            std::fprintf(stderr, "pgcluster %s: %s\n", command.c_str(), error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "sql") {
        if (config.socketDir.empty() || sql.empty()) return Usage();
        PgConnection conn;
        std::vector<std::vector<std::string>> rows;
        if (!conn.Open(config, &error) || !conn.Query(sql, &rows, &error)) {
            std::fprintf(stderr, "pgcluster sql: %s\n", error.c_str());
            return 1;
        }
        for (auto const& row : rows) {
            for (size_t c = 0; c < row.size(); ++c) std::printf("%s%s", c ? "|" : "", row[c].c_str());
            std::printf("\n");
        }
        return 0;
    }
    if (command == "wait-backup") {
        if (config.socketDir.empty()) return Usage();
        PgConnection conn;
        if (!conn.Open(config, &error)) {
            std::fprintf(stderr, "pgcluster wait-backup: %s\n", error.c_str());
            return 1;
        }
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout);
        while (std::chrono::steady_clock::now() < deadline) {
            std::vector<std::vector<std::string>> rows;
            if (conn.Query("SELECT pid FROM pg_stat_activity WHERE query LIKE 'SELECT pg_backup_start%'", &rows,
                           &error) &&
                !rows.empty()) {
                std::printf("%s\n", rows[0][0].c_str());
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::fprintf(stderr, "pgcluster wait-backup: no backup started within %lld seconds\n",
                     static_cast<long long>(timeout));
        return 1;
    }
    if (command == "drop-snapshots") {
        if (!options.count("job")) return Usage();
        JZSnapClientAPI client;
        SMVolSnapInfo record;
        record.setJobId(static_cast<int>(job));
        if (!client.getVolumeSnaps(record)) return 0;  // nothing left to drop
        (void)client.unmount(record);
        if (!client.deleteVolumeSnaps(record)) {
            std::string text;
            (void)client.getErrCodeAndStr(text);
            std::fprintf(stderr, "pgcluster drop-snapshots: %s\n", text.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "restore") {
        bool const fromRestore = !options["from"].empty();
        if ((!fromRestore && (!options.count("job") || options["source-data"].empty())) || options["labels"].empty() ||
            config.archiveDir.empty() || config.dataDir.empty() || config.socketDir.empty() || config.logFile.empty())
            return Usage();
        SMVolSnapInfo record;
        std::string snapshot = options["from"];
        if (!fromRestore &&
            !SnapshotOf(job, options["source-data"], &record, &snapshot, &error)) {
            std::fprintf(stderr, "pgcluster restore: %s\n", error.c_str());
            return 1;
        }
        std::printf("restoring from %s %s\n", fromRestore ? "the restored data directory" : "the snapshot copy",
                    snapshot.c_str());
        bool const started = cluster.StartFromSnapshot(snapshot, options["labels"], config.archiveDir, &error);
        JZSnapClientAPI client;
        if (!fromRestore) (void)client.unmount(record);
        if (!started) {
            std::fprintf(stderr, "pgcluster restore: %s\n", error.c_str());
            if (cluster.IsRunning()) (void)cluster.Stop(nullptr);
            return 1;
        }
        int rc = 0;
        if (!options["count"].empty()) {
            PgConnection conn;
            std::vector<std::vector<std::string>> rows;
            if (!conn.Open(config, &error) ||
                !conn.Query("SELECT count(*) FROM " + options["count"], &rows, &error) || rows.empty()) {
                std::fprintf(stderr, "pgcluster restore: %s\n", error.c_str());
                rc = 1;
            } else {
                std::printf("rows in %s on the restored server: %s\n", options["count"].c_str(), rows[0][0].c_str());
            }
        }
        if (!cluster.Stop(&error)) {
            std::fprintf(stderr, "pgcluster restore: %s\n", error.c_str());
            rc = 1;
        }
        return rc;
    }
    return Usage();
}
