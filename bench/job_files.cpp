// A snap job's files asked of its index and translated onto the mounted
// snapshot, against a direct query of the same rows plus one stat per file.
//
// A tree of 10,000 files and one of 100,000 (10 files a directory) stand for
// a mounted snapshot; one good index run of the job holds every file and its
// parent directories under "/data". Our side, per generation: a
// DBPathTranslator asks for the job's files (the first-generation query of
// PostgreSQL; the second-generation browse of DB2, and of PostgreSQL, whose
// index also holds the "+DBDIR+/data" marker that names the directory to
// browse), translates every file to the snapshot through a path translator
// and stats it. The reference: the same rows read straight from the index
// tables with SQLite (path and archive file of the run's entries: all of
// them, the files alone for DB2, those below "/data" for PostgreSQL's second
// generation), the same path moved under the snapshot, and one stat per file.
// The logger at its default level, verbose off. Each side starts after sync();
// the rounds of the two trees are interleaved, the order of the four sides
// rotated every round; five rounds; medians with min and max.
// Targets: ours at most 2x the reference; 100k at most 12x 10k.
// Usage: bench_job_files [small_files] (default 10000; the large tree is 10x).
// NUV_BENCH_CASES picks cases ("v1-pg,v2-db2,v2-pg"; default all);
// NUV_BENCH_LOG_LEVEL sets the logger's level instead of the default (1),
// e.g. 0 to leave out the lines written at level 1.
#include "nuvdbsnap/catalogue.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "bench/round_stats.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

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
constexpr unsigned kAppId = 7;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string Move(std::string const& bcd, std::string const& source, std::string const& snap) {
    if (bcd.compare(0, source.size(), source) != 0) return bcd;
    return snap + bcd.substr(source.size());
}

struct Scene {
    std::string root;      // state root
    std::string tree;      // the snapshot's files
    int64_t jobId = 0;
    int64_t runId = 0;
    uint32_t archFileId = 0;
};

// A state root with one job whose good run indexes the tree's files.
Scene MakeScene(std::string const& base, int files, unsigned appType, bool v2) {
    Scene s;
    s.root = base + "/root-" + std::to_string(files) + (v2 ? "-v2" : "-v1");
    s.tree = base + "/tree-" + std::to_string(files);
    std::filesystem::remove_all(s.root);
    std::filesystem::create_directories(s.root);
    setenv("JZ_SUITE_ROOT", s.root.c_str(), 1);
    setenv("JZREG", (s.root + "/registry").c_str(), 1);
    bool const makeTree = !std::filesystem::exists(s.tree);
    nuvjobmgr::JobInfo job;
    if (nuvjobmgr::NewJob(kAppId, 1, &job).IsError()) std::abort();
    s.jobId = job.id;
    if (v2 && nuvindexing::SetGeneration(2, kAppId, true).IsError()) std::abort();
    JZArchive archive(nullptr, false, nullptr);
    archive.SetJobID(job.id);
    CreateArgs_t args;
    args.archFileType = 6;
    args.appId = kAppId;
    CreateRet_t ret;
    if (archive.CreateArchiveForSnapBackup(&args, &ret) != 0) std::abort();
    s.archFileId = static_cast<uint32_t>(ret.archFileId);
    IndexingConnection c;
    if (c.initialize(2, kAppId, appType, JZBkpLevel(1), job.token.c_str(), "h*h*8400*2", "h", 0) != 0) std::abort();
    ArchiveFileId_t afile{2, static_cast<uint32_t>(ret.archGroupId), s.archFileId};
    if (c.sendAfileInfo(&afile, false) != 0) std::abort();
    uint64_t seq = 0;
    auto send = [&](std::string const& path, bool dir) {
        JzFileHeader h;
        if (!h.setName(path)) std::abort();
        h.mode = dir ? 0x4000 : 0;
        h.size = 1;
        if (c.sendFileInfo(&h, ++seq, nullptr, 0) != 0) std::abort();
    };
    send("/data", true);
    for (int i = 0; i < files; ++i) {
        std::string const dir = "/d" + std::to_string(i / kFilesPerDir);
        if (i % kFilesPerDir == 0) {
            send("/data" + dir, true);
            if (makeTree) std::filesystem::create_directories(s.tree + dir);
        }
        std::string const file = dir + "/f" + std::to_string(i);
        send("/data" + file, false);
        if (makeTree) std::ofstream(s.tree + file) << "x";
    }
    if (c.backupDone(1) != 0) std::abort();
    s.runId = c.runId();
    if (v2 && appType == 125) {   // the data directory's marker, of no archive file, in a run of its own
        IndexingConnection marker;
        if (marker.initialize(2, kAppId, appType, JZBkpLevel(1), job.token.c_str(), "h*h*8400*2", "h", 0) != 0)
            std::abort();
        JzFileHeader h;
        if (!h.setName("/+DBDIR+/data") || marker.sendFileInfo(&h, 1, nullptr, 0) != 0 || marker.backupDone(1) != 0)
            std::abort();
    }
    return s;
}

void Enter(Scene const& s) {
    setenv("JZ_SUITE_ROOT", s.root.c_str(), 1);
    setenv("JZREG", (s.root + "/registry").c_str(), 1);
}

// Ours: the job file query, the translation, one stat per translated file.
size_t Ours(Scene const& s, unsigned appType) {
    Enter(s);
    DBPathTranslator t;
    t.m_brannoxId = 2;
    t.m_appId = kAppId;
    t.m_appType = appType;
    t.m_jobId = s.jobId;
    if (t.getArchiveFileIdsFromIndexForAJob() != 0) std::abort();
    SMVolSnapInfo snap;
    SMVolumeInfo volume;
    volume.setArchFileId(static_cast<int>(s.archFileId));
    volume.setSourcePath("/data");
    volume.setMountPath(s.tree);
    snap.addVolume(volume);
    if (t.translateSrcPathIntoMountPath(snap, &Move).IsError()) std::abort();
    size_t found = 0;
    struct stat st;
    for (auto const& e : t.m_fileEntities) found += ::stat(e.m_mountPointTranslatedPath.c_str(), &st) == 0;
    return found;
}

// Reference: the same rows straight from the index tables, one stat per file.
// Which of the run's rows the query answers.
enum class Rows { All, Files, BelowData };

size_t Reference(Scene const& s, Rows which) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((s.root + "/catalogue.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) std::abort();
    sqlite3_stmt* stmt = nullptr;
    std::string const sql = std::string("SELECT path, afile_id FROM idx_entries WHERE run_id = ?") +
                            (which == Rows::Files       ? " AND is_dir = 0"
                             : which == Rows::BelowData ? " AND path > '/data/' AND path < '/data0'"
                                                        : "") +
                            " ORDER BY path";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) std::abort();
    sqlite3_bind_int64(stmt, 1, s.runId);
    size_t found = 0;
    struct stat st;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        std::string const path(reinterpret_cast<char const*>(sqlite3_column_text(stmt, 0)));
        if (static_cast<uint32_t>(sqlite3_column_int64(stmt, 1)) != s.archFileId) continue;
        found += ::stat(Move(path, "/data", s.tree).c_str(), &st) == 0;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return found;
}

struct Result {
    nuvbench::Stat ours, reference;
};

// Both sides over both trees, the rounds of the small and of the large tree
// interleaved: each round runs the four in turn, the order rotated.
void Measure(Scene const (&scenes)[2], unsigned appType, bool v2, Result (&results)[2]) {
    std::vector<double> ours[2], reference[2];
    Rows const which = !v2 ? Rows::All : appType == 125 ? Rows::BelowData : Rows::Files;
    for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < 4; ++k) {
            int const side = (k + round) % 4;
            int const size = side / 2;
            bool const runOurs = side % 2 == 0;
            ::sync();
            double const start = Now();
            size_t const n = runOurs ? Ours(scenes[size], appType) : Reference(scenes[size], which);
            double const took = Now() - start;
            if (n == 0) std::abort();
            (runOurs ? ours : reference)[size].push_back(took);
        }
    }
    for (int size = 0; size < 2; ++size)
        results[size] = {nuvbench::Summary(ours[size]), nuvbench::Summary(reference[size])};
}

}  // namespace

int main(int argc, char** argv) {
    int const small = argc > 1 ? std::atoi(argv[1]) : 10000;
    char pattern[] = "/tmp/nuv-bench-jobfiles-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 2;
    std::string const base = pattern;
    setenv("JZ_LOG_FILE", (base + "/bench.log").c_str(), 1);
    if (char const* level = std::getenv("NUV_BENCH_LOG_LEVEL")) g_ptrLogWriter->setLevel(std::atoi(level));
    std::printf("logger level %d\n", g_ptrLogWriter->getLevel());
    std::string const picked = std::getenv("NUV_BENCH_CASES") ? std::getenv("NUV_BENCH_CASES") : "";
    struct Case {
        char const* key;
        char const* name;
        unsigned appType;
        bool v2;
    };
    for (Case const c : {Case{"v1-pg", "first generation, PostgreSQL", 125, false},
                         Case{"v2-db2", "second generation, DB2", 37, true},
                         Case{"v2-pg", "second generation, PostgreSQL", 125, true}}) {
        if (!picked.empty() && ("," + picked + ",").find(std::string(",") + c.key + ",") == std::string::npos) continue;
        int const sizes[2] = {small, small * 10};
        Scene const scenes[2] = {MakeScene(base, sizes[0], c.appType, c.v2), MakeScene(base, sizes[1], c.appType, c.v2)};
        Result results[2];
        Measure(scenes, c.appType, c.v2, results);
        for (int i = 0; i < 2; ++i) {
            double const ratio = results[i].ours.median / results[i].reference.median;
            std::printf("%s, %d files: ours %.3f s (min %.3f, max %.3f), reference %.3f s (min %.3f, max %.3f), "
                        "ratio %.2f (target <= 2) %s\n",
                        c.name, sizes[i], results[i].ours.median, results[i].ours.min, results[i].ours.max,
                        results[i].reference.median, results[i].reference.min, results[i].reference.max, ratio,
                        nuvbench::Target(ratio <= 2.0));
        }
        double const growth = results[1].ours.median / results[0].ours.median;
        std::printf("%s: 10x the files, %.2fx the time (target <= 12) %s\n", c.name, growth,
                    nuvbench::Target(growth <= 12.0));
        std::fflush(stdout);
    }
    std::filesystem::remove_all(base);
    return nuvbench::ExitStatus();
}
