// The indexing service's plumbing: journal and fault table, the choice of the
// runs a reader sees, and the reading of entries with their metadata.
#pragma once

#include "pattern.h"
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/indexing/index_store.h"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace nuvindexing {
namespace detail {

// Journals the call ("indexing", call, args) and consults the fault table.
// False when the call must fail: *code (never 0) and *text then say how.
bool Enter(char const* call, std::string const& args, int* code = nullptr, std::string* text = nullptr);

// The job a reader of this application sees: the job of its newest good run
// whose job started at or before `to` (0: any; the job's backup time, so a
// window up to the creation of the job's archive files finds it; a job never
// registered has no start and passes) and that
// ended at or after `from` (0: any).
// 0 when there is none.
[[nodiscard]] CFzError ChooseJob(uint32_t appId, int64_t from, int64_t to, int64_t* jobId);

// The good runs of a job (and application), oldest first.
[[nodiscard]] CFzError GoodRuns(int64_t jobId, uint32_t appId, std::vector<int64_t>* runs);

// What a reader takes of an entry: all of it, or all but its GUIDs (left empty).
enum class EntryColumns { kWhole, kWithoutGuids };

// Entries of these runs that the pattern selects, newest run first for a path
// (only the newest copy of each path is handed on), in path order.
[[nodiscard]] CFzError SelectEntries(std::vector<int64_t> const& runs, PathPattern const& pattern,
                                     std::function<bool(IndexEntry const&)> const& sink,
                                     EntryColumns columns = EntryColumns::kWhole);

// Tells whether an entry is met for the first time in a read of several
// patterns: an entry that several of them select is handed on once. Every
// path a pattern selects begins with the pattern's literal prefix (its
// directory, for a pattern without wildcards): when no pattern's beginning
// begins another's, no entry can be selected twice and no record is kept.
class FirstSight {
public:
    explicit FirstSight(std::vector<PathPattern> const& patterns);
    bool operator()(int64_t entryId) { return !m_overlap || m_seen.insert(entryId).second; }

private:
    bool m_overlap = false;
    std::unordered_set<int64_t> m_seen;
};

// The generation declared for an application (first when none): 0, or -1
// when the catalogue cannot be read. Not journalled (a step of other calls).
int Generation(unsigned long brannoxId, unsigned long appId, bool* useV2);

// Application type of a run (0 when unknown).
uint32_t RunAppType(int64_t runId);

}  // namespace detail
}  // namespace nuvindexing
