// DbTabRestoreUtils: dependency order of the tables and closure of the
// tablespaces. Tables and tablespace names are interned to ids found by
// hash; the order and the closure work on flat arrays of ids, in time linear
// in the tables and edges.
#include "nuvdbsnap/index/db_tab_restore_utils.h"

#include "nuvdbsnap/platform/base/log.h"

#include <algorithm>
#include <string_view>

namespace {

uint64_t HashOf(char const* p, size_t n) { return std::hash<std::string_view>{}(std::string_view(p, n)); }

// The finaliser of MurmurHash3: every bit of the result depends on every bit of h.
uint64_t Finish(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

uint64_t KeyHash(std::string const& key) { return Finish(HashOf(key.data(), key.size())); }

// A length in a key: seven bits a byte, the last byte without its high bit.
void AppendLength(std::string* key, size_t n) {
    for (; n >= 0x80; n >>= 7) key->push_back(static_cast<char>(0x80 | (n & 0x7F)));
    key->push_back(static_cast<char>(n));
}

size_t ReadLength(std::string const& key, size_t* pos) {
    size_t n = 0;
    for (unsigned shift = 0;; shift += 7) {
        unsigned char const c = static_cast<unsigned char>(key[(*pos)++]);
        n |= static_cast<size_t>(c & 0x7F) << shift;
        if ((c & 0x80) == 0) return n;
    }
}


// Open addressing over a power-of-two array, half full at most: each slot
// holds the high half of the hash beside the id, so a probe reads the entry
// it finds only when that half matches.
constexpr uint64_t kEmpty = UINT64_MAX;
uint64_t Entry(uint64_t hash, uint32_t id) { return (hash & 0xFFFFFFFF00000000ull) | id; }
bool Matches(uint64_t entry, uint64_t hash) { return (entry ^ hash) >> 32 == 0; }
uint32_t IdOf(uint64_t entry) { return static_cast<uint32_t>(entry); }

void Place(std::vector<uint64_t>& slots, uint64_t hash, uint32_t id) {
    size_t const mask = slots.size() - 1;
    size_t s = hash & mask;
    while (slots[s] != kEmpty) s = (s + 1) & mask;
    slots[s] = Entry(hash, id);
}

// The id `key` holds in `slots` (its texts in `keys`), or `none`.
template <class Keys>
uint32_t Find(std::vector<uint64_t> const& slots, Keys const& keys, std::string const& key, uint64_t hash,
              uint32_t none) {
    if (slots.empty()) return none;
    size_t const mask = slots.size() - 1;
    for (size_t s = hash & mask;; s = (s + 1) & mask) {
        uint64_t const entry = slots[s];
        if (entry == kEmpty) return none;
        if (Matches(entry, hash) && keys[IdOf(entry)] == key) return IdOf(entry);
    }
}

void Grow(std::vector<uint64_t>& slots, std::vector<uint64_t> const& hashes) {
    size_t const count = hashes.size();
    if (count * 2 < slots.size()) return;
    size_t size = slots.empty() ? 1024 : slots.size() * 2;
    slots.assign(size, kEmpty);
    for (size_t id = 0; id + 1 < count; ++id) Place(slots, hashes[id], static_cast<uint32_t>(id));
}

// A set of ranks taken smallest first: a bit per rank and a summary bit per
// word, level over level.
class RankSet {
public:
    explicit RankSet(size_t n) {
        size_t bits = std::max<size_t>(n, 1);
        do {
            size_t words = (bits + 63) / 64;
            m_levels.emplace_back(words, 0);
            bits = words;
        } while (bits > 1);
    }
    void Insert(size_t i) {
        for (std::vector<uint64_t>& level : m_levels) {
            bool const had = level[i >> 6] != 0;
            level[i >> 6] |= uint64_t(1) << (i & 63);
            if (had) break;
            i >>= 6;
        }
    }
    bool TakeSmallest(size_t* out) {
        if (m_levels.back()[0] == 0) return false;
        size_t i = 0;
        for (size_t k = m_levels.size(); k-- > 0;) i = i * 64 + static_cast<size_t>(__builtin_ctzll(m_levels[k][i]));
        *out = i;
        for (std::vector<uint64_t>& level : m_levels) {
            level[i >> 6] &= ~(uint64_t(1) << (i & 63));
            if (level[i >> 6] != 0) break;
            i >>= 6;
        }
        return true;
    }

private:
    std::vector<std::vector<uint64_t>> m_levels;
};

// Counting sort of pairs by their first member into offsets and seconds; the
// seconds of one first keep the order they had.
template <typename Pairs, typename First, typename Second>
void Buckets(Pairs const& pairs, size_t keys, First first, Second second, std::vector<uint32_t>* offsets,
             std::vector<uint32_t>* values) {
    offsets->assign(keys + 1, 0);
    for (auto const& p : pairs) ++(*offsets)[first(p) + 1];
    for (size_t k = 0; k < keys; ++k) (*offsets)[k + 1] += (*offsets)[k];
    values->resize((*offsets)[keys]);
    std::vector<uint32_t> at(offsets->begin(), offsets->end() - 1);
    for (auto const& p : pairs) (*values)[at[first(p)]++] = second(p);
}

}  // namespace

void DbTabRestoreUtils::KeyOf(DbTableInfo const& table, std::string* key) {
    key->clear();
    AppendLength(key, table.database.size());
    key->append(table.database);
    AppendLength(key, table.schema.size());
    key->append(table.schema);
    key->append(table.table);
}

DbTableInfo DbTabRestoreUtils::TableOf(uint32_t id) const {
    std::string const& key = m_keys[id];
    DbTableInfo table;
    size_t pos = 0;
    size_t n = ReadLength(key, &pos);
    table.database.assign(key, pos, n);
    pos += n;
    n = ReadLength(key, &pos);
    table.schema.assign(key, pos, n);
    pos += n;
    table.table.assign(key, pos, std::string::npos);
    return table;
}

uint32_t DbTabRestoreUtils::FindTable(std::string const& key, uint64_t hash) const {
    return Find(m_tableSlots, m_keys, key, hash, kNone);
}

// The node of a table, added when new (every id added after the last is placed).
uint32_t DbTabRestoreUtils::InternTable(DbTableInfo const& table) {
    KeyOf(table, &m_key);
    uint64_t const hash = KeyHash(m_key);
    uint32_t id = FindTable(m_key, hash);
    if (id != kNone) return id;
    id = static_cast<uint32_t>(m_keys.size());
    m_keys.emplace_back(m_key);
    m_tableHash.push_back(hash);
    m_nodes.emplace_back();
    Grow(m_tableSlots, m_tableHash);
    Place(m_tableSlots, hash, id);
    return id;
}

size_t DbTabRestoreUtils::FindOrAddNode(DbTableInfo const& table, size_t before) {
    uint32_t const id = InternTable(table);
    if (m_nodes[id].inGraph) return id;
    m_nodes[id].inGraph = true;
    ++m_graphNodes;
    // A dependency met for the first time goes right before the table that named it.
    uint32_t const next = before < m_nodes.size() && m_nodes[before].inGraph ? static_cast<uint32_t>(before) : kNone;
    uint32_t const prev = next == kNone ? m_metTail : m_nodes[next].prev;
    m_nodes[id].prev = prev;
    m_nodes[id].next = next;
    (prev == kNone ? m_metHead : m_nodes[prev].next) = id;
    (next == kNone ? m_metTail : m_nodes[next].prev) = id;
    m_orderDirty = true;
    return id;
}

void DbTabRestoreUtils::OrderDependencies() {
    // Tables that depend on each other in a cycle form one group (strongly
    // connected components, Tarjan, iterative). Groups are then emitted as
    // soon as every group they depend on is out, the earliest met first
    // (Kahn's order, the ready groups kept by the rank they were met at):
    // every table comes after the tables it depends on, the others keep the
    // order they were met in, and the members of a cycle keep theirs.
    size_t const n = m_keys.size();
    std::vector<uint32_t> rank(n, kNone), byRank;
    byRank.reserve(m_graphNodes);
    for (uint32_t id = m_metHead; id != kNone; id = m_nodes[id].next) {
        rank[id] = static_cast<uint32_t>(byRank.size());
        byRank.push_back(id);
    }
    std::vector<uint32_t> depStart, deps;
    Buckets(m_dependsOn, n, [](auto const& e) { return e.first; }, [](auto const& e) { return e.second; }, &depStart,
            &deps);

    std::vector<uint32_t> index(n, kNone), low(n, 0), group(n, kNone), stack;
    std::vector<char> onStack(n, 0);
    std::vector<std::pair<uint32_t, uint32_t>> work;   // (node, next dependency to look at)
    uint32_t counter = 0, groups = 0;
    for (uint32_t root : byRank) {
        if (index[root] != kNone) continue;
        work.push_back({root, depStart[root]});
        index[root] = low[root] = counter++;
        stack.push_back(root);
        onStack[root] = 1;
        while (!work.empty()) {
            uint32_t const v = work.back().first;
            uint32_t& next = work.back().second;
            if (next < depStart[v + 1]) {
                uint32_t const w = deps[next++];
                if (index[w] == kNone) {
                    index[w] = low[w] = counter++;
                    stack.push_back(w);
                    onStack[w] = 1;
                    work.push_back({w, depStart[w]});
                } else if (onStack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            if (low[v] == index[v]) {
                uint32_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    onStack[w] = 0;
                    group[w] = groups;
                } while (w != v);
                ++groups;
            }
            work.pop_back();
            if (!work.empty()) {
                uint32_t const parent = work.back().first;
                low[parent] = std::min(low[parent], low[v]);
            }
        }
    }
    std::vector<uint32_t>().swap(index);
    std::vector<uint32_t>().swap(low);
    std::vector<char>().swap(onStack);

    // Members of each group in the order met; a group is known by its first rank.
    std::vector<uint32_t> memberStart(groups + 1, 0), members(byRank.size()), firstRank(groups, kNone);
    std::vector<uint32_t> groupAtRank(byRank.size());
    for (uint32_t id : byRank) ++memberStart[group[id] + 1];
    for (uint32_t g = 0; g < groups; ++g) memberStart[g + 1] += memberStart[g];
    {
        std::vector<uint32_t> at(memberStart.begin(), memberStart.end() - 1);
        for (uint32_t id : byRank) {
            uint32_t const g = group[id];
            if (firstRank[g] == kNone) {
                firstRank[g] = rank[id];
                groupAtRank[rank[id]] = g;
            }
            members[at[g]++] = id;
        }
    }
    std::vector<std::pair<uint32_t, uint32_t>> between;   // (group depended on, group depending)
    std::vector<uint32_t> waiting(groups, 0);
    between.reserve(m_dependsOn.size());
    for (auto const& e : m_dependsOn) {
        uint32_t const from = group[e.first], to = group[e.second];
        if (from == to) continue;
        between.push_back({to, from});
        ++waiting[from];
    }
    std::vector<uint32_t> dependentStart, dependents;
    Buckets(between, groups, [](auto const& e) { return e.first; }, [](auto const& e) { return e.second; },
            &dependentStart, &dependents);
    std::vector<std::pair<uint32_t, uint32_t>>().swap(between);

    RankSet ready(byRank.size());
    for (uint32_t g = 0; g < groups; ++g)
        if (waiting[g] == 0) ready.Insert(firstRank[g]);
    m_order.clear();
    m_order.reserve(byRank.size());
    for (size_t r; ready.TakeSmallest(&r);) {
        uint32_t const g = groupAtRank[r];
        uint32_t const size = memberStart[g + 1] - memberStart[g];
        if (size > 1) {
            DbTableInfo const t = TableOf(members[memberStart[g]]);
            EvDebug::Debug(m_event, "DbTabRestoreUtils::MakeTableListSelfContained",
                           "%zu tables depend on each other in a cycle (first [%s] [%s] [%s]): they keep the order "
                           "they were met in",
                           static_cast<size_t>(size), t.database.c_str(), t.schema.c_str(), t.table.c_str());
        }
        m_order.insert(m_order.end(), members.begin() + memberStart[g], members.begin() + memberStart[g + 1]);
        for (uint32_t k = dependentStart[g]; k < dependentStart[g + 1]; ++k)
            if (--waiting[dependents[k]] == 0) ready.Insert(firstRank[dependents[k]]);
    }
    m_orderDirty = false;
    m_depListed = false;
}

std::vector<DbTableInfo> const& DbTabRestoreUtils::dependencyOrder() const {
    if (!m_depListed) {
        m_dbTableInfoDep.clear();
        m_dbTableInfoDep.reserve(m_order.size());
        for (uint32_t id : m_order) m_dbTableInfoDep.push_back(TableOf(id));
        m_depListed = true;
    }
    return m_dbTableInfoDep;
}

void DbTabRestoreUtils::SpaceKeyOf(uint32_t database, char const* name, size_t size, std::string* key) {
    key->clear();
    AppendLength(key, database);
    key->append(name, size);
}

std::string DbTabRestoreUtils::SpaceNameOf(uint32_t id) const {
    std::string const& key = m_spaceKeys[id];
    size_t pos = 0;
    (void)ReadLength(key, &pos);
    return key.substr(pos);
}

uint32_t DbTabRestoreUtils::FindTableSpace(std::string const& key, uint64_t hash) const {
    return Find(m_spaceSlots, m_spaceKeys, key, hash, kNone);
}

uint32_t DbTabRestoreUtils::InternTableSpace(uint32_t database, char const* name, size_t size) {
    SpaceKeyOf(database, name, size, &m_spaceKey);
    uint64_t const hash = KeyHash(m_spaceKey);
    uint32_t id = FindTableSpace(m_spaceKey, hash);
    if (id != kNone) return id;
    id = static_cast<uint32_t>(m_spaceKeys.size());
    m_spaceKeys.emplace_back(m_spaceKey);
    m_spaceHash.push_back(hash);
    Grow(m_spaceSlots, m_spaceHash);
    Place(m_spaceSlots, hash, id);
    return id;
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
    if (found == m_graphByDatabase.end()) {
        found = m_graphByDatabase.emplace(database, static_cast<uint32_t>(m_graphDatabases.size())).first;
        m_graphDatabases.push_back(database);
    }
    uint32_t const db = found->second;
    m_spaceEdges.push_back(TableSpaceEdge{db, InternTableSpace(db, parent.data(), parent.size()),
                                          InternTableSpace(db, child.data(), child.size())});
}

std::vector<DbTableSpaceRelInfo> const& DbTabRestoreUtils::tableSpaceGraph() const {
    for (size_t d = tblSpaceDepGraph.size(); d < m_graphDatabases.size(); ++d)
        tblSpaceDepGraph.push_back(DbTableSpaceRelInfo{m_graphDatabases[d], {}});
    for (; m_spaceEdgesInGraph < m_spaceEdges.size(); ++m_spaceEdgesInGraph) {
        TableSpaceEdge const& e = m_spaceEdges[m_spaceEdgesInGraph];
        tblSpaceDepGraph[e.database].edges[SpaceNameOf(e.parent)].insert(SpaceNameOf(e.child));
    }
    return tblSpaceDepGraph;
}

int DbTabRestoreUtils::MakeTableSpaceListSelfContained() {
    char const tag[] = "DbTabRestoreUtils::MakeTableSpaceListSelfContained";
    EvDebug::DebugLvl(m_event, 4, tag, "tblSpaceDepGraph size : %d tsList size %d ",
                      static_cast<int>(m_graphDatabases.size()), tsList ? static_cast<int>(tsList->size()) : 0);
    if (tsList == nullptr) {
        EvDebug::Error(m_event, tag, "no tablespace selection to close: GetBrowsePaths did not run");
        return 0;
    }
    if (m_graphDatabases.empty()) return 0;
    // Children of each (database, parent) name id; a name reached is stamped
    // with the walk, and every name already selected is stamped first, so a
    // child reached unstamped is new to the selection.
    std::vector<uint32_t> childStart, children;
    Buckets(m_spaceEdges, m_spaceKeys.size(), [](TableSpaceEdge const& e) { return e.parent; },
            [](TableSpaceEdge const& e) { return e.child; }, &childStart, &children);
    std::vector<uint32_t> stamp(m_spaceKeys.size(), 0), work;
    uint32_t walk = 0;
    for (uint32_t db = 0; db < m_graphDatabases.size(); ++db) {
        std::string const& database = m_graphDatabases[db];
        EvDebug::Debug(m_event, tag, "Checking for Database :  [%s] ", database.c_str());
        for (DbTableSpaceInfo& selection : *tsList) {
            if (selection.database != database) continue;
            ++walk;
            work.clear();
            for (std::string const& name : selection.tablespaces) {
                SpaceKeyOf(db, name.data(), name.size(), &m_spaceKey);
                uint32_t const id = FindTableSpace(m_spaceKey, KeyHash(m_spaceKey));
                if (id == kNone || stamp[id] == walk) continue;
                stamp[id] = walk;
                work.push_back(id);
            }
            while (!work.empty()) {
                uint32_t const v = work.back();
                work.pop_back();
                for (uint32_t k = childStart[v]; k < childStart[v + 1]; ++k) {
                    uint32_t const c = children[k];
                    if (stamp[c] == walk) continue;
                    stamp[c] = walk;
                    selection.tablespaces.insert(SpaceNameOf(c));
                    work.push_back(c);
                }
            }
        }
    }
    return 0;
}

int DbTabRestoreUtils::MakeTableListSelfContained() {
    char const tag[] = "DbTabRestoreUtils::MakeTableListSelfContained";
    if (m_orderDirty) OrderDependencies();
    EvDebug::DebugLvl(m_event, 4, tag, "m_dbTableInfoDep size : %d m_dbTableInfo size %d ",
                      static_cast<int>(m_order.size()), m_dbTableInfo ? static_cast<int>(m_dbTableInfo->size()) : 0);
    if (m_dbTableInfo == nullptr) {
        EvDebug::Error(m_event, tag, "no table selection to order: GetBrowsePaths did not run");
        return 0;
    }
    std::vector<uint32_t> selected(m_keys.size(), 0);   // how often each ordered table was selected
    for (DbTableInfo const& t : *m_dbTableInfo) {
        KeyOf(t, &m_key);
        uint32_t const id = FindTable(m_key, KeyHash(m_key));
        if (id != kNone && m_nodes[id].inGraph) ++selected[id];
    }
    m_dbTableInfo->clear();
    m_selectedFor = nullptr;
    for (uint32_t id : m_order) {
        if (selected[id] == 0) continue;
        DbTableInfo const t = TableOf(id);
        for (uint32_t i = 0; i < selected[id]; ++i) {
            m_dbTableInfo->push_back(t);
            EvDebug::Debug(m_event, tag, "List :  [%s] [%s] [%s] ", t.database.c_str(), t.schema.c_str(),
                           t.table.c_str());
        }
    }
    return 0;
}
