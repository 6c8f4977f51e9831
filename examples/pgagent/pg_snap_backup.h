// PgSnapBackup: the sample PostgreSQL agent's job driver (application type
// 125, archive-file type 1). It finds the server's data directory and user
// tablespaces through libpq, quiesces hot with pg_backup_start on one held
// connection (listing the data paths for the content index before the
// snapshot) and resumes with pg_backup_stop on the same connection, keeping
// the backup label and tablespace map in the job's results directory.
//
// Options of its own (the driver skips them): "-pgsock DIR" the server's
// socket directory, "-pgport N" its port.
#pragma once

#include "nuvdbsnap/dbsnap.h"
#include "pg_cluster.h"

#include <list>
#include <string>
#include <utility>

// What the check of a job's snapshot files found.
struct SnapshotFileCheck {
    size_t files = 0;      // the job's files in its index
    size_t found = 0;      // found on the mounted snapshot
    size_t missing = 0;
    size_t regular = 0;    // of those, regular files, each read to its end there
    size_t unreadable = 0; // regular files that could not be read whole
    uint64_t bytes = 0;    // bytes read from the regular files
};

class PgSnapBackup : public DBSnapBackup {
public:
    PgSnapBackup();
    ~PgSnapBackup() override;

    int Initialize(int const& argc, char** argv, JZBkpJobClient* jobClient, JZJobCtrlClient* jobControl) override;
    int FindDataPaths() override;
    int QuiesceDB() override;
    // Safe to call more than once: only a backup that this object started is stopped.
    int UnQuiesceDB() override;
    // Creates the snapshot, then verifies it: mounts it at temporary paths,
    // checks that every registered path (the data directory and tablespaces)
    // is on it, and unmounts it again, before any replication of it. The
    // outcome is kept for verification(); a failed verification fails the job.
    int CreateSnapShot() override;
    // Mounts the job's snapshot and registers for the index every listed file
    // that is on it (a file the server removed before the snapshot is not).
    // The snapshot stays mounted until the index is made.
    int PrepareIndex() override;
    // The content index of the snapshot, then the snapshot unmounted.
    int CreateIndex() override;
    // One more index run of the job: a "+DBDIR+" marker for each data path,
    // of no archive file, which tells a second-generation query which
    // directories hold the database's files.
    int SendIndexMetaData() override;
    // A job whose snapshot has no saved backup label cannot be restored: it is reported failed.
    int ExitHere(int const& result) override;

    std::string const& dataDirectory() const { return m_dataDirectory; }
    // The job's results directory, where the backup label and tablespace map are kept.
    std::string ResultsDirectory() const;
    bool labelSaved() const { return m_labelSaved; }
    // After the job: the job's files asked of its index (the generation the
    // application uses), the snapshot mounted, each file translated to its
    // path there, found there and, when it is a regular file, read to its
    // end there; the snapshot unmounted. 0 when every file was found and
    // every regular file read whole.
    int CheckSnapshotFiles(SnapshotFileCheck& check);
    // The verification's outcome ("" before the snapshot was made).
    std::string const& verification() const { return m_verification; }

private:
    PgClusterConfig m_server;     // how to reach the server
    PgConnection m_backupConn;    // held from pg_backup_start to pg_backup_stop
    bool m_inBackup = false;
    bool m_quiesced = false;      // a backup was started for this job's snapshot
    bool m_labelSaved = false;
    std::string m_dataDirectory;
    // Each data path's files, listed while the server is in backup mode.
    std::list<std::pair<std::string, std::list<std::string>>> m_listedFiles;
    std::string m_verification;
    SMVolSnapInfo m_indexMounts;      // the snapshot mounted for the content index, until it is made
    bool m_snapshotMounted = false;
    int UnmountSnapshot();
};
