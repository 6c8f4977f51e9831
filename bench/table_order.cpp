// Dependency order of a table-level restore selection: 10,000 against
// 100,000 tables with random acyclic dependencies (up to three each, rows in
// random order) and tablespaces (a leaf row per table, a chain of tablespace
// edges per database). The road timed is what the restore does with the
// lookup's rows: the row callback (each dependency record decoded), the
// tablespace closure and the table order. Five rounds, the two sizes in
// alternating order; medians with min and max.
// Target: 10x the tables costs at most 12x the time.
#include "nuvdbsnap/index/db_tab_restore_utils.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include "round_stats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using nuvbench::Stat;
using nuvbench::Summary;

namespace {

constexpr int kRounds = 5;
constexpr int kDatabases = 10;
constexpr size_t kBatch = 500;

std::string Db(int i) { return "db" + std::to_string(i % kDatabases); }
std::string Table(int i) { return "t" + std::to_string(i); }

// The lookup's rows for n tables, in batches.
std::vector<FetchIndexInfoResp> Rows(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<FInfoRespItem> items;
    for (int i = 0; i < n; ++i) {
        IdxMetadata::ListDatabaseDepTable list;
        std::vector<IdxMetadata::DatabaseDepTable> deps;
        int count = i == 0 ? 0 : static_cast<int>(rng() % 4);
        for (int d = 0; d < count; ++d) {
            int j = static_cast<int>(rng() % i);   // only earlier tables: acyclic
            IdxMetadata::DatabaseDepTable t;
            t.setstring(1, 1, "s");
            t.setstring(2, 5, Table(j));
            t.setstring(3, 9, Db(j));
            deps.push_back(t);
        }
        list.setlistobject(1, 1, deps);
        FInfoRespItem table;
        table.path = "/+tblview+/root/" + Db(i) + "/s/" + Table(i);
        table.valid = true;
        std::string text;
        if (list.serialize(text) != 0) std::abort();
        table.metaData.push_back({0x36F6102F, text});
        FInfoRespItem leaf;
        leaf.path = table.path + "/ts" + std::to_string(i);
        items.push_back(std::move(table));
        leaf.valid = true;
        items.push_back(std::move(leaf));
        if (i > 0) {
            FInfoRespItem edge;
            edge.path = "/+TblSpaceDep+/root/" + Db(i) + "/ts" + std::to_string(i) + "/ts" + std::to_string(i - 1);
            edge.valid = true;
            items.push_back(std::move(edge));
        }
    }
    std::shuffle(items.begin(), items.end(), rng);
    std::vector<FetchIndexInfoResp> batches;
    for (size_t k = 0; k < items.size(); k += kBatch) {
        batches.emplace_back();
        for (size_t m = k; m < std::min(items.size(), k + kBatch); ++m) batches.back().items.push_back(items[m]);
    }
    return batches;
}

double Order(std::vector<FetchIndexInfoResp>& batches, int n) {
    auto start = std::chrono::steady_clock::now();
    DbTabRestoreUtils utils;
    std::vector<DbTableInfo> tables;
    std::vector<DbTableSpaceInfo> spaces;
    utils.SetSelection(&tables, &spaces);
    for (FetchIndexInfoResp& b : batches)
        if (utils.FetchIndexInfoCallBack(&b) != 0) std::abort();
    utils.MakeTableSpaceListSelfContained();
    utils.MakeTableListSelfContained();
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (tables.size() != static_cast<size_t>(n)) {
        std::fprintf(stderr, "selection of %zu tables, expected %d\n", tables.size(), n);
        std::abort();
    }
    return t;
}

}  // namespace

int main() {
    setenv("JZ_LOG_FILE", "/dev/null", 0);   // the row callback logs every row at its levels
    IdxMetadata::RegisterSubsystem();
    int const small = 10000, big = 100000;
    std::vector<FetchIndexInfoResp> smallRows = Rows(small, 1), bigRows = Rows(big, 2);
    std::vector<double> s, b, ratio;
    for (int round = 0; round < kRounds; ++round) {
        double ts, tb;
        if (round % 2 == 0) {
            ts = Order(smallRows, small);
            tb = Order(bigRows, big);
        } else {
            tb = Order(bigRows, big);
            ts = Order(smallRows, small);
        }
        s.push_back(ts);
        b.push_back(tb);
        ratio.push_back(tb / ts);
        std::printf("round %d: %d tables %.3f s, %d tables %.3f s\n", round, small, ts, big, tb);
    }
    Stat ss = Summary(s), bs = Summary(b), rs = Summary(ratio);
    std::printf("%d tables: median %.3f s (min %.3f, max %.3f)\n", small, ss.median, ss.min, ss.max);
    std::printf("%d tables: median %.3f s (min %.3f, max %.3f)\n", big, bs.median, bs.min, bs.max);
    std::printf("100k / 10k: median %.2f (min %.2f, max %.2f)  target <= 12: %s\n", rs.median, rs.min, rs.max,
                nuvbench::Target(rs.median <= 12.0));
    return nuvbench::ExitStatus();
}
