// Feed rate of the local index, and browse time by index size.
//
// Feed: 1,000,000 entries (1,000 directories of 1,000 files, each file with a
// metadata value) through one connection run, from initialize to
// backupDone(1), against plain prepared SQLite inserts of the same rows into a
// table of the same shape (same columns, same keys) in one transaction, with
// the same journal settings, in a database of its own on the same file system.
// Target: the feed's rate at least half the reference rate.
//
// Browse: one directory of 1,000 entries through the browse client, in the
// 1,000,000-entry index against the same browse in a 10,000-entry index.
// Target: at most 2x.
//
// Each side starts from a fresh state root after sync(); the order of the two
// sides alternates between rounds; five rounds (eleven for the browse);
// medians with min and max.
// Usage: bench_index_feed [entries] (default 1000000; the small index is 10,000).
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <sqlite3.h>
#include <unistd.h>

#include "round_stats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using nuvbench::Stat;
using nuvbench::Summary;

namespace {

constexpr int kRounds = 5;
constexpr int kBrowseRounds = 11;   // a browse takes milliseconds: more rounds against the noise
constexpr int kFilesPerDir = 1000;
constexpr unsigned kAppId = 11;
std::string g_base;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string FreshRoot(char const* name, int round) {
    std::string root = g_base + "/" + name + std::to_string(round);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    setenv("JZ_SUITE_ROOT", root.c_str(), 1);
    return root;
}

std::string DirOf(int i) { return "/db" + std::to_string(i / kFilesPerDir); }
std::string PathOf(int i) { return DirOf(i) + "/file" + std::to_string(i % kFilesPerDir); }
std::string ValueOf(int i) { return "/data/db/file" + std::to_string(i) + ".dbf"; }

// The whole feed road into a fresh state root; seconds.
double Feed(int entries, int round, char const* name) {
    FreshRoot(name, round);
    nuvjobmgr::JobInfo job;
    if (nuvjobmgr::NewJob(kAppId, 1, &job).IsError()) std::abort();
    (void)nuvsuite::Catalogue::Instance().Exec("SELECT 1");
    sync();
    double start = Now();
    IndexingConnection c;
    if (c.initialize(2, kAppId, 22, JZBkpLevel(1), job.token.c_str(), "h*h*8400*2", "h", 0) != 0) std::abort();
    ArchiveFileId_t afile{2, 1, 5};
    c.sendAfileInfo(&afile, false);
    JzFileHeader h;
    h.attributes = 0x50C0;
    for (int i = 0; i < entries; ++i) {
        std::string value = ValueOf(i);
        IndexMetaDataStruct r;
        r.magic = IndexMetaDataStruct::kMagic;
        r.version = 1;
        r.metadataType = kIdxMetaOsPath;
        r.valueLength = r.dataLength = static_cast<uint32_t>(value.size() + 1);
        if (c.sendMetaDataInfo(r, &value[0]) != 0) std::abort();
        (void)h.setName(PathOf(i));
        h.size = i;
        if (c.sendFileInfo(&h, i + 1, nullptr, 0) != 0) std::abort();
    }
    if (c.backupDone(1) != 0) std::abort();
    return Now() - start;
}

void Must(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

// Plain prepared inserts of the same rows (entry and metadata) in one transaction; seconds.
double Reference(int entries, int round) {
    std::string root = FreshRoot("ref", round);
    sqlite3* db = nullptr;
    Must(sqlite3_open((root + "/reference.db").c_str(), &db), db);
    Must(sqlite3_exec(db,
                      "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                      "CREATE TABLE e (id INTEGER PRIMARY KEY, run_id INTEGER NOT NULL, path TEXT NOT NULL,"
                      " parent TEXT NOT NULL, is_dir INTEGER NOT NULL, size INTEGER NOT NULL, mtime INTEGER NOT NULL,"
                      " sequence INTEGER NOT NULL, brannox_id INTEGER NOT NULL, group_id INTEGER NOT NULL,"
                      " afile_id INTEGER NOT NULL, guid TEXT NOT NULL DEFAULT '', parent_guid TEXT NOT NULL DEFAULT '',"
                      " version_guid TEXT NOT NULL DEFAULT '', component_guid TEXT NOT NULL DEFAULT '');"
                      "CREATE UNIQUE INDEX e_by_path ON e (run_id, path);"
                      "CREATE INDEX e_by_parent ON e (parent, run_id);"
                      "CREATE TABLE m (entry_id INTEGER NOT NULL, type INTEGER NOT NULL, value TEXT NOT NULL,"
                      " UNIQUE (entry_id, type));",
                      nullptr, nullptr, nullptr),
         db);
    sync();
    double start = Now();
    sqlite3_stmt* ins = nullptr;
    sqlite3_stmt* meta = nullptr;
    Must(sqlite3_prepare_v2(db,
                            "INSERT INTO e(run_id, path, parent, is_dir, size, mtime, sequence, brannox_id, group_id,"
                            " afile_id) VALUES(1, ?, ?, 0, ?, 0, ?, 2, 1, 5)",
                            -1, &ins, nullptr),
         db);
    Must(sqlite3_prepare_v2(db, "INSERT INTO m(entry_id, type, value) VALUES(?, ?, ?)", -1, &meta, nullptr), db);
    Must(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    for (int i = 0; i < entries; ++i) {
        std::string path = PathOf(i), parent = DirOf(i), value = ValueOf(i);
        sqlite3_bind_text(ins, 1, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(ins, 2, parent.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(ins, 3, i);
        sqlite3_bind_int64(ins, 4, i + 1);
        Must(sqlite3_step(ins), db);
        sqlite3_reset(ins);
        sqlite3_bind_int64(meta, 1, sqlite3_last_insert_rowid(db));
        sqlite3_bind_int64(meta, 2, kIdxMetaOsPath);
        sqlite3_bind_text(meta, 3, value.c_str(), -1, SQLITE_TRANSIENT);
        Must(sqlite3_step(meta), db);
        sqlite3_reset(meta);
    }
    Must(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_finalize(ins);
    sqlite3_finalize(meta);
    double t = Now() - start;
    sqlite3_close(db);
    return t;
}

// One browse of a directory of kFilesPerDir entries through the browse client; seconds.
double BrowseDir(std::string const& root, std::string const& dir) {
    setenv("JZ_SUITE_ROOT", root.c_str(), 1);
    (void)nuvsuite::Catalogue::Instance().Exec("SELECT 1");   // the catalogue is open before the clock starts
    sync();
    double start = Now();
    databrowse::BrowseRequest request;
    CNMessageBase* entity = request.getObjectAccessor(3, 3, true, 18, 46);
    entity->setint64(1, 1, 2);
    entity->setint64(5, 11, kAppId);
    std::vector<databrowse::BrowsePath> paths(1);
    paths[0].setstring(1, 1, dir);
    request.setlistobject(4, 4, paths);
    IdxBrowseClient client;
    if (client.Initialize(request, nullptr, 2000, nullptr, nullptr) != 0) std::abort();
    databrowse::BrowseResponseList answer;
    if (client.Browse(nullptr, &answer) != 0) std::abort();
    double t = Now() - start;
    auto* responses = answer.getlistobject<CNMessageBase>(1, 1, false);
    auto* items = responses ? (*responses)[0].getObjectAccessor(6, 9)->getlistobject<CNMessageBase>(3, 6, false)
                            : nullptr;
    if (items == nullptr || items->size() != static_cast<size_t>(kFilesPerDir)) std::abort();
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    int entries = argc > 1 ? std::atoi(argv[1]) : 1000000;
    int small = 10 * kFilesPerDir;
    char tmpl[] = "/tmp/nuv-index-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    g_base = tmpl;

    std::vector<double> feed, ref, ratio;
    for (int round = 0; round < kRounds; ++round) {
        double f, r;
        if (round % 2 == 0) {
            f = Feed(entries, round, "feed");
            r = Reference(entries, round);
        } else {
            r = Reference(entries, round);
            f = Feed(entries, round, "feed");
        }
        feed.push_back(f);
        ref.push_back(r);
        ratio.push_back(r / f);   // feed rate / reference rate
        std::printf("round %d: feed %.2f s, reference %.2f s\n", round, f, r);
        std::fflush(stdout);
    }
    Stat fs = Summary(feed), rs = Summary(ref), qs = Summary(ratio);
    std::printf("feed of %d entries: median %.2f s (min %.2f, max %.2f); %.0f entries/s\n", entries, fs.median, fs.min,
                fs.max, entries / fs.median);
    std::printf("plain prepared inserts: median %.2f s (min %.2f, max %.2f); %.0f rows/s\n", rs.median, rs.min, rs.max,
                entries / rs.median);
    std::printf("feed rate / insert rate: median %.2f (min %.2f, max %.2f)  target >= 0.50: %s\n", qs.median, qs.min,
                qs.max, nuvbench::Target(qs.median >= 0.5));

    // Browse: the last big feed root against a small index fed the same way.
    std::string bigRoot = g_base + "/feed" + std::to_string(kRounds - 1);
    (void)Feed(small, 0, "small");
    std::string smallRoot = g_base + "/small0";
    std::vector<double> big, little, browseRatio;
    for (int round = 0; round < kBrowseRounds; ++round) {
        double b, s;
        if (round % 2 == 0) {
            b = BrowseDir(bigRoot, "/db7");
            s = BrowseDir(smallRoot, "/db7");
        } else {
            s = BrowseDir(smallRoot, "/db7");
            b = BrowseDir(bigRoot, "/db7");
        }
        big.push_back(b);
        little.push_back(s);
        browseRatio.push_back(b / s);
    }
    Stat bs = Summary(big), ss = Summary(little), br = Summary(browseRatio);
    std::printf("browse of one directory (%d entries): %d-entry index median %.2f ms (min %.2f, max %.2f); "
                "%d-entry index median %.2f ms (min %.2f, max %.2f)\n",
                kFilesPerDir, entries, bs.median * 1e3, bs.min * 1e3, bs.max * 1e3, small, ss.median * 1e3,
                ss.min * 1e3, ss.max * 1e3);
    std::printf("big / small browse: median %.2f (min %.2f, max %.2f)  target <= 2: %s\n", br.median, br.min, br.max,
                nuvbench::Target(br.median <= 2.0));
    std::filesystem::remove_all(g_base);
    return nuvbench::ExitStatus();
}
