// DbTabRestoreUtils at restore on larger graphs: the dependency order of the
// selection (chains, shared dependencies, ties, cycles, several databases and
// schemas, rows over several batches) and the tablespace closure, each against
// the order written out by hand and against a plain model of the rules.
#include "nuvdbsnap/index.h"
#include "nuvdbsnap/platform/indexing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using Strings = std::vector<std::string>;

namespace {

// "db/s/t" as a table.
DbTableInfo Parse(std::string const& name) {
    size_t a = name.find('/'), b = name.find('/', a + 1);
    return {name.substr(0, a), name.substr(a + 1, b - a - 1), name.substr(b + 1)};
}

std::string Name(DbTableInfo const& t) { return t.database + "/" + t.schema + "/" + t.table; }

// The row of a table with the tables it depends on, as the lookup hands it.
FInfoRespItem DepRow(std::string const& table, Strings const& deps) {
    IdxMetadata::ListDatabaseDepTable list;
    std::vector<IdxMetadata::DatabaseDepTable> items;
    for (auto const& d : deps) {
        DbTableInfo const t = Parse(d);
        IdxMetadata::DatabaseDepTable item;
        item.setstring(1, 1, t.schema);
        item.setstring(2, 5, t.table);
        item.setstring(3, 9, t.database);
        items.push_back(item);
    }
    list.setlistobject(1, 1, items);
    FInfoRespItem row;
    row.path = "/+tblview+/root/" + table;
    row.valid = true;
    std::string text;
    EXPECT_EQ(0, list.serialize(text));
    row.metaData.push_back({int(kIdxMetaTableLevel), text});
    return row;
}

// A leaf row: the table selected with one of its tablespaces.
FInfoRespItem LeafRow(std::string const& table, std::string const& tablespace) {
    return {"/+tblview+/root/" + table + "/" + tablespace, true, {}};
}

// A tablespace edge row of a database, child then parent as the index names
// them: a selected parent brings the child.
FInfoRespItem EdgeRow(std::string const& database, std::string const& child, std::string const& parent) {
    return {"/+TblSpaceDep+/root/" + database + "/" + child + "/" + parent, true, {}};
}

// One step of what the lookup and the caller do: a batch of rows, or tables
// the caller adds to the selection itself.
struct Step {
    std::vector<FInfoRespItem> rows;
    Strings selectedByCaller;
};

Strings Select(std::vector<Step> const& steps, std::vector<DbTableSpaceInfo>* spaces = nullptr,
            Strings* dependencyOrder = nullptr) {
    DbTabRestoreUtils u;
    std::vector<DbTableInfo> tables;
    std::vector<DbTableSpaceInfo> ownSpaces;
    u.SetSelection(&tables, spaces ? spaces : &ownSpaces);
    for (Step const& s : steps) {
        for (auto const& t : s.selectedByCaller) tables.push_back(Parse(t));
        FetchIndexInfoResp batch;
        batch.items.assign(s.rows.begin(), s.rows.end());
        EXPECT_EQ(0, u.FetchIndexInfoCallBack(&batch));
    }
    EXPECT_EQ(0, u.MakeTableSpaceListSelfContained());
    EXPECT_EQ(0, u.MakeTableListSelfContained());
    if (dependencyOrder)
        for (auto const& t : u.dependencyOrder()) dependencyOrder->push_back(Name(t));
    Strings out;
    for (auto const& t : tables) out.push_back(Name(t));
    return out;
}

// The rules written plainly: tables are placed in the order met, a dependency
// met first right before the table that named it; tables in a cycle form one
// group; the group met earliest among those whose dependencies are all out
// goes next, its members in the order met; each selected table comes out as
// often as it was selected, tables without dependency records not at all.
struct Model {
    std::map<std::string, int> ids;
    std::vector<std::string> names;
    std::list<int> met;
    std::vector<std::list<int>::iterator> where;
    std::vector<std::vector<int>> deps;
    Strings selection;

    int Find(std::string const& name, int before) {
        auto f = ids.find(name);
        if (f != ids.end()) return f->second;
        int id = static_cast<int>(names.size());
        ids[name] = id;
        names.push_back(name);
        deps.emplace_back();
        where.push_back(met.insert(before < 0 ? met.end() : where[before], id));
        return id;
    }
    void Row(std::string const& table, Strings const& on) {
        int cur = Find(table, -1);
        for (auto const& d : on)
            if (d != table) {
                int const id = Find(d, cur);
                deps[cur].push_back(id);
            }
    }
    void Leaf(std::string const& table) {
        if (std::find(selection.begin(), selection.end(), table) == selection.end()) selection.push_back(table);
    }
    Strings Order() const {
        size_t const n = names.size();
        std::vector<int> rank(n);
        int r = 0;
        for (int id : met) rank[id] = r++;
        std::vector<std::vector<char>> reach(n, std::vector<char>(n, 0));
        for (size_t v = 0; v < n; ++v) {
            reach[v][v] = 1;
            for (int w : deps[v]) reach[v][w] = 1;
        }
        for (size_t k = 0; k < n; ++k)
            for (size_t i = 0; i < n; ++i)
                if (reach[i][k])
                    for (size_t j = 0; j < n; ++j)
                        if (reach[k][j]) reach[i][j] = 1;
        std::vector<char> out(n, 0);
        Strings order;
        for (size_t emitted = 0; emitted < n;) {
            int best = -1;
            for (size_t v = 0; v < n; ++v) {
                if (out[v]) continue;
                bool ready = true;   // every table the group needs outside it is out
                for (size_t m = 0; m < n && ready; ++m) {
                    if (!(reach[v][m] && reach[m][v])) continue;
                    for (size_t w = 0; w < n; ++w)
                        if (reach[m][w] && !(reach[w][v] && reach[v][w]) && !out[w]) ready = false;
                }
                if (ready && (best < 0 || rank[v] < rank[best])) best = static_cast<int>(v);
            }
            std::vector<int> group;
            for (size_t m = 0; m < n; ++m)
                if (reach[best][m] && reach[m][best]) group.push_back(static_cast<int>(m));
            std::sort(group.begin(), group.end(), [&](int a, int b) { return rank[a] < rank[b]; });
            for (int m : group) {
                out[m] = 1;
                order.push_back(names[m]);
                ++emitted;
            }
        }
        return order;
    }
    Strings Selection() const {
        Strings result;
        for (auto const& t : Order())
            for (auto const& s : selection)
                if (s == t) result.push_back(t);
        return result;
    }
};

}  // namespace

TEST(DbTabOrderGraph, OrderOfNonTrivialGraphs) {
    std::string const kLongDb(300, 'd'), kLongSchema(130, 's');
    struct Case {
        char const* name;
        std::vector<Step> steps;
        Strings expected;
    };
    Case const cases[] = {
        {"two chains sharing a root, ties in the order met",
         {{{DepRow("d/s/a", {"d/s/b"}), DepRow("d/s/x", {"d/s/y"}), DepRow("d/s/b", {"d/s/r"}),
            DepRow("d/s/y", {"d/s/r"}), DepRow("d/s/r", {}), DepRow("d/s/lone", {})},
           {"d/s/a", "d/s/b", "d/s/x", "d/s/y", "d/s/r", "d/s/lone"}}},
         {"d/s/r", "d/s/b", "d/s/a", "d/s/y", "d/s/x", "d/s/lone"}},
        {"a diamond met from its top",
         {{{DepRow("d/s/top", {"d/s/l", "d/s/rt"}), DepRow("d/s/l", {"d/s/bot"}), DepRow("d/s/rt", {"d/s/bot"})},
           {"d/s/top", "d/s/l", "d/s/rt", "d/s/bot"}}},
         {"d/s/bot", "d/s/l", "d/s/rt", "d/s/top"}},
        {"same table name in two databases and two schemas",
         {{{DepRow("d1/s/t", {"d2/s/t"}), DepRow("d2/s/t", {"d1/p/t"}), DepRow("d1/p/t", {})},
           {"d1/s/t", "d2/s/t", "d1/p/t"}}},
         {"d1/p/t", "d2/s/t", "d1/s/t"}},
        {"a cycle of three with a tail and a table needing it",
         {{{DepRow("d/s/c1", {"d/s/c2"}), DepRow("d/s/c2", {"d/s/c3"}), DepRow("d/s/c3", {"d/s/c1", "d/s/tail"}),
            DepRow("d/s/user", {"d/s/c2"}), DepRow("d/s/first", {})},
           {"d/s/user", "d/s/c1", "d/s/c2", "d/s/c3", "d/s/tail", "d/s/first"}}},
         {"d/s/tail", "d/s/c3", "d/s/c2", "d/s/c1", "d/s/user", "d/s/first"}},
        {"rows over batches, leaves selecting, the caller adding twice",
         {{{LeafRow("d/s/a", "ts1"), DepRow("d/s/a", {"d/s/b"})}, {}},
          {{LeafRow("d/s/b", "ts2"), LeafRow("d/s/a", "ts3")}, {"d/s/c", "d/s/c"}},
          {{DepRow("d/s/c", {"d/s/a"}), DepRow("d/s/b", {}), LeafRow("d/s/nodeps", "ts4")}, {}}},
         {"d/s/b", "d/s/a", "d/s/c", "d/s/c"}},
        {"a late row moves an early table after its new dependency",
         {{{DepRow("d/s/p", {}), DepRow("d/s/q", {}), DepRow("d/s/r", {})}, {"d/s/p", "d/s/q", "d/s/r"}},
          {{DepRow("d/s/p", {"d/s/r"}), DepRow("d/s/q", {"d/s/p"})}, {}}},
         {"d/s/r", "d/s/p", "d/s/q"}},
        {"names of every length, one a prefix of another",
         {{{DepRow(kLongDb + "/s/t", {kLongDb + "/" + kLongSchema + "/t", "d/s/" + kLongDb}),
            DepRow("d/s/" + kLongDb, {"d/s/" + kLongDb.substr(0, 200)}), DepRow(kLongDb + "/" + kLongSchema + "/t", {})},
           {kLongDb + "/s/t", kLongDb + "/" + kLongSchema + "/t", "d/s/" + kLongDb, "d/s/" + kLongDb.substr(0, 200)}}},
         {kLongDb + "/" + kLongSchema + "/t", "d/s/" + kLongDb.substr(0, 200), "d/s/" + kLongDb, kLongDb + "/s/t"}},
    };
    for (auto const& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(k.expected, Select(k.steps));
    }
}

TEST(DbTabOrderGraph, RandomGraphsFollowTheRules) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        int const tables = 2 + static_cast<int>(rng() % 14);
        auto name = [&](int i) {
            return "db" + std::to_string(i % 2) + "/s" + std::to_string(i % 3 == 0) + "/t" + std::to_string(i);
        };
        Model model;
        std::vector<Step> steps(1 + rng() % 4);
        for (Step& step : steps) {
            int const count = static_cast<int>(rng() % (tables + 1));
            for (int r = 0; r < count; ++r) {
                int const t = static_cast<int>(rng() % tables);
                switch (rng() % 5) {
                case 0:
                    step.rows.push_back(LeafRow(name(t), "ts" + std::to_string(rng() % 4)));
                    break;
                case 1:
                    step.selectedByCaller.push_back(name(t));
                    break;
                default: {
                    Strings on;
                    for (unsigned d = rng() % 4; d > 0; --d) on.push_back(name(static_cast<int>(rng() % tables)));
                    step.rows.push_back(DepRow(name(t), on));
                }
                }
            }
        }
        for (Step const& step : steps) {
            for (auto const& t : step.selectedByCaller) model.selection.push_back(t);
            for (FInfoRespItem const& row : step.rows) {
                std::string const table = row.path.substr(std::string("/+tblview+/root/").size());
                if (row.metaData.empty()) {
                    model.Leaf(table.substr(0, table.rfind('/')));
                    continue;
                }
                IdxMetadata::ListDatabaseDepTable list;
                std::string text = row.metaData.front().value;
                ASSERT_EQ(0, list.unserialize(text));
                Strings on;
                if (auto* deps = list.getlistobject<CNMessageBase>(1, 1, false))
                    for (auto const& d : *deps) on.push_back(d.getstring(3, 9) + "/" + d.getstring(1, 1) + "/" +
                                                             d.getstring(2, 5));
                model.Row(table, on);
            }
        }
        Strings order;
        Strings const got = Select(steps, nullptr, &order);
        EXPECT_EQ(model.Order(), order);
        EXPECT_EQ(model.Selection(), got);
    }
}

TEST(DbTabOrderGraph, TablespaceClosureOverSharedAndCyclicEdges) {
    using Set = std::set<std::string>;
    struct Case {
        char const* name;
        std::vector<FInfoRespItem> rows;
        std::vector<DbTableSpaceInfo> before;
        std::map<std::string, Set> expected;   // database: its tablespaces
    };
    Case const cases[] = {
        {"children shared by two parents, followed to the end",
         {LeafRow("d/s/t1", "a"), LeafRow("d/s/t2", "b"), EdgeRow("d", "c", "a"), EdgeRow("d", "c", "b"),
          EdgeRow("d", "e", "c"), EdgeRow("d", "f", "e"), EdgeRow("d", "g", "unselected")},
         {},
         {{"d", {"a", "b", "c", "e", "f"}}}},
        {"a cycle of edges ends",
         {LeafRow("d/s/t1", "a"), EdgeRow("d", "b", "a"), EdgeRow("d", "c", "b"), EdgeRow("d", "a", "c"),
          EdgeRow("d", "b", "a")},
         {},
         {{"d", {"a", "b", "c"}}}},
        {"each database follows its own edges",
         {LeafRow("d1/s/t", "a"), LeafRow("d2/s/t", "x"), EdgeRow("d1", "b", "a"), EdgeRow("d2", "c", "a"),
          EdgeRow("d2", "y", "x"), EdgeRow("d3", "z", "x")},
         {},
         {{"d1", {"a", "b"}}, {"d2", {"x", "y"}}}},
        {"a selection made before the rows, names of every length",
         {EdgeRow("d", "a-much-longer-tablespace-name", "p"), EdgeRow("d", "q", "a-much-longer-tablespace-name"),
          LeafRow("d/s/t", "z")},
         {{"d", {"p"}}},
         {{"d", {"a-much-longer-tablespace-name", "p", "q", "z"}}}},
    };
    for (auto const& k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<DbTableSpaceInfo> spaces = k.before;
        (void)Select({{k.rows, {}}}, &spaces);
        std::map<std::string, Set> got;
        for (auto const& s : spaces) {
            EXPECT_EQ(0u, got.count(s.database)) << "one entry per database";
            got[s.database] = s.tablespaces;
        }
        EXPECT_EQ(k.expected, got);
    }
}
