// Dependency order of a table-level restore selection: 10,000, 100,000 and
// 1,000,000 tables with random acyclic dependencies (up to three each, rows in
// random order) and tablespaces (a leaf row per table, a chain of tablespace
// edges per database). The road timed is what the restore does with the
// lookup's rows: the row callback (each dependency record decoded), the
// tablespace closure and the table order, and the letting go of what it built.
// Five rounds, the order of the sizes rotated every round; medians with min
// and max. The logger at its default level.
// Target: each 10x the tables costs at most 12x the time.
// Usage: bench_table_order [small_tables [sizes]] (default 10000 and 3 sizes).
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
        for (size_t m = k; m < std::min(items.size(), k + kBatch); ++m)
            batches.back().items.push_back(std::move(items[m]));
    }
    return batches;
}

double Order(std::vector<FetchIndexInfoResp>& batches, int n) {
    auto start = std::chrono::steady_clock::now();
    {
        DbTabRestoreUtils utils;
        std::vector<DbTableInfo> tables;
        std::vector<DbTableSpaceInfo> spaces;
        utils.SetSelection(&tables, &spaces);
        for (FetchIndexInfoResp& b : batches)
            if (utils.FetchIndexInfoCallBack(&b) != 0) std::abort();
        utils.MakeTableSpaceListSelfContained();
        utils.MakeTableListSelfContained();
        if (tables.size() != static_cast<size_t>(n)) {
            std::fprintf(stderr, "selection of %zu tables, expected %d\n", tables.size(), n);
            std::abort();
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    setenv("JZ_LOG_FILE", "/dev/null", 0);   // the row callback logs every row at its levels
    IdxMetadata::RegisterSubsystem();
    int const smallest = argc > 1 ? std::atoi(argv[1]) : 10000;
    int const count = argc > 2 ? std::atoi(argv[2]) : 3;
    if (smallest <= 0 || count < 2) return 2;
    std::vector<int> sizes;
    std::vector<std::vector<FetchIndexInfoResp>> rows;
    for (int i = 0, n = smallest; i < count; ++i, n *= 10) {
        sizes.push_back(n);
        rows.push_back(Rows(n, static_cast<unsigned>(i + 1)));
    }
    std::vector<std::vector<double>> times(sizes.size());
    for (int round = 0; round < kRounds; ++round) {
        std::printf("round %d:", round);
        for (size_t k = 0; k < sizes.size(); ++k) {
            size_t const i = (k + static_cast<size_t>(round)) % sizes.size();
            times[i].push_back(Order(rows[i], sizes[i]));
        }
        for (size_t i = 0; i < sizes.size(); ++i) std::printf(" %d tables %.3f s", sizes[i], times[i].back());
        std::printf("\n");
        std::fflush(stdout);
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        Stat const st = Summary(times[i]);
        std::printf("%d tables: median %.3f s (min %.3f, max %.3f)\n", sizes[i], st.median, st.min, st.max);
    }
    for (size_t i = 1; i < sizes.size(); ++i) {
        std::vector<double> ratio;
        for (int round = 0; round < kRounds; ++round) ratio.push_back(times[i][round] / times[i - 1][round]);
        Stat const rs = Summary(ratio);
        double const medians = Summary(times[i]).median / Summary(times[i - 1]).median;
        std::printf("%d / %d tables: %.2fx the time (ratio of medians; per round median %.2f, min %.2f, max %.2f)  "
                    "target <= 12: %s\n",
                    sizes[i], sizes[i - 1], medians, rs.median, rs.min, rs.max, nuvbench::Target(medians <= 12.0));
    }
    return nuvbench::ExitStatus();
}
