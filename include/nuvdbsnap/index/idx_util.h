// IdxUtil: the index client. Feeds browsable paths into either index
// generation (one connection run per feed), sends GUIDs, file information and
// directory changes, classifies table-view paths, and runs the remote index
// programs. Also the quit hook of the directory-change sender.
#pragma once

#include "nuvdbsnap/foundation/backup_level.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/foundation/index_records.h"
#include "nuvdbsnap/index/browseable_path.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/records.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <cstdint>
#include <string>
#include <vector>

class EvEvent;
class JZJobCtrlClient;
class JZJobClient;

typedef int64_t JZJobID;

// Arguments of IdxUtil::runArchiveIndex and IdxUtil::sendLogManagerMsg.
struct ArchiveIndexArg {
    uint32_t brannoxId = 0;
    uint32_t appId = 0;
    int64_t jobId = 0;
    int64_t snapJobId = 0;
    int32_t jobType = 0;
    uint32_t appType = 0;
    std::string dataMover;
    bool snap = false;
    bool useCurrentTime = false;
    bool snapToTape = false;
    std::string jobToken;
};

// Arguments of IdxUtil::runIndexRestore.
struct IndexRestoreArg {
    uint32_t brannoxId = 0;
    int64_t jobId = 0;
    uint32_t appId = 0;
    bool snap = false;
    int32_t reserved = 0;    // read by no operation here
    std::string dataMover;
};

class IdxUtil : public CheckIfShouldQuit {
public:
    IdxUtil(EvEvent* ev, bool verbose, JZJobCtrlClient* jobCtrlClient, char* clientName);
    ~IdxUtil() override;

    int InitEncodeType(int type);
    bool checkIfShouldQuit() override;

    // Feeds the records in one connection run (second generation when the
    // application uses it or appType is 64). 0 or -1.
    int addBrowseAblePath(std::vector<browseablePath_t> paths, JZBkpLevel level, char const* host,
                          unsigned const& brannoxId, unsigned const& appId, unsigned const& appType, JZJobID& jobId,
                          EvEvent* ev, bool const& trace, unsigned long long flags, char const* jobToken);
    int addBrowseAblePathIndV2(std::vector<browseablePath_t> paths, JZBkpLevel level, char const* host,
                               unsigned const& brannoxId, unsigned const& appId, unsigned const& appType,
                               JZJobID& jobId, EvEvent* ev, bool const& trace, unsigned long long flags,
                               char const* jobToken);

    // One file header on an open run, preceded by its GUIDs when asked. 0 or -1.
    static int sendFileInfo(bool sendGuid, JzFileHeader& header, IndexingConnection& connection, int const& offset);
    static int sendIndexGUID(std::string path, IndexingConnection* connection);
    static int sendIndexGUID(std::string path, IndexingConnection* connection, bool component);

    // A record from a first-generation row: the type of the row's first
    // metadata item, or 0 when it has none.
    static int populateBrowsablePath(browseablePath_t& record, _IndexArchFileInfo& row);
    // A record from a second-generation browse item: 0.
    static int populateBrowsablePath(browseablePath_t& record, std::vector<databrowse::BrowseData>::iterator& item);

    int CreateIndex(std::string& dataAgingFile, char const* indexHost, unsigned const& brannoxId,
                    unsigned const& appId, unsigned const& appType, char const* jobToken, bool const& levelOne,
                    bool const& updateIndexOnly, bool const& dirChangeFlag, std::string const& dirChangeFile);
    int SendDirChange(std::string& dataAgingFile, char const* indexHost, unsigned const& brannoxId,
                      unsigned const& appId, unsigned const& appType, char const* jobToken, bool const& levelOne,
                      bool const& updateIndexOnly, bool const& dirChangeFlag, std::string const& dirChangeFile,
                      IdxUtil* quitHook);
    static bool PathGoesToTblView(std::string path, int appType);

    static CFzError runArchiveIndex(ArchiveIndexArg const& arg, JZJobClient* jobClient);
    static CFzError runIndexRestore(IndexRestoreArg const& arg);
    static CFzError sendLogManagerMsg(ArchiveIndexArg const& arg, std::string argumentText,
                                      unsigned long earlierArchFileId, JZJobClient* jobClient);

    int64_t encodeType() const { return m_encodeType; }

private:
    // Metadata record of a record's osPath (type id of the object). 0 or non-zero.
    int sendOsPathMetadata(IndexingConnection& connection, std::string const& osPath);

    EvEvent* m_ev;
    bool m_verbose;
    int64_t m_encodeType = 0;
    char* m_clientName;
    JZJobCtrlClient* m_jobCtrlClient;
};
