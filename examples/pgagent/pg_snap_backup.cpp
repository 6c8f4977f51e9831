#include "pg_snap_backup.h"

#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/suite/admin.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sys/stat.h>

namespace {

constexpr char kTag[] = "PgSnapBackup";

bool WriteWhole(std::string const& path, std::string const& text) {
    std::string const temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

PgSnapBackup::PgSnapBackup() : DBSnapBackup(125, 1) {}

PgSnapBackup::~PgSnapBackup() {
    // A backup still open when the agent ends is stopped by the server when
    // the held connection closes; stop it here explicitly when we can.
    if (m_inBackup) (void)UnQuiesceDB();
}

int PgSnapBackup::Initialize(int const& argc, char** argv, JZBkpJobClient* jobClient, JZJobCtrlClient* jobControl) {
    // The numbers of the command line are whole numbers: "-j 489abc" is
    // refused here, never run as job 489.
    std::string error;
    bool ok = true;
    for (int i = 1; ok && i + 1 < argc; ++i) {
        std::string const option = argv[i];
        std::string const value = argv[i + 1];
        int64_t n = 0;
        if (option == "-pgsock") {
            m_server.socketDir = value;
        } else if (option == "-pgport") {
            ok = nuvsuite::ParseNumberArgument(option, value, 1, 65535, &n, &error);
            m_server.port = static_cast<int>(n);
        } else if (option == "-j") {
            ok = nuvsuite::ParseNumberArgument(option, value, 1, INT64_MAX, &n, &error);
        } else if (option == "-t") {
            ok = nuvsuite::ParseNumberArgument(option, value, 0, INT32_MAX, &n, &error);
        } else if (option == "-a") {
            size_t const colon = value.find(':');
            ok = colon != std::string::npos &&
                 nuvsuite::ParseNumberArgument(option, value.substr(0, colon), 1, UINT32_MAX, &n, &error) &&
                 nuvsuite::ParseNumberArgument(option, value.substr(colon + 1), 1, INT64_MAX, &n, &error);
            if (colon == std::string::npos) error = "-a: '" + value + "' is no <brannox>:<application>";
        } else {
            continue;
        }
        ++i;
    }
    if (!ok) {
        std::fprintf(stderr, "pgsnapagent: %s\n", error.c_str());
        EvDebug::Error(&m_ev, kTag, "%s", error.c_str());
        return -1;
    }
    return DBSnapBackup::Initialize(argc, argv, jobClient, jobControl);
}

int PgSnapBackup::FindDataPaths() {
    PgConnection conn;
    std::string error;
    std::vector<std::vector<std::string>> rows;
    if (!conn.Open(m_server, &error) || !conn.Query("SHOW data_directory", &rows, &error) || rows.empty()) {
        EvDebug::Error(&m_ev, kTag, "cannot ask the server for its data directory: %s", error.c_str());
        return -1;
    }
    m_dataDirectory = rows[0][0];
    m_dataPaths.push_back(m_dataDirectory);
    EvDebug::Debug(&m_ev, kTag, "data directory [%s]", m_dataDirectory.c_str());
    // Errors on files of the working directories, which come and go while the
    // snapshot is read, must not fail the job: the rules say so.
    std::string rules;
    if (NuvDBAgentsCommonUtils::GetPostgresJobDecisionXML(rules) == 0)
        EvDebug::Debug(&m_ev, kTag, "job-error decision rules for the job manager: %s", rules.c_str());
    if (!conn.Query("SELECT spcname, pg_tablespace_location(oid) FROM pg_tablespace "
                    "WHERE pg_tablespace_location(oid) <> '' ORDER BY spcname",
                    &rows, &error)) {
        EvDebug::Error(&m_ev, kTag, "cannot list the server's tablespaces: %s", error.c_str());
        return -1;
    }
    for (auto const& row : rows) {
        EvDebug::Debug(&m_ev, kTag, "tablespace [%s] at [%s]", row[0].c_str(), row[1].c_str());
        m_dataPaths.push_back(row[1]);
    }
    return 0;
}

int PgSnapBackup::QuiesceDB() {
    std::string error;
    if (!m_backupConn.Open(m_server, &error)) {
        EvDebug::Error(&m_ev, kTag, "QuiesceDB: %s", error.c_str());
        return -1;
    }
    std::string const label = "snap backup of job " + std::to_string(m_bkArgs->jobId);
    if (!m_backupConn.QueryParams("SELECT pg_backup_start($1, true)", {label}, nullptr, &error)) {
        EvDebug::Error(&m_ev, kTag, "pg_backup_start failed: %s", error.c_str());
        m_backupConn.Close();  // nothing of ours stays open
        return -1;
    }
    m_inBackup = true;
    m_quiesced = true;
    EvDebug::Debug(&m_ev, kTag, "the server is in backup mode for [%s]", label.c_str());
    // The files are listed before the snapshot: a file the server makes after
    // it is not in the snapshot and must not be in the job's index.
    m_listedFiles.clear();
    for (std::string const& path : m_dataPaths) {
        std::list<std::string> files;
        if (DBSnapBackup::ReadFilesFromDir(path, files, "") != 0) {
            EvDebug::Error(&m_ev, kTag, "cannot list [%s]", path.c_str());
            return -1;
        }
        m_listedFiles.emplace_back(path, std::move(files));
    }
    return 0;
}

std::string PgSnapBackup::ResultsDirectory() const {
    JZPI_CommClient comm;
    char const* root = comm.getJobResultsDirectory(JZPI_Focus::getFocusClientName(true));
    if (root == nullptr || m_bkArgs == nullptr) return std::string();
    return std::string(root) + "/JZ_JobResults/" + std::to_string(m_bkArgs->brannoxId) + "/0/" +
           std::to_string(m_bkArgs->jobId);
}

int PgSnapBackup::UnQuiesceDB() {
    if (!m_inBackup) return 0;
    // Tests hold the backup window open here with the fault ("pgagent", "hold").
    HoldWhereFaulted("pgagent", "pg_backup_stop");
    std::string error;
    std::vector<std::vector<std::string>> rows;
    bool const stopped =
        m_backupConn.Query("SELECT lsn, labelfile, spcmapfile FROM pg_backup_stop(true)", &rows, &error);
    m_inBackup = false;
    m_backupConn.Close();
    if (!stopped || rows.empty()) {
        EvDebug::Error(&m_ev, kTag, "pg_backup_stop failed: %s", error.c_str());
        return -1;
    }
    std::string const directory = ResultsDirectory();
    if (directory.empty() || CFzDirectory::Create(directory, true).IsError() ||
        !WriteWhole(directory + "/backup_label", rows[0][1]) ||
        !WriteWhole(directory + "/tablespace_map", rows[0][2])) {
        EvDebug::Error(&m_ev, kTag, "cannot keep the backup label in [%s]", directory.c_str());
        return -1;
    }
    m_labelSaved = true;
    EvDebug::Debug(&m_ev, kTag, "backup stopped at %s; label kept in [%s]", rows[0][0].c_str(), directory.c_str());
    return 0;
}

int PgSnapBackup::CreateSnapShot() {
    int const result = DBSnapBackup::CreateSnapShot();
    if (result != 0) return result;
    size_t files = 0;
    for (auto const& volume : m_nuvSnapUtilDb->getMountPoints()) files += volume.second.size();
    CFzError e = m_nuvSnapUtilDb->verifySnapShot(nullptr, nullptr);
    m_verification = e.IsError() ? "failed: " + e.AsString()
                                 : "every registered path (" + std::to_string(files) + ") is on the snapshot";
    CFzError unmounted = m_nuvSnapUtilDb->UnmountSnapshots();
    if (unmounted.IsError())
        EvDebug::Error(&m_ev, kTag, "cannot unmount the verified snapshot: %s", unmounted.AsString().c_str());
    if (e.IsError() || unmounted.IsError()) {
        if (e.IsError()) EvDebug::Error(&m_ev, kTag, "snapshot verification failed: %s", e.AsString().c_str());
        (void)UnQuiesceDB();  // the driver resumes the server only after a good create
        return -1;
    }
    return 0;
}

int PgSnapBackup::UnmountSnapshot() {
    if (!m_snapshotMounted) return 0;
    m_snapshotMounted = false;
    CFzError e = m_nuvSnapUtilDb->UnmountSnapshots(m_indexMounts);
    if (!e.IsError()) return 0;
    EvDebug::Error(&m_ev, kTag, "cannot unmount the job's snapshot: %s", e.AsString().c_str());
    return -1;
}

int PgSnapBackup::PrepareIndex() {
    // Where each volume's files lie on the mounted snapshot.
    std::vector<unsigned int> archiveFiles;
    for (auto const& volume : m_nuvSnapUtilDb->getSnapShotInfo().volumes())
        archiveFiles.push_back(static_cast<unsigned>(volume.getArchFileId()));
    m_indexMounts = SMVolSnapInfo();
    m_snapshotMounted = true;   // whatever was mounted is unmounted on every road
    CFzError e = m_nuvSnapUtilDb->LoadAndMountVolumesForArchiveFiles(archiveFiles, m_bkArgs->brannoxId, m_indexMounts);
    if (e.IsError()) {
        EvDebug::Error(&m_ev, kTag, "the snapshot cannot be mounted for the index: %s", e.AsString().c_str());
        return -1;
    }
    std::map<std::string, std::string> mounts;   // source path -> mount path
    for (auto const& volume : m_indexMounts.volumes()) mounts[volume.getSourcePath()] = volume.getMountPath();
    for (auto const& listed : m_listedFiles) {
        std::string const& path = listed.first;
        std::list<std::string> const& files = listed.second;
        // A file that is not on the snapshot (the server removed it before the
        // snapshot) or no longer on the live volume is not registered.
        size_t registered = 0;
        for (std::string const& file : files) {
            std::string copy;
            for (auto const& m : mounts) {   // a file under no volume has no copy
                copy = NuvSnapUtilDb::translatePath(file, m.first, m.second);
                if (!copy.empty()) break;
            }
            struct stat st;
            if (copy.empty() || ::stat(copy.c_str(), &st) != 0) continue;
            if (!m_nuvSnapUtilDb->addMountPoint(file.c_str(), nullptr)) continue;
            ++registered;
        }
        EvDebug::Debug(&m_ev, kTag, "%zu of %zu paths of [%s] registered for the index", registered, files.size(),
                       path.c_str());
    }
    return 0;
}

int PgSnapBackup::CreateIndex() {
    int const indexed = DBSnapBackup::CreateIndex();
    int const unmounted = UnmountSnapshot();
    return indexed != 0 ? indexed : unmounted;
}

int PgSnapBackup::SendIndexMetaData() {
    std::string const token = m_jobCtrlClient != nullptr && m_jobCtrlClient->GetJobToken() != nullptr &&
                                      *m_jobCtrlClient->GetJobToken() != '\0'
                                  ? m_jobCtrlClient->GetJobToken()
                                  : constructJobToken(m_bkArgs->jobId, 0, 0, 0);
    std::string const& host = m_bkArgs->indexDataMover.empty() ? m_bkArgs->dataMover : m_bkArgs->indexDataMover;
    IndexingConnection connection;
    if (connection.initialize(m_bkArgs->brannoxId, static_cast<unsigned long>(m_bkArgs->appId), 125, JZBkpLevel(1),
                              token.c_str(), host.c_str(), host.c_str(), 0) != 0) {
        EvDebug::Error(&m_ev, kTag, "cannot open an index run for the data path markers");
        return -1;
    }
    unsigned long long sequence = 0;
    for (std::string path : m_dataPaths) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        JzFileHeader header;
        if (!header.setName("/+DBDIR+" + path)) {
            EvDebug::Error(&m_ev, kTag, "the data path [%s] does not fit an index entry", path.c_str());
            (void)connection.backupDone(0);
            return -1;
        }
        header.time = static_cast<int64_t>(std::time(nullptr));
        if (connection.sendFileInfo(&header, ++sequence, nullptr, 0) != 0) {
            EvDebug::Error(&m_ev, kTag, "cannot index the marker of [%s]", path.c_str());
            (void)connection.backupDone(0);
            return -1;
        }
    }
    if (connection.backupDone(1) != 0) {
        EvDebug::Error(&m_ev, kTag, "the index run of the data path markers failed");
        return -1;
    }
    return 0;
}

int PgSnapBackup::ExitHere(int const& result) {
    int outcome = result;
    if (UnmountSnapshot() != 0) outcome = 1;   // a job that stopped between the snapshot and its index
    if (outcome == 0 && m_quiesced && !m_labelSaved) {
        EvDebug::Error(&m_ev, kTag, "the snapshot has no backup label and cannot be restored: the job fails");
        outcome = 1;
    }
    return DBSnapBackup::ExitHere(outcome);
}
