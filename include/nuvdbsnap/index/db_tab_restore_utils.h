// DbTabRestoreUtils: the table-level metadata of the index. At backup it turns
// the agent's table, tablespace and dependency entries into browsable-path
// records, sends them and their directory-change file; at restore it reads
// the selection back from the first-generation index and closes it over the
// dependencies (tables in dependency order, tablespaces with what they need).
#pragma once

#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/index/browseable_path.h"
#include "nuvdbsnap/platform/indexing/lookup.h"
#include "nuvdbsnap/platform/indexing/records.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class EvEvent;
class EvRstTask;
class JZJobCtrlClient;

struct DbTableInfo {
    std::string database;
    std::string schema;
    std::string table;
};
inline bool operator==(DbTableInfo const& a, DbTableInfo const& b) {
    return a.database == b.database && a.table == b.table && a.schema == b.schema;
}

// The selected tablespaces of one database.
struct DbTableSpaceInfo {
    std::string database;
    std::set<std::string> tablespaces;
};

// The tablespace edges of one database: every child of each parent.
struct DbTableSpaceRelInfo {
    std::string database;
    std::map<std::string, std::set<std::string>> edges;
};

struct DbTabUtilsInitOptions {
    int64_t jobId = 0;
    int64_t clientId = 0;
    int64_t appType = 0;
    uint64_t instanceId = 0;
    uint32_t appId = 0;
    std::string viewRootName;
    std::string secondName;      // read by no operation of the class
    int32_t brannoxId = 0;
    bool writeOnly = false;
};

enum QueryType { QUERY_TABLES = 0, QUERY_TABLESPACES = 1, QUERY_DEPENDENCIES = 2 };

struct SendMetaDataParams {
    JZJobCtrlClient* jobCtrl = nullptr;
    JZBkpLevel level{};
    std::string host;            // index data mover (mangled)
    uint64_t flags = 0;          // connection flags
    std::string jobToken;
};

struct CreateAndSendDirChangeParams {
    uint32_t brannoxId = 0;
    uint32_t appId = 0;
    int32_t level = 0;           // 1: the eleventh argument of the sender is true
    std::string jobToken;
    int64_t jobId = 0;
    std::string dataMover;
    std::string fileName;        // used instead of the built name when not empty
    CheckIfShouldQuit* quitHook = nullptr;
};

class DbTabRestoreUtils {
public:
    DbTabRestoreUtils();
    ~DbTabRestoreUtils();
    DbTabRestoreUtils(DbTabRestoreUtils const&) = delete;
    DbTabRestoreUtils& operator=(DbTabRestoreUtils const&) = delete;

    void Init(DbTabUtilsInitOptions const& options);

    // ---- backup ----
    CFzError createMetadataIndex(std::vector<std::string> const& entries, QueryType type,
                                 std::vector<browseablePath_t>& records);
    void addIndexHeaders(std::vector<browseablePath_t>& records, std::string const& header);
    CFzError sendMetadataIndex(std::vector<browseablePath_t>& records, SendMetaDataParams& params);
    void GetDirchangeFileName(std::string& name);
    CFzError CreateAndSendDirChangeFile(std::vector<browseablePath_t>& records, CreateAndSendDirChangeParams& params);
    CFzError UnlinkDirchangeFile();

    // ---- restore ----
    CFzError GetBrowsePaths(EvRstTask& task, std::vector<DbTableInfo>& tables,
                            std::vector<DbTableSpaceInfo>& tablespaces);
    CFzError FetchInfoFromIndexQuery(EvRstTask& task, std::string& host, unsigned const& subclientId);
    int FetchIndexInfoCallBack(FetchIndexInfoResp* batch);
    void InsertTableSpaceInGraph(char const* path, char const& separator);
    int MakeTableSpaceListSelfContained();
    int MakeTableListSelfContained();

    // Points the restore selection at the caller's vectors (GetBrowsePaths does it too).
    void SetSelection(std::vector<DbTableInfo>* tables, std::vector<DbTableSpaceInfo>* tablespaces) {
        m_dbTableInfo = tables;
        tsList = tablespaces;
    }
    // Both are listed when first looked at after a change (one thread at a time).
    std::vector<DbTableInfo> const& dependencyOrder() const;
    std::vector<DbTableSpaceRelInfo> const& tableSpaceGraph() const;
    std::string const& dirChangeFileName() const { return m_dirChangeFile; }

private:
    // Every table the rows or the selection name gets a node id, found by hash.
    // Nodes with dependency information are linked in the order they were met
    // (a new dependency right before the table that named it).
    static constexpr uint32_t kNone = UINT32_MAX;
    static void KeyOf(DbTableInfo const& table, std::string* key);
    DbTableInfo TableOf(uint32_t id) const;
    uint32_t FindTable(std::string const& key, uint64_t hash) const;
    uint32_t InternTable(DbTableInfo const& table);
    size_t FindOrAddNode(DbTableInfo const& table, size_t before);
    void OrderDependencies();
    bool FilteredOut(std::string const& path) const;
    // The tablespace names of a database, found by hash (ids per database and name).
    static void SpaceKeyOf(uint32_t database, char const* name, size_t size, std::string* key);
    std::string SpaceNameOf(uint32_t id) const;
    uint32_t FindTableSpace(std::string const& key, uint64_t hash) const;
    uint32_t InternTableSpace(uint32_t database, char const* name, size_t size);

    EvEvent* m_event;
    int64_t m_jobId = 0;
    int64_t m_clientId = 0;
    int64_t m_appType = 0;
    uint64_t m_instanceId = 0;
    uint32_t m_appId = 0;
    std::string m_dirChangeFile;
    std::string m_viewRootName;
    int32_t m_brannoxId = 0;
    bool m_writeOnly = false;
    std::vector<DbTableInfo>* m_dbTableInfo = nullptr;
    std::vector<DbTableSpaceInfo>* tsList = nullptr;
    std::vector<std::string> m_filterPaths;

    // Grows by fixed blocks: what it holds never moves.
    template <typename T>
    class Blocks {
    public:
        T& operator[](size_t i) { return m_blocks[i >> kShift][i & kMask]; }
        T const& operator[](size_t i) const { return m_blocks[i >> kShift][i & kMask]; }
        size_t size() const { return m_size; }
        template <typename... Args>
        void emplace_back(Args&&... args) {
            if ((m_size >> kShift) == m_blocks.size()) m_blocks.emplace_back(new T[kBlock]);
            m_blocks[m_size >> kShift][m_size & kMask] = T(std::forward<Args>(args)...);
            ++m_size;
        }

    private:
        static constexpr size_t kShift = 12, kBlock = size_t(1) << kShift, kMask = kBlock - 1;
        std::vector<std::unique_ptr<T[]>> m_blocks;
        size_t m_size = 0;
    };
    struct NodeState {
        uint32_t prev = kNone, next = kNone;   // the order met, kNone outside it
        bool inGraph = false;                  // has dependency information
        bool selected = false;                 // in the caller's selection
    };
    // Tables: arrays by node id.
    Blocks<std::string> m_keys;   // a table's key: database and schema, each after its length, then the table
    std::string m_key;            // the key being looked up
    std::vector<uint64_t> m_tableHash;
    std::vector<uint64_t> m_tableSlots;                  // open addressing: hash's high half and node id
    std::vector<NodeState> m_nodes;
    uint32_t m_metHead = kNone, m_metTail = kNone;
    size_t m_graphNodes = 0;
    std::vector<std::pair<uint32_t, uint32_t>> m_dependsOn;   // (table, the table it depends on), as met
    std::vector<uint32_t> m_order;                       // node ids in dependency order
    bool m_orderDirty = false;
    mutable std::vector<DbTableInfo> m_dbTableInfoDep;   // m_order listed when looked at
    mutable bool m_depListed = true;

    // Tablespaces: names by (database, name), edges as met.
    struct TableSpaceEdge {
        uint32_t database, parent, child;
    };
    std::vector<std::string> m_graphDatabases;           // in the order met
    std::unordered_map<std::string, uint32_t> m_graphByDatabase;
    Blocks<std::string> m_spaceKeys;   // a tablespace's key: its database's index, then its name
    std::string m_spaceKey;            // the key being looked up
    std::vector<uint64_t> m_spaceHash;
    std::vector<uint64_t> m_spaceSlots;
    std::vector<TableSpaceEdge> m_spaceEdges;
    mutable std::vector<DbTableSpaceRelInfo> tblSpaceDepGraph;   // m_spaceEdges sorted in when looked at
    mutable size_t m_spaceEdgesInGraph = 0;

    // Which tables of the caller's selection are known (rows append each table once).
    size_t m_selectedSynced = 0;
    std::vector<DbTableInfo> const* m_selectedFor = nullptr;
};

// The lookup's adaptor: hands every batch to its owner.
class FetchIndexInfoSendResDb : public FetchIndexInfoSendRes {
public:
    explicit FetchIndexInfoSendResDb(DbTabRestoreUtils& owner) : FetchIndexInfoSendRes(nullptr), m_owner(owner) {}
    int function(FetchIndexInfoResp* batch) override { return m_owner.FetchIndexInfoCallBack(batch); }

private:
    DbTabRestoreUtils& m_owner;
};
