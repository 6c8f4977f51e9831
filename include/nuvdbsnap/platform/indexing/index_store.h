// What the local index holds, for the admin command and tests: runs, their
// entries, and a browse of the visible index by path or pattern.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nuvindexing {

struct IndexRun {
    int64_t id = 0;
    int64_t jobId = 0;
    uint32_t brannoxId = 0;
    uint32_t appId = 0;
    uint32_t appType = 0;
    int level = 0;
    int generation = 1;          // 1 or 2
    std::string status;          // "open", "good", "failed"
    int64_t pid = 0;             // process that fed the run
    int64_t started = 0;
    int64_t ended = 0;
    int64_t entries = 0;
};

struct IndexEntry {
    int64_t id = 0;
    int64_t runId = 0;
    int64_t jobId = 0;
    std::string path;
    bool isDir = false;
    uint64_t size = 0;
    int64_t time = 0;
    uint64_t sequence = 0;
    uint32_t brannoxId = 0;
    uint32_t archGroupId = 0;
    uint32_t archFileId = 0;
    std::string guid;
    std::string parentGuid;
    std::string versionGuid;
    std::string componentGuid;
    std::vector<std::pair<uint32_t, std::string>> metadata;   // (type, value) in arrival order
};

// Declares which generation an application's index uses (also: jzsuite
// declare indexgen app_id=N v2=1).
[[nodiscard]] CFzError SetGeneration(uint32_t brannoxId, uint32_t appId, bool v2);

// Runs of a job (every job when 0), oldest first.
std::vector<IndexRun> ListRuns(int64_t jobId);
// Entries of one run (visible or not), in path order.
[[nodiscard]] CFzError ListEntries(int64_t runId, std::vector<IndexEntry>* out);
// What a reader of the application sees for a pattern (a directory lists its
// children): the given job's good runs, or those of the newest job when 0.
[[nodiscard]] CFzError BrowseIndex(uint32_t appId, int64_t jobId, std::string const& pattern,
                                   std::vector<IndexEntry>* out);

// Fails every open run whose feeding process is gone (a killed feed) and
// removes its entries and their metadata; `swept` (may be null) counts them.
// A new connection run and every admin command sweep first.
[[nodiscard]] CFzError SweepAbandonedRuns(int* swept = nullptr);

}  // namespace nuvindexing
