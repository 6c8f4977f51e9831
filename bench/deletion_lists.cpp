// The deletion list of a data-aging run: 10,000 index rows of 1,000 aged
// archive files against 100,000 rows of 10,000 archive files (ten rows each,
// one job). The road timed is the whole run of the data-aging utility: the
// work file of the records merged into the text file, the records read, the
// local index asked for the job's entries and one line written per entry of
// an aged archive file. Before each run the records are written anew, the
// last list removed and the file systems flushed. Five rounds, the two sizes
// in alternating order; medians with min and max.
// Target: 10x the rows and ids costs at most 12x the time.
#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/host.h"

#include "round_stats.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using nuvbench::Stat;
using nuvbench::Summary;

namespace {

constexpr int kRounds = 5;
constexpr int kRowsPerFile = 10;

struct Case {
    unsigned appId;
    int files;
    long long jobId = 0;
    std::string dir;
};

// One job of the application with `files` archive files of ten rows each in a good index run.
void Feed(Case& c) {
    nuvjobmgr::JobInfo job;
    if (nuvjobmgr::NewJob(c.appId, 1, &job).IsError()) std::abort();
    c.jobId = job.id;
    IndexingConnection connection;
    if (connection.initialize(2, c.appId, 22, JZBkpLevel(1), job.token.c_str(), "host", "host", 0) != 0) std::abort();
    for (int f = 1; f <= c.files; ++f) {
        ArchiveFileId_t afile{2, 1, static_cast<uint32_t>(f)};
        if (connection.sendAfileInfo(&afile, false) != 0) std::abort();
        for (int r = 0; r < kRowsPerFile; ++r) {
            JzFileHeader h;
            std::string const path = "/ora/f" + std::to_string(f) + "/r" + std::to_string(r) + ".dbf";
            if (!h.setName(path.c_str()) || connection.sendFileInfo(&h, static_cast<uint64_t>(r), nullptr, 0) != 0)
                std::abort();
        }
    }
    if (connection.backupDone(1) != 0) std::abort();
    char dir[1025];
    if (GetSubclientDir(2, c.appId, dir) != 0 || CreateSubclientDir(dir) != 0) std::abort();
    c.dir = dir;
}

double Run(Case const& c) {
    std::string const list = c.dir + "/ORACLE_SBT_Delete_snap";
    std::remove(list.c_str());
    {
        std::ofstream work(c.dir + "/dataAging_snap.wrk", std::ios::trunc);
        for (int f = 1; f <= c.files; ++f)
            work << "0|" << c.appId << "|" << c.jobId << "|2|0|" << f << "|2|0|0|11\n";
    }
    sync();
    std::string const host = nuvsuite::LocalMangledHostName();
    std::string got;
    auto const start = std::chrono::steady_clock::now();
    if (NuvSnapUtilDb::deleteIndex(nullptr, 2, static_cast<int>(c.appId), 22, TCACHE_SNAP, host, got) != 0)
        std::abort();
    double const t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t lines = 0;
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);) ++lines;
    if (got != list || lines != static_cast<size_t>(c.files) * kRowsPerFile) {
        std::fprintf(stderr, "list [%s] with %zu lines, expected %d\n", got.c_str(), lines, c.files * kRowsPerFile);
        std::abort();
    }
    return t;
}

}  // namespace

int main() {
    char templ[] = "/tmp/nuv-bench-deletion-XXXXXX";
    if (mkdtemp(templ) == nullptr) return 1;
    std::string const dir = templ;
    setenv("JZ_SUITE_ROOT", (dir + "/suite").c_str(), 1);
    setenv("JZ_LOG_FILE", "/dev/null", 0);  // the run logs every row at its levels
    Case small{61001, 1000}, big{61002, 10000};
    Feed(small);
    Feed(big);
    std::vector<double> s, b, ratio;
    for (int round = 0; round < kRounds; ++round) {
        double ts, tb;
        if (round % 2 == 0) {
            ts = Run(small);
            tb = Run(big);
        } else {
            tb = Run(big);
            ts = Run(small);
        }
        s.push_back(ts);
        b.push_back(tb);
        ratio.push_back(tb / ts);
        std::printf("round %d: %d rows %.3f s, %d rows %.3f s\n", round, small.files * kRowsPerFile, ts,
                    big.files * kRowsPerFile, tb);
    }
    Stat ss = Summary(s), bs = Summary(b), rs = Summary(ratio);
    std::printf("%d rows, %d ids: median %.3f s (min %.3f, max %.3f)\n", small.files * kRowsPerFile, small.files,
                ss.median, ss.min, ss.max);
    std::printf("%d rows, %d ids: median %.3f s (min %.3f, max %.3f)\n", big.files * kRowsPerFile, big.files,
                bs.median, bs.min, bs.max);
    std::printf("100k / 10k: median %.2f (min %.2f, max %.2f)  target <= 12: %s\n", rs.median, rs.min, rs.max,
                nuvbench::Target(rs.median <= 12.0));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return nuvbench::ExitStatus();
}
