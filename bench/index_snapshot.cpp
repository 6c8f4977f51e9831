// Content indexing of a snapshot against a find walk plus plain SQLite inserts.
//
// A tree of 10,000 files in 1,000 directories and one of 100,000 files in
// 10,000 directories lie on a declared volume. Our side: the whole road of a
// PostgreSQL agent's index phase, listing the volume with
// DBSnapBackup::ReadFilesFromDir, then NuvSnapUtilDb::createIndex over one
// connection run of the local index (directory change, archive file, every
// file with its parents, backupDone(1)). The reference: `find` over the same
// tree and plain prepared SQLite inserts of the same rows (path, directory
// flag, size, time, sequence) in one transaction, in a database of its own on
// the same file system. Each side starts after sync(); the order alternates;
// five rounds; medians with min and max.
// Targets: ours at most 2x the reference; 100k at most 12x 10k.
// Usage: bench_index_snapshot [small_files] (default 10000; the large tree is 10x).
#include "bench/round_stats.h"
#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 5;
constexpr int kFilesPerDir = 10;
std::string g_base;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void MakeTree(std::string const& root, int files) {
    for (int i = 0; i < files; ++i) {
        std::string const dir = root + "/d" + std::to_string(i / kFilesPerDir);
        if (i % kFilesPerDir == 0) std::filesystem::create_directories(dir);
        std::ofstream(dir + "/f" + std::to_string(i)) << "x";
    }
}

// A fresh state root with the application of the volume; the new job's id and token.
void FreshSuite(std::string const& tree, int round, char const* name, unsigned long* appId, nuvjobmgr::JobInfo* job) {
    std::string const root = g_base + "/" + name + std::to_string(round);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    setenv("JZ_SUITE_ROOT", root.c_str(), 1);
    setenv("JZREG", (root + "/registry").c_str(), 1);
    nuvappmgr::ClientDecl client;
    client.name = JZPI_Focus::getFocusClientName(true);
    unsigned long clientId = 0;
    nuvappmgr::SubclientDecl sub;
    sub.name = "default";
    unsigned long subclientId = 0;
    nuvappmgr::ApplicationDecl app;
    if (nuvappmgr::DeclareClient(client, &clientId).IsError() ||
        nuvappmgr::DeclareSubclient(sub, &subclientId).IsError())
        std::abort();
    app.clientId = clientId;
    app.appType = 125;
    app.subclientId = subclientId;
    if (nuvappmgr::DeclareApplication(app, appId).IsError()) std::abort();
    if (nuvsuite::Catalogue::Instance()
            .Exec("INSERT OR REPLACE INTO sm_volumes (path, device, fstype, options) VALUES (?, ?, ?, ?)",
                  {tree, "/dev/bench", "ext4", "rw"})
            .IsError())
        std::abort();
    if (nuvjobmgr::NewJob(static_cast<int64_t>(*appId), 1, job).IsError()) std::abort();
}

// Our road: list the volume, register its files, index them in one run.
double Ours(std::string const& tree, int round) {
    unsigned long appId = 0;
    nuvjobmgr::JobInfo job;
    FreshSuite(tree, round, "ours", &appId, &job);
    JZJobCtrlClient control(0);
    if (!control.Init2(job.id, "server", 1, 4, job.token.c_str(), nullptr)) std::abort();
    ApplicationId application(2, appId);
    NuvSnapUtilDb util(2, JZBkpLevel(1), &application, 1, false, &control, nullptr, SPAWN_IN_PROCESS);
    if (!util.addMountPoint(tree.c_str(), nullptr)) std::abort();
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(job.id);
    CreateArgs_t request;
    request.backupType = 1;
    request.appId = static_cast<int64_t>(appId);
    request.appType = 125;
    if (util.createSnapArchiveFiles(archive, request, nullptr, nullptr) != 0) std::abort();
    sync();
    double const start = Now();
    std::list<std::string> files;
    if (DBSnapBackup::ReadFilesFromDir(tree, files, "") != 0) std::abort();
    std::map<std::string, std::set<std::string>> mountFiles;
    auto& set = mountFiles[tree];
    for (auto& f : files) set.insert(std::move(f));
    std::string aging;
    ArchiveFileId_t afile;
    bool const verbose = false, levelOne = true, no = false, statFiles = false;
    if (util.createIndex(aging, "mover", 2, static_cast<unsigned>(appId), 125, job.id, afile, util.getSnapShotInfo(),
                         mountFiles, nullptr, verbose, nullptr, levelOne, no, no, no, std::string(), statFiles,
                         &util, false) != 0)
        std::abort();
    return Now() - start;
}

// The reference: a find walk and plain prepared inserts of the same rows.
double Reference(std::string const& tree, int round) {
    std::string const db = g_base + "/reference" + std::to_string(round) + ".db";
    std::filesystem::remove(db);
    sync();
    double const start = Now();
    std::string out, err;
    if (JzProcess::system({"find", tree}, &out, &err, 0, true) != 0) std::abort();
    sqlite3* h = nullptr;
    if (sqlite3_open(db.c_str(), &h) != SQLITE_OK) std::abort();
    sqlite3_exec(h, "PRAGMA journal_mode=WAL; CREATE TABLE entries (id INTEGER PRIMARY KEY, path TEXT NOT NULL, "
                    "is_dir INTEGER, size INTEGER, time INTEGER, sequence INTEGER); BEGIN IMMEDIATE",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(h, "INSERT INTO entries (path, is_dir, size, time, sequence) VALUES (?, ?, ?, ?, ?)", -1,
                       &insert, nullptr);
    int64_t sequence = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t const end = out.find('\n', pos);
        std::string const path = out.substr(pos, end - pos);
        pos = end == std::string::npos ? out.size() : end + 1;
        sqlite3_bind_text(insert, 1, path.c_str(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 2, 0);
        sqlite3_bind_int64(insert, 3, 0);
        sqlite3_bind_int64(insert, 4, 1);
        sqlite3_bind_int64(insert, 5, sequence++);
        if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(h, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(h);
    return Now() - start;
}

struct Stats {
    double median, min, max;
};

Stats Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

// The targets, all checked in one place (main): ours at most kRatioTarget
// times the reference at each size, and 10x the files at most kGrowthTarget
// times our time.
constexpr double kRatioTarget = 2.0;
constexpr double kGrowthTarget = 12.0;

// Both sides over one tree; the two medians.
std::pair<Stats, Stats> Measure(int files) {
    std::string const tree = g_base + "/tree" + std::to_string(files);
    MakeTree(tree, files);
    std::vector<double> ours, reference;
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
            ours.push_back(Ours(tree, round));
            reference.push_back(Reference(tree, round));
        } else {
            reference.push_back(Reference(tree, round));
            ours.push_back(Ours(tree, round));
        }
    }
    Stats const a = Summarise(ours), b = Summarise(reference);
    std::printf("%7d files in %6d directories: index %.3f s (min %.3f, max %.3f); find + inserts %.3f s (min %.3f, "
                "max %.3f); ratio %.2f (target <= %.0f) %s\n",
                files, files / kFilesPerDir, a.median, a.min, a.max, b.median, b.min, b.max, a.median / b.median,
                kRatioTarget, nuvbench::Target(a.median / b.median <= kRatioTarget));
    return {a, b};
}

}  // namespace

int main(int argc, char** argv) {
    int const small = argc > 1 ? std::atoi(argv[1]) : 10000;
    char pattern[] = "/tmp/nuv-bench-index-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    g_base = pattern;
    setenv("JZ_LOG_FILE", (g_base + "/bench.log").c_str(), 1);
    auto const a = Measure(small);
    auto const b = Measure(small * 10);
    double const growth = b.first.median / a.first.median;
    std::printf("growth from %d to %d files: %.2fx (target <= %.0f) %s\n", small, small * 10, growth, kGrowthTarget,
                nuvbench::Target(growth <= kGrowthTarget));
    std::filesystem::remove_all(g_base);
    return nuvbench::ExitStatus();
}
