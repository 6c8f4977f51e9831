#include "pg_cluster.h"

#include "nuvdbsnap/platform/base/process.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr char kServerUser[] = "postgres";

bool Fail(std::string* error, std::string const& text) {
    if (error != nullptr) *error = text;
    return false;
}

bool MakeDirs(std::string const& path, mode_t mode) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

PgConnection::~PgConnection() { Close(); }

void PgConnection::Close() {
    if (m_conn != nullptr) PQfinish(static_cast<PGconn*>(m_conn));
    m_conn = nullptr;
}

bool PgConnection::Open(PgClusterConfig const& config, std::string* error) {
    Close();
    std::string const port = std::to_string(config.port);
    char const* keys[] = {"host", "port", "user", "dbname", "connect_timeout", nullptr};
    char const* values[] = {config.socketDir.c_str(), port.c_str(), kServerUser, "postgres", "30", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 0);
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        std::string const text = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
        if (conn != nullptr) PQfinish(conn);
        return Fail(error, "cannot connect to the server at " + config.socketDir + ":" + port + ": " + text);
    }
    PQsetNoticeProcessor(conn, [](void*, char const*) {}, nullptr);  // notices are not errors
    m_conn = conn;
    return true;
}

bool PgConnection::Query(std::string const& sql, std::vector<std::vector<std::string>>* rows, std::string* error) {
    return QueryParams(sql, {}, rows, error);
}

bool PgConnection::QueryParams(std::string const& sql, std::vector<std::string> const& params,
                               std::vector<std::vector<std::string>>* rows, std::string* error) {
    if (m_conn == nullptr) return Fail(error, "no connection");
    std::vector<char const*> values;
    for (auto const& p : params) values.push_back(p.c_str());
    PGresult* result = PQexecParams(static_cast<PGconn*>(m_conn), sql.c_str(), static_cast<int>(values.size()),
                                    nullptr, values.empty() ? nullptr : values.data(), nullptr, nullptr, 0);
    ExecStatusType const status = PQresultStatus(result);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        std::string text = PQresultErrorMessage(result);
        if (text.empty()) text = PQerrorMessage(static_cast<PGconn*>(m_conn));
        PQclear(result);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return Fail(error, text);
    }
    if (rows != nullptr) {
        rows->clear();
        for (int r = 0; r < PQntuples(result); ++r) {
            std::vector<std::string> row;
            for (int c = 0; c < PQnfields(result); ++c) row.emplace_back(PQgetvalue(result, r, c));
            rows->push_back(std::move(row));
        }
    }
    PQclear(result);
    return true;
}

std::string PgCluster::BinDir() {
    char const* dir = std::getenv("NUV_PG_BINDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/usr/lib/postgresql/15/bin";
}

std::vector<std::string> PgCluster::AsServerUser(std::vector<std::string> argv) {
    if (geteuid() != 0) return argv;
    std::vector<std::string> wrapped{"runuser", "-u", kServerUser, "--"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

bool PgCluster::GiveToServerUser(std::string const& path, bool recursive, std::string* error) {
    if (geteuid() != 0) return true;
    std::vector<std::string> argv{"chown"};
    if (recursive) argv.push_back("-R");
    argv.push_back(std::string(kServerUser) + ":");
    argv.push_back(path);
    std::string out, err;
    int const rc = JzProcess::system(argv, &out, &err);
    return rc == 0 ? true : Fail(error, "chown of " + path + " failed: " + err);
}

bool PgCluster::Run(std::vector<std::string> const& argv, std::string* error) const {
    std::string out, err;
    int const rc = JzProcess::system(AsServerUser(argv), &out, &err, 300);
    if (rc == 0) return true;
    return Fail(error, argv[0] + " failed (" + std::to_string(rc) + "): " + err + out);
}

bool PgQuoteSetting(std::string const& value, std::string* quoted) {
    for (unsigned char c : value)
        if (c == '\'' || c == '"' || c == '%' || c == '\\' || c < 0x20) return false;
    *quoted = "'" + value + "'";
    return true;
}

bool PgCluster::AppendSettings(std::string const& file, std::string const& text, std::string* error) const {
    std::ofstream out(file, std::ios::app);
    out << text;
    out.close();
    return out ? true : Fail(error, "cannot write " + file);
}

bool PgCluster::Init(std::string* error) {
    std::string socketDir, archiveDir;
    if (!PgQuoteSetting(m_config.socketDir, &socketDir) ||
        (!m_config.archiveDir.empty() && !PgQuoteSetting(m_config.archiveDir, &archiveDir)))
        return Fail(error, "a path of the cluster holds a character that a setting cannot hold");
    for (std::string const* dir : {&m_config.dataDir, &m_config.socketDir, &m_config.archiveDir}) {
        if (dir->empty()) continue;
        if (!MakeDirs(*dir, 0755)) return Fail(error, "cannot make " + *dir + ": " + std::strerror(errno));
        if (!GiveToServerUser(*dir, false, error)) return false;
    }
    chmod(m_config.dataDir.c_str(), 0700);
    std::string const logDir = m_config.logFile.substr(0, m_config.logFile.rfind('/'));
    if (!logDir.empty() && (!MakeDirs(logDir, 0755) || !GiveToServerUser(logDir, false, error)))
        return Fail(error, "cannot make " + logDir);
    if (!Run({BinDir() + "/initdb", "-D", m_config.dataDir, "-U", kServerUser, "--auth=trust", "-E", "UTF8",
              "--no-instructions", "--no-sync"},
             error))
        return false;
    std::string settings = "\n# sample agent cluster\nlisten_addresses = ''\n";
    settings += "port = " + std::to_string(m_config.port) + "\n";
    settings += "unix_socket_directories = " + socketDir + "\n";
    settings += "wal_level = replica\n";
    if (!archiveDir.empty()) {
        settings += "archive_mode = on\narchive_library = 'basic_archive'\n";
        settings += "basic_archive.archive_directory = " + archiveDir + "\n";
    }
    return AppendSettings(m_config.dataDir + "/postgresql.conf", settings, error);
}

bool PgCluster::Start(std::string* error) {
    return Run({BinDir() + "/pg_ctl", "-D", m_config.dataDir, "-l", m_config.logFile, "-w", "-t", "120", "start"},
               error);
}

bool PgCluster::Stop(std::string* error) {
    return Run({BinDir() + "/pg_ctl", "-D", m_config.dataDir, "-m", "fast", "-w", "-t", "120", "stop"}, error);
}

bool PgCluster::IsRunning() const {
    std::string out, err;
    return JzProcess::system(AsServerUser({BinDir() + "/pg_ctl", "-D", m_config.dataDir, "status"}), &out, &err,
                             60, true) == 0;
}

bool PgCluster::StartFromSnapshot(std::string const& snapshotDataDir, std::string const& labelDir,
                                  std::string const& archiveDir, std::string* error) {
    std::string socketDir, archive;
    if (!PgQuoteSetting(m_config.socketDir, &socketDir) || !PgQuoteSetting(archiveDir, &archive))
        return Fail(error, "a path of the restored server holds a character that a setting cannot hold");
    std::string out, err;
    struct stat st;
    if (lstat(m_config.dataDir.c_str(), &st) == 0)
        return Fail(error, m_config.dataDir + " exists already: give the restored server a new data directory");
    if (!MakeDirs(m_config.dataDir, 0755) || chmod(m_config.dataDir.c_str(), 0700) != 0)
        return Fail(error, "cannot make " + m_config.dataDir);
    if (JzProcess::system({"cp", "-a", "--", snapshotDataDir + "/.", m_config.dataDir + "/"}, &out, &err) != 0)
        return Fail(error, "cannot copy the snapshot " + snapshotDataDir + ": " + err);
    // What belonged to the running server and the WAL of the snapshot: recovery takes WAL from the archive.
    for (char const* stale : {"/postmaster.pid", "/postmaster.opts", "/backup_label", "/tablespace_map"})
        (void)unlink((m_config.dataDir + stale).c_str());
    (void)JzProcess::system({"find", m_config.dataDir + "/pg_wal", "-maxdepth", "1", "-type", "f", "-delete"}, &out,
                            &err);

    // The backup label is what makes the copy a base backup: without it recovery cannot be trusted.
    std::ifstream label(labelDir + "/backup_label", std::ios::binary);
    if (!label) return Fail(error, "no backup label in " + labelDir + ": the snapshot cannot be restored");
    std::ofstream(m_config.dataDir + "/backup_label", std::ios::binary) << label.rdbuf();
    std::ifstream map(labelDir + "/tablespace_map", std::ios::binary);
    if (map && map.peek() != std::ifstream::traits_type::eof())
        std::ofstream(m_config.dataDir + "/tablespace_map", std::ios::binary) << map.rdbuf();

    std::string settings = "\n# restored from a snapshot\nlisten_addresses = ''\n";
    settings += "port = " + std::to_string(m_config.port) + "\n";
    settings += "unix_socket_directories = " + socketDir + "\n";
    settings += "archive_mode = off\n";
    // %f and %p are the server's own placeholders; the archive path was checked above.
    settings += "restore_command = 'cp \"" + archiveDir + "/%f\" \"%p\"'\n";
    settings += "recovery_target = 'immediate'\nrecovery_target_action = 'promote'\n";
    if (!AppendSettings(m_config.dataDir + "/postgresql.auto.conf", settings, error)) return false;
    std::ofstream(m_config.dataDir + "/recovery.signal").close();
    chmod(m_config.dataDir.c_str(), 0700);
    if (!GiveToServerUser(m_config.dataDir, true, error)) return false;
    if (!MakeDirs(m_config.socketDir, 0755) || !GiveToServerUser(m_config.socketDir, false, error))
        return Fail(error, "cannot make " + m_config.socketDir);
    if (!Start(error)) return false;

    PgConnection conn;
    for (int i = 0; i < 600; ++i) {
        std::vector<std::vector<std::string>> rows;
        if (conn.IsOpen() || conn.Open(m_config, nullptr)) {
            if (conn.Query("SELECT pg_is_in_recovery()", &rows, nullptr) && !rows.empty() && rows[0][0] == "f")
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return Fail(error, "the restored server did not leave recovery within 60 seconds (see " + m_config.logFile + ")");
}
