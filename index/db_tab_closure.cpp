// DbTabRestoreUtils: dependency order of the tables and closure of the
// tablespaces. Both run in time linear in the tables and edges.
#include "nuvdbsnap/index/db_tab_restore_utils.h"

#include "nuvdbsnap/platform/base/log.h"

#include <algorithm>
#include <queue>
#include <cstring>

namespace {

std::string Key(DbTableInfo const& t) { return t.database + '\0' + t.schema + '\0' + t.table; }

}  // namespace

size_t DbTabRestoreUtils::FindOrAddNode(DbTableInfo const& table, size_t before) {
    std::string key = Key(table);
    auto found = m_nodeByKey.find(key);
    if (found != m_nodeByKey.end()) return found->second;
    size_t id = m_nodes.size();
    m_nodes.push_back(DepNode{table, {}});
    m_nodeByKey.emplace(std::move(key), id);
    // A dependency met for the first time goes right before the table that named it.
    auto where = before < m_metPos.size() ? m_metPos[before] : m_metOrder.end();
    m_metPos.push_back(m_metOrder.insert(where, id));
    m_orderDirty = true;
    return id;
}

void DbTabRestoreUtils::OrderDependencies() {
    // Tables that depend on each other in a cycle form one group (strongly
    // connected components, Tarjan, iterative). Groups are then emitted as
    // soon as every group they depend on is out, the earliest met first
    // (Kahn's order with a heap on the order of meeting): every table comes
    // after the tables it depends on, the others keep the order they were met
    // in, and the members of a cycle keep theirs. O((tables + edges) log tables).
    size_t const n = m_nodes.size();
    std::vector<size_t> rank(n);
    size_t r = 0;
    for (size_t id : m_metOrder) rank[id] = r++;

    constexpr size_t kUnseen = SIZE_MAX;
    std::vector<size_t> index(n, kUnseen), low(n, 0), group(n, kUnseen);
    std::vector<char> onStack(n, 0);
    std::vector<size_t> stack;
    std::vector<std::pair<size_t, size_t>> work;   // (node, next dependency to look at)
    std::vector<std::vector<size_t>> members;
    size_t counter = 0;
    for (size_t root : m_metOrder) {
        if (index[root] != kUnseen) continue;
        work.push_back({root, 0});
        while (!work.empty()) {
            size_t v = work.back().first;
            size_t& next = work.back().second;
            if (next == 0 && index[v] == kUnseen) {
                index[v] = low[v] = counter++;
                stack.push_back(v);
                onStack[v] = 1;
            }
            std::vector<size_t> const& deps = m_nodes[v].dependsOn;
            if (next < deps.size()) {
                size_t w = deps[next++];
                if (index[w] == kUnseen) {
                    work.push_back({w, 0});
                } else if (onStack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            if (low[v] == index[v]) {
                members.emplace_back();
                size_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    onStack[w] = 0;
                    group[w] = members.size() - 1;
                    members.back().push_back(w);
                } while (w != v);
            }
            work.pop_back();
            if (!work.empty()) {
                size_t parent = work.back().first;
                low[parent] = std::min(low[parent], low[v]);
            }
        }
    }

    size_t const groups = members.size();
    std::vector<size_t> first(groups, SIZE_MAX), waiting(groups, 0);
    std::vector<std::vector<size_t>> dependents(groups);
    for (size_t g = 0; g < groups; ++g) {
        std::sort(members[g].begin(), members[g].end(), [&](size_t a, size_t b) { return rank[a] < rank[b]; });
        first[g] = rank[members[g].front()];
    }
    for (size_t v = 0; v < n; ++v)
        for (size_t w : m_nodes[v].dependsOn)
            if (group[v] != group[w]) {
                dependents[group[w]].push_back(group[v]);
                ++waiting[group[v]];
            }
    typedef std::pair<size_t, size_t> Ready;   // (first rank, group)
    std::priority_queue<Ready, std::vector<Ready>, std::greater<Ready>> ready;
    for (size_t g = 0; g < groups; ++g)
        if (waiting[g] == 0) ready.push({first[g], g});
    m_dbTableInfoDep.clear();
    m_dbTableInfoDep.reserve(n);
    while (!ready.empty()) {
        size_t g = ready.top().second;
        ready.pop();
        if (members[g].size() > 1) {
            DbTableInfo const& t = m_nodes[members[g].front()].table;
            EvDebug::Debug(m_event, "DbTabRestoreUtils::MakeTableListSelfContained",
                           "%zu tables depend on each other in a cycle (first [%s] [%s] [%s]): they keep the order "
                           "they were met in",
                           members[g].size(), t.database.c_str(), t.schema.c_str(), t.table.c_str());
        }
        for (size_t id : members[g]) m_dbTableInfoDep.push_back(m_nodes[id].table);
        for (size_t d : dependents[g])
            if (--waiting[d] == 0) ready.push({first[d], d});
    }
    m_orderDirty = false;
}

void DbTabRestoreUtils::InsertTableSpaceInGraph(char const* path, char const& separator) {
    if (path == nullptr) return;
    std::string const p = path;
    size_t count = 0;
    for (size_t i = 1; i < p.size(); ++i)
        if (p[i] == separator) ++count;
    if (count != 4) return;
    size_t last = p.rfind(separator);
    size_t middle = p.rfind(separator, last - 1);
    size_t first = p.rfind(separator, middle - 1);
    std::string parent = p.substr(last + 1);
    std::string child = p.substr(middle + 1, last - middle - 1);
    std::string database = p.substr(first + 1, middle - first - 1);
    EvDebug::Debug(m_event, "DbTabRestoreUtils::InsertTableSpaceInGraph", "database :  [%s] parent : [%s] child : [%s]",
                   database.c_str(), parent.c_str(), child.c_str());
    if (database.empty() || parent.empty() || child.empty()) return;
    auto found = m_graphByDatabase.find(database);
    if (found == m_graphByDatabase.end() || found->second >= tblSpaceDepGraph.size() ||
        tblSpaceDepGraph[found->second].database != database) {
        tblSpaceDepGraph.push_back(DbTableSpaceRelInfo{database, {}});
        found = m_graphByDatabase.insert_or_assign(database, tblSpaceDepGraph.size() - 1).first;
    }
    tblSpaceDepGraph[found->second].edges[parent].insert(child);
}

int DbTabRestoreUtils::MakeTableSpaceListSelfContained() {
    char const tag[] = "DbTabRestoreUtils::MakeTableSpaceListSelfContained";
    EvDebug::DebugLvl(m_event, 4, tag, "tblSpaceDepGraph size : %d tsList size %d ",
                      static_cast<int>(tblSpaceDepGraph.size()), tsList ? static_cast<int>(tsList->size()) : 0);
    if (tsList == nullptr) {
        EvDebug::Error(m_event, tag, "no tablespace selection to close: GetBrowsePaths did not run");
        return 0;
    }
    for (DbTableSpaceRelInfo const& graph : tblSpaceDepGraph) {
        EvDebug::Debug(m_event, tag, "Checking for Database :  [%s] ", graph.database.c_str());
        for (DbTableSpaceInfo& selection : *tsList) {
            if (selection.database != graph.database) continue;
            std::vector<std::string> work(selection.tablespaces.begin(), selection.tablespaces.end());
            while (!work.empty()) {
                std::string name = std::move(work.back());
                work.pop_back();
                auto edges = graph.edges.find(name);
                if (edges == graph.edges.end()) continue;
                for (std::string const& child : edges->second)
                    if (selection.tablespaces.insert(child).second) work.push_back(child);
            }
        }
    }
    return 0;
}

int DbTabRestoreUtils::MakeTableListSelfContained() {
    char const tag[] = "DbTabRestoreUtils::MakeTableListSelfContained";
    if (m_orderDirty) OrderDependencies();
    EvDebug::DebugLvl(m_event, 4, tag, "m_dbTableInfoDep size : %d m_dbTableInfo size %d ",
                      static_cast<int>(m_dbTableInfoDep.size()),
                      m_dbTableInfo ? static_cast<int>(m_dbTableInfo->size()) : 0);
    if (m_dbTableInfo == nullptr) {
        EvDebug::Error(m_event, tag, "no table selection to order: GetBrowsePaths did not run");
        return 0;
    }
    std::unordered_map<std::string, size_t> selected;   // how often each table was selected
    for (DbTableInfo const& t : *m_dbTableInfo) ++selected[Key(t)];
    m_dbTableInfo->clear();
    m_selectedFor = nullptr;
    for (DbTableInfo const& t : m_dbTableInfoDep) {
        auto found = selected.find(Key(t));
        if (found == selected.end()) continue;
        for (size_t i = 0; i < found->second; ++i) {
            m_dbTableInfo->push_back(t);
            EvDebug::Debug(m_event, tag, "List :  [%s] [%s] [%s] ", t.database.c_str(), t.schema.c_str(),
                           t.table.c_str());
        }
    }
    return 0;
}
