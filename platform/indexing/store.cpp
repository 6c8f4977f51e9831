#include "store.h"

#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <map>

namespace nuvindexing {

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;
using nuvsuite::CatValue;

namespace detail {

bool Enter(char const* call, std::string const& args, int* code, std::string* text) {
    nuvsuite::CallFault fault;
    if (nuvsuite::EnterCall("indexing", call, args, &fault)) return true;
    if (code) *code = fault.code;
    if (text) *text = fault.text;
    return false;
}

CFzError ChooseJob(uint32_t appId, int64_t from, int64_t to, int64_t* jobId) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        "SELECT job_id FROM idx_runs WHERE app_id = ? AND status = 'good'"
        " AND (? = 0 OR job_started <= ?) AND (? = 0 OR ended >= ?) ORDER BY id DESC LIMIT 1",
        {int64_t(appId), to, to, from, from}, &rows);
    if (e.IsError()) return e;
    *jobId = rows.empty() ? 0 : AsInt(rows[0][0]);
    return CFzError::Success();
}

CFzError GoodRuns(int64_t jobId, uint32_t appId, std::vector<int64_t>* runs) {
    std::vector<CatRow> rows;
    CFzError e = Catalogue::Instance().Query(
        "SELECT id FROM idx_runs WHERE job_id = ? AND app_id = ? AND status = 'good' ORDER BY id",
        {jobId, int64_t(appId)}, &rows);
    if (e.IsError()) return e;
    runs->clear();
    for (CatRow const& r : rows) runs->push_back(AsInt(r[0]));
    return CFzError::Success();
}

uint32_t RunAppType(int64_t runId) {
    std::vector<CatRow> rows;
    if (Catalogue::Instance().Query("SELECT app_type FROM idx_runs WHERE id = ?", {runId}, &rows).IsError() ||
        rows.empty())
        return 0;
    return static_cast<uint32_t>(AsInt(rows[0][0]));
}

namespace {

// Every read of entries goes through one of the two keys of idx_entries: a
// directory by (parent, run), everything else by (run, path) ranges. The
// GUIDs, texts most readers never read, come last and only when asked.
std::string EntrySelect(char const* index, EntryColumns columns) {
    return std::string(
               "SELECT e.id, e.run_id, e.path, e.is_dir, e.size, e.mtime, e.sequence, e.brannox_id, e.group_id,"
               " e.afile_id, m.type, m.value") +
           (columns == EntryColumns::kWhole ? ", e.guid, e.parent_guid, e.version_guid, e.component_guid" : "") +
           " FROM idx_entries e INDEXED BY " + index +
           " LEFT JOIN idx_metadata m INDEXED BY idx_metadata_by_entry ON m.entry_id = e.id ";
}

// The job of each run (a run's entries carry it).
using JobsOfRuns = std::map<int64_t, int64_t>;

CFzError JobsOf(std::vector<int64_t> const& runs, JobsOfRuns* jobs) {
    jobs->clear();
    for (int64_t run : runs) {
        std::vector<CatRow> rows;
        CFzError e = Catalogue::Instance().Query("SELECT job_id FROM idx_runs WHERE id = ?", {run}, &rows);
        if (e.IsError()) return e;
        if (!rows.empty()) (*jobs)[run] = AsInt(rows[0][0]);
    }
    return CFzError::Success();
}

void FillEntry(CatRow const& r, JobsOfRuns const& jobs, IndexEntry* e) {
    e->id = AsInt(r[0]);
    e->runId = AsInt(r[1]);
    auto job = jobs.find(e->runId);
    e->jobId = job == jobs.end() ? 0 : job->second;
    // The path is taken into the entry's own text (its room is reused row
    // after row).
    if (std::string const* path = std::get_if<std::string>(&r[2]))
        e->path.assign(*path);
    else
        e->path = AsText(r[2]);
    e->isDir = AsInt(r[3]) != 0;
    e->size = static_cast<uint64_t>(AsInt(r[4]));
    e->time = AsInt(r[5]);
    e->sequence = static_cast<uint64_t>(AsInt(r[6]));
    e->brannoxId = static_cast<uint32_t>(AsInt(r[7]));
    e->archGroupId = static_cast<uint32_t>(AsInt(r[8]));
    e->archFileId = static_cast<uint32_t>(AsInt(r[9]));
    bool const guids = r.size() > 12;
    e->guid = guids ? AsText(r[12]) : std::string();
    e->parentGuid = guids ? AsText(r[13]) : std::string();
    e->versionGuid = guids ? AsText(r[14]) : std::string();
    e->componentGuid = guids ? AsText(r[15]) : std::string();
    e->metadata.clear();
}

// Groups joined rows (entry, metadata) into entries, row by row; rows come in
// path order, newest run first. Only the first run of a path is kept when
// `newestOnly`. Feed returns false once the sink wants no more.
class Grouper {
public:
    Grouper(JobsOfRuns const& jobs, bool newestOnly, std::function<bool(IndexEntry const&)> const& sink,
            std::function<bool(std::string const&)> const& accept)
        : m_jobs(jobs), m_newestOnly(newestOnly), m_sink(sink), m_accept(accept) {}

    bool Feed(CatRow const& r) {
        int64_t const id = AsInt(r[0]);
        if (m_have && id == m_cur.id) {
            if (!std::holds_alternative<std::nullptr_t>(r[10]))
                m_cur.metadata.emplace_back(static_cast<uint32_t>(AsInt(r[10])), AsText(r[11]));
            return true;
        }
        if (m_have) {
            m_have = false;
            if (!m_sink(m_cur)) return m_stopped = false;
        }
        std::string const* path = std::get_if<std::string>(&r[2]);
        std::string const empty;
        if (path == nullptr) path = &empty;
        if (m_newestOnly && m_anyPath && *path == m_lastPath) return true;  // an older run's copy
        m_lastPath = *path;
        m_anyPath = true;
        if (m_accept && !m_accept(*path)) return true;
        FillEntry(r, m_jobs, &m_cur);
        if (!std::holds_alternative<std::nullptr_t>(r[10]))
            m_cur.metadata.emplace_back(static_cast<uint32_t>(AsInt(r[10])), AsText(r[11]));
        m_have = true;
        return true;
    }
    void Finish() {
        if (m_have && m_stopped) m_sink(m_cur);
        m_have = false;
    }

private:
    JobsOfRuns const& m_jobs;
    bool m_newestOnly;
    std::function<bool(IndexEntry const&)> const& m_sink;
    std::function<bool(std::string const&)> const& m_accept;
    IndexEntry m_cur;
    bool m_have = false;
    bool m_stopped = true;   // false once the sink said stop
    std::string m_lastPath;
    bool m_anyPath = false;
};

CFzError Group(std::vector<CatRow> const& rows, JobsOfRuns const& jobs, bool newestOnly,
               std::function<bool(IndexEntry const&)> const& sink,
               std::function<bool(std::string const&)> const& accept) {
    Grouper grouper(jobs, newestOnly, sink, accept);
    for (CatRow const& r : rows)
        if (!grouper.Feed(r)) return CFzError::Success();
    grouper.Finish();
    return CFzError::Success();
}

// The entries a query selects, grouped as its rows are read; *any tells
// whether the query gave any row.
CFzError GroupEach(std::string const& sql, std::vector<CatValue> const& params, JobsOfRuns const& jobs,
                   bool newestOnly, std::function<bool(IndexEntry const&)> const& sink,
                   std::function<bool(std::string const&)> const& accept, bool* any) {
    Grouper grouper(jobs, newestOnly, sink, accept);
    bool stopped = false;
    *any = false;
    CFzError e = Catalogue::Instance().QueryEach(sql, params, [&](CatRow const& r) {
        *any = true;
        stopped = !grouper.Feed(r);
        return !stopped;
    });
    if (e.IsError()) return e;
    if (!stopped) grouper.Finish();
    return CFzError::Success();
}

std::string Placeholders(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += i ? ",?" : "?";
    return s;
}

}  // namespace

FirstSight::FirstSight(std::vector<PathPattern> const& patterns) {
    for (size_t i = 0; i < patterns.size() && !m_overlap; ++i) {
        std::string const& one = patterns[i].directory ? patterns[i].dir : patterns[i].prefix;
        for (size_t j = i + 1; j < patterns.size() && !m_overlap; ++j) {
            std::string const& other = patterns[j].directory ? patterns[j].dir : patterns[j].prefix;
            size_t const common = std::min(one.size(), other.size());
            m_overlap = one.compare(0, common, other, 0, common) == 0;
        }
    }
}

namespace {

// The runs that hold an entry where the pattern reads (one probe of the index
// each): the entries of one run come in path order straight from the index,
// those of several are sorted first.
CFzError RunsThatReach(std::vector<int64_t> const& runs, PathPattern const& pattern, bool rootOnly,
                       std::vector<int64_t>* reaching) {
    if (runs.size() < 2) {
        *reaching = runs;
        return CFzError::Success();
    }
    reaching->clear();
    for (int64_t run : runs) {
        std::vector<CatRow> rows;
        CFzError e =
            pattern.directory
                ? Catalogue::Instance().Query("SELECT 1 FROM idx_entries INDEXED BY idx_entries_by_parent"
                                              " WHERE parent = ? AND run_id = ? LIMIT 1",
                                              {pattern.dir, run}, &rows)
            : rootOnly ? Catalogue::Instance().Query("SELECT 1 FROM idx_entries INDEXED BY idx_entries_by_path"
                                                     " WHERE run_id = ? AND path = '/'",
                                                     {run}, &rows)
                       : Catalogue::Instance().Query("SELECT 1 FROM idx_entries INDEXED BY idx_entries_by_path"
                                                     " WHERE run_id = ? AND path >= ? AND path < ? LIMIT 1",
                                                     {run, pattern.prefix, pattern.prefix + "\xff"}, &rows);
        if (e.IsError()) return e;
        if (!rows.empty()) reaching->push_back(run);
    }
    return CFzError::Success();
}

}  // namespace

CFzError SelectEntries(std::vector<int64_t> const& allRuns, PathPattern const& pattern,
                       std::function<bool(IndexEntry const&)> const& sink, EntryColumns columns) {
    if (allRuns.empty()) return CFzError::Success();
    JobsOfRuns jobs;
    CFzError known = JobsOf(allRuns, &jobs);
    if (known.IsError()) return known;
    std::vector<CatValue> params;
    std::string sql = EntrySelect(pattern.directory ? "idx_entries_by_parent" : "idx_entries_by_path", columns);
    // Paths are kept without a trailing '/': a wildcard pattern that ends with
    // one can select the entry "/" alone, so only that entry is read.
    bool const rootOnly = !pattern.directory && pattern.glob.size() > 1 && pattern.glob.back() == '/';
    std::vector<int64_t> runs;
    CFzError reach = RunsThatReach(allRuns, pattern, rootOnly, &runs);
    if (reach.IsError()) return reach;
    if (rootOnly) {
        sql += "WHERE e.run_id IN (" + Placeholders(runs.size()) + ") AND e.path = '/'";
    } else if (pattern.directory) {
        sql += "WHERE e.parent = ? AND e.run_id IN (" + Placeholders(runs.size()) + ")";
        params.push_back(pattern.dir);
    } else {
        sql += "WHERE e.run_id IN (" + Placeholders(runs.size()) + ") AND e.path >= ? AND e.path < ?";
    }
    for (int64_t r : runs) params.push_back(r);
    if (!pattern.directory && !rootOnly) {
        params.push_back(pattern.prefix);
        params.push_back(pattern.prefix + "\xff");
    }
    sql += " ORDER BY e.path, e.run_id DESC, m.rowid";
    bool any = false;
    std::function<bool(std::string const&)> const matches = [&](std::string const& path) {
        return pattern.Matches(path);
    };
    CFzError e = runs.empty() ? CFzError::Success() : GroupEach(sql, params, jobs, true, sink, matches, &any);
    if (e.IsError() || !pattern.directory || any) return e;
    // A pattern without wildcards that names no directory with entries below
    // it selects the file entry at that path, if there is one.
    sql = EntrySelect("idx_entries_by_path", columns) + "WHERE e.run_id IN (" + Placeholders(allRuns.size()) +
          ") AND e.path = ? ORDER BY e.path, e.run_id DESC, m.rowid";
    params.assign(allRuns.begin(), allRuns.end());
    params.push_back(pattern.dir);
    std::function<bool(IndexEntry const&)> const fileOnly = [&](IndexEntry const& entry) {
        return entry.isDir || sink(entry);
    };
    return GroupEach(sql, params, jobs, true, fileOnly, nullptr, &any);
}

}  // namespace detail

CFzError SetGeneration(uint32_t brannoxId, uint32_t appId, bool v2) {
    return Catalogue::Instance().Exec(
        "INSERT INTO idx_generation(brannox_id, app_id, v2) VALUES(?, ?, ?)"
        " ON CONFLICT(brannox_id, app_id) DO UPDATE SET v2 = excluded.v2",
        {int64_t(brannoxId), int64_t(appId), int64_t(v2 ? 1 : 0)});
}

std::vector<IndexRun> ListRuns(int64_t jobId) {
    std::vector<CatRow> rows;
    std::vector<IndexRun> out;
    if (Catalogue::Instance()
            .Query("SELECT id, job_id, brannox_id, app_id, app_type, level, generation, status, pid, started, ended,"
                   " entries FROM idx_runs WHERE (? = 0 OR job_id = ?) ORDER BY id",
                   {jobId, jobId}, &rows)
            .IsError())
        return out;
    for (CatRow const& r : rows) {
        IndexRun run;
        run.id = AsInt(r[0]);
        run.jobId = AsInt(r[1]);
        run.brannoxId = static_cast<uint32_t>(AsInt(r[2]));
        run.appId = static_cast<uint32_t>(AsInt(r[3]));
        run.appType = static_cast<uint32_t>(AsInt(r[4]));
        run.level = static_cast<int>(AsInt(r[5]));
        run.generation = static_cast<int>(AsInt(r[6]));
        run.status = AsText(r[7]);
        run.pid = AsInt(r[8]);
        run.started = AsInt(r[9]);
        run.ended = AsInt(r[10]);
        run.entries = AsInt(r[11]);
        out.push_back(std::move(run));
    }
    return out;
}

CFzError ListEntries(int64_t runId, std::vector<IndexEntry>* out) {
    out->clear();
    std::vector<CatRow> rows;
    detail::JobsOfRuns jobs;
    CFzError e = detail::JobsOf({runId}, &jobs);
    if (e.IsError()) return e;
    e = Catalogue::Instance().Query(detail::EntrySelect("idx_entries_by_path", detail::EntryColumns::kWhole) +
                                        "WHERE e.run_id = ? ORDER BY e.path, m.rowid",
                                    {runId}, &rows);
    if (e.IsError()) return e;
    return detail::Group(rows, jobs, false, [&](IndexEntry const& entry) { out->push_back(entry); return true; },
                         nullptr);
}

CFzError BrowseIndex(uint32_t appId, int64_t jobId, std::string const& pattern, std::vector<IndexEntry>* out) {
    out->clear();
    if (jobId == 0) {
        CFzError e = detail::ChooseJob(appId, 0, 0, &jobId);
        if (e.IsError()) return e;
        if (jobId == 0) return CFzError::Success();
    }
    std::vector<int64_t> runs;
    CFzError e = detail::GoodRuns(jobId, appId, &runs);
    if (e.IsError()) return e;
    return detail::SelectEntries(runs, ParsePattern(pattern), [&](IndexEntry const& entry) {
        out->push_back(entry);
        return true;
    });
}

}  // namespace nuvindexing
