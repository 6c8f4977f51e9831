// PgCluster: a throw-away PostgreSQL 15 cluster of the sample agent. Its
// programs (initdb, pg_ctl) run through the base library's process runner,
// as the `postgres` user when the caller is root (PostgreSQL refuses to run
// as root), else as the caller. SQL goes through libpq over the cluster's
// Unix socket directory; the cluster listens on no TCP address.
#pragma once

#include <string>
#include <vector>

struct PgClusterConfig {
    std::string dataDir;     // the data directory
    std::string socketDir;   // unix_socket_directories
    int port = 5432;         // the socket's port number
    std::string logFile;     // the server's log (pg_ctl -l)
    std::string archiveDir;  // where the server archives its WAL segments ("" = no archiving)
};

// One libpq connection; the SQL helpers return false with the server's text in *error.
class PgConnection {
public:
    PgConnection() = default;
    ~PgConnection();
    PgConnection(PgConnection const&) = delete;
    PgConnection& operator=(PgConnection const&) = delete;

    bool Open(PgClusterConfig const& config, std::string* error);
    void Close();
    bool IsOpen() const { return m_conn != nullptr; }
    // Runs one statement; the rows of its result (each a vector of texts, NULL as "").
    bool Query(std::string const& sql, std::vector<std::vector<std::string>>* rows, std::string* error);
    // The same with text parameters ($1, $2, ...).
    bool QueryParams(std::string const& sql, std::vector<std::string> const& params,
                     std::vector<std::vector<std::string>>* rows, std::string* error);

private:
    void* m_conn = nullptr;  // PGconn
};

class PgCluster {
public:
    explicit PgCluster(PgClusterConfig config) : m_config(std::move(config)) {}

    PgClusterConfig const& config() const { return m_config; }

    // The PostgreSQL program directory ($NUV_PG_BINDIR, else Debian's for 15).
    static std::string BinDir();
    // The argument vector that runs argv as the server's user.
    static std::vector<std::string> AsServerUser(std::vector<std::string> argv);
    // Hands path (and, with recursive, everything under it) to the server's user when the caller is root.
    static bool GiveToServerUser(std::string const& path, bool recursive, std::string* error);

    // Makes the directories, runs initdb and writes the cluster's settings
    // (port, socket directory, WAL level replica, archiving into archiveDir).
    bool Init(std::string* error);
    bool Start(std::string* error);
    bool Stop(std::string* error);
    bool IsRunning() const;

    // Makes a server of this configuration from a copy of a snapshot's data
    // directory: the copy, its backup label and tablespace map (from
    // labelDir), recovery from archiveDir that ends as soon as the backup is
    // consistent; then starts it and waits until recovery is over.
    bool StartFromSnapshot(std::string const& snapshotDataDir, std::string const& labelDir,
                           std::string const& archiveDir, std::string* error);

private:
    bool Run(std::vector<std::string> const& argv, std::string* error) const;
    bool AppendSettings(std::string const& file, std::string const& text, std::string* error) const;

    PgClusterConfig m_config;
};

// A setting value in single quotes; false for a text that cannot be quoted
// safely in postgresql.conf or a restore command (quotes, '%', control characters).
bool PgQuoteSetting(std::string const& value, std::string* quoted);
