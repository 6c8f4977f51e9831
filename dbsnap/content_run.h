// The working values of one content-index run of NuvSnapUtilDb::createIndex,
// shared by the per-volume records, the link and copy markers and the worker.
#pragma once

#include "nuvdbsnap/foundation/index_records.h"
#include "nuvdbsnap/platform/indexing/connection.h"

#include <map>
#include <set>
#include <string>
#include <vector>

class ApplicationId;
class EvEvent;
class Subclient;

// The application's subclient; null after the log line
// "getSubclient(%d,%d) failed[%d-%s]".
Subclient* NuvSubclientOf(ApplicationId& application, unsigned brannoxId, unsigned appId, EvEvent* ev,
                          char const* tag);

struct NuvContentRun {
    IndexingConnection* connection = nullptr;
    ArchiveFileId_t* afile = nullptr;
    std::map<std::string, std::set<std::string>>* mountFiles = nullptr;
    std::map<std::string, std::string>* fileNameMap = nullptr;
    std::vector<std::string>* extras = nullptr;  // indexed without being examined
    EvEvent* ev = nullptr;
    unsigned appType = 0;
    bool statFiles = false;
    bool useIndexingV2 = false;
    bool liveBrowse = false;
    bool extrasAdded = false;
    bool ended = false;         // backupDone was called
    int64_t startTime = 0;

    // Ends the run as failed, once.
    void Fail() {
        if (ended || connection == nullptr) return;
        ended = true;
        (void)connection->backupDone(0);
    }
};

// A cleared header with the attribute word of every writer; false (and a log
// line by the caller) when the name does not fit the header's name array.
inline bool NuvMakeHeader(JzFileHeader& header, std::string const& name, bool directory, int64_t size,
                          int64_t time) {
    header = JzFileHeader();
    if (!header.setName(name)) return false;
    header.attributes = 0x50C0;
    header.nameLength = static_cast<uint32_t>(name.size());
    header.mode = directory ? 0x4000 : 0;
    header.size = size;
    header.time = time;
    return true;
}
