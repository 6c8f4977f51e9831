// The restore task of a job, kept in rst_tasks, rst_task_options and
// rst_task_paths of the catalogue.
#include "nuvdbsnap/platform/jobmgr/rsttask.h"

#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"

#include <cstring>

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;

namespace {

nuvsuite::SchemaPart s_schema{"jobmgr.rsttask", 1, R"SQL(
CREATE TABLE IF NOT EXISTS rst_tasks (
    job_id           INTEGER PRIMARY KEY,
    brannox_id       INTEGER NOT NULL DEFAULT 2,
    client_id        INTEGER NOT NULL DEFAULT 0,
    dest_client_id   INTEGER NOT NULL DEFAULT 0,
    app_type         INTEGER NOT NULL DEFAULT 0,
    instance_id      INTEGER NOT NULL DEFAULT 0,
    dest_instance_id INTEGER NOT NULL DEFAULT 0,
    backupset_id     INTEGER NOT NULL DEFAULT 0,
    app_id           INTEGER NOT NULL DEFAULT 0,
    from_time        INTEGER NOT NULL DEFAULT 0,
    to_time          INTEGER NOT NULL DEFAULT 0,
    copy_precedence  INTEGER NOT NULL DEFAULT 0,
    strip_level      INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS rst_task_options (
    job_id    INTEGER NOT NULL,
    option_id INTEGER NOT NULL,
    seq       INTEGER NOT NULL,
    value     TEXT NOT NULL,
    PRIMARY KEY (job_id, option_id, seq)
);
CREATE TABLE IF NOT EXISTS rst_task_paths (
    job_id INTEGER NOT NULL,
    kind   INTEGER NOT NULL,
    seq    INTEGER NOT NULL,
    path   TEXT NOT NULL,
    PRIMARY KEY (job_id, kind, seq)
);
)SQL"};

using nuvsuite::AdminValue;

nuvsuite::AdminColumn const kTaskJob{"job_id", AdminValue::kId, "job", "id", false, true};
nuvsuite::AdminTable s_tasks{"rsttask", "rst_tasks", true, "job_id",
                             {kTaskJob,
                              {"brannox_id", AdminValue::kId},
                              {"client_id", AdminValue::kUnsigned},
                              {"dest_client_id", AdminValue::kUnsigned},
                              {"app_type", AdminValue::kUnsigned},
                              {"instance_id", AdminValue::kUnsigned},
                              {"dest_instance_id", AdminValue::kUnsigned},
                              {"backupset_id", AdminValue::kUnsigned},
                              {"app_id", AdminValue::kUnsigned},
                              {"copy_precedence", AdminValue::kUnsigned},
                              {"strip_level", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_taskOptions{"rstoption", "rst_task_options", true, "job_id, option_id, seq",
                                   {kTaskJob, {"option_id", AdminValue::kUnsigned}, {"seq", AdminValue::kUnsigned}}};
nuvsuite::AdminTable s_taskPaths{"rstpath", "rst_task_paths", true, "job_id, kind, seq",
                                 {kTaskJob, {"kind", AdminValue::kUnsigned}, {"seq", AdminValue::kUnsigned}}};

char const* const kColumns[] = {"brannox_id", "client_id", "dest_client_id", "app_type", "instance_id",
                                "dest_instance_id", "backupset_id", "app_id", "from_time", "to_time",
                                "copy_precedence", "strip_level"};

bool KnownColumn(char const* column) {
    for (char const* c : kColumns)
        if (std::strcmp(c, column) == 0) return true;
    return false;
}

bool Guard(char const* call, std::string const& args) { return nuvsuite::EnterCall("jobmgr", call, args); }

int ReadOption(long long job, uint32_t id, std::list<std::string>* values) {
    if (!Guard("EvTask::getOption", "job=" + std::to_string(job) + " option=" + std::to_string(id))) return -1;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT value FROM rst_task_options WHERE job_id = ? AND option_id = ? ORDER BY seq",
                   {int64_t(job), int64_t(id)}, &rows)
            .IsError() ||
        rows.empty())
        return -1;
    values->clear();
    for (CatRow const& r : rows) values->push_back(AsText(r[0]));
    return 0;
}

int WriteOption(long long job, uint32_t id, std::list<std::string> const& values) {
    if (!Guard("EvTask::setOption", "job=" + std::to_string(job) + " option=" + std::to_string(id))) return -1;
    Catalogue& cat = Catalogue::Instance();
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError err = cat.Exec("DELETE FROM rst_task_options WHERE job_id = ? AND option_id = ?",
                                {int64_t(job), int64_t(id)});
        int64_t seq = 0;
        for (std::string const& v : values) {
            if (err.IsError()) return err;
            err = cat.Exec("INSERT INTO rst_task_options(job_id, option_id, seq, value) VALUES(?, ?, ?, ?)",
                           {int64_t(job), int64_t(id), ++seq, v});
        }
        return err;
    });
    return e.IsError() ? -1 : 0;
}

}  // namespace

int EvTask::getOptionString(uint32_t id, std::list<std::string>& values, void*) {
    return ReadOption(m_taskId, id, &values);
}

int EvTask::getOptionString(uint32_t id, std::string& value, void*) {
    std::list<std::string> values;
    if (ReadOption(m_taskId, id, &values) != 0) return -1;
    value = values.front();
    return 0;
}

int EvTask::getOptionBool(uint32_t id, bool& value, void*) {
    std::list<std::string> values;
    if (ReadOption(m_taskId, id, &values) != 0) return -1;
    value = values.front() != "0" && values.front() != "false" && !values.front().empty();
    return 0;
}

int EvTask::getOptionNumber(uint32_t id, int64_t& value, void*) {
    std::list<std::string> values;
    if (ReadOption(m_taskId, id, &values) != 0) return -1;
    char* end = nullptr;
    long long n = std::strtoll(values.front().c_str(), &end, 0);
    if (end == values.front().c_str() || *end != '\0') return -1;
    value = n;
    return 0;
}

int EvTask::setOptionBool(uint32_t id, bool value, void*) { return WriteOption(m_taskId, id, {value ? "1" : "0"}); }
int EvTask::setOptionNumber(uint32_t id, int64_t value, void*) {
    return WriteOption(m_taskId, id, {std::to_string(value)});
}
int EvTask::setOptionString(uint32_t id, std::string const& value, void*) { return WriteOption(m_taskId, id, {value}); }
int EvTask::setOptionString(uint32_t id, std::list<std::string> const& values, void*) {
    return WriteOption(m_taskId, id, values);
}

EvRstTask::EvRstTask(long long jobId, int, void*, bool readOnly) : EvTask(jobId), m_readOnly(readOnly) {}

int EvRstTask::getField(char const* column, uint64_t& value) {
    value = 0;
    if (!KnownColumn(column)) return -1;
    if (!Guard("EvRstTask::get", "job=" + std::to_string(m_taskId) + " field=" + column)) return -1;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query(std::string("SELECT ") + column + " FROM rst_tasks WHERE job_id = ?", {int64_t(m_taskId)}, &rows)
            .IsError() ||
        rows.empty())
        return -1;
    value = static_cast<uint64_t>(AsInt(rows[0][0]));
    return 0;
}

int EvRstTask::setField(char const* column, uint64_t value) {
    if (m_readOnly || !KnownColumn(column)) return -1;
    if (!Guard("EvRstTask::set", "job=" + std::to_string(m_taskId) + " field=" + column)) return -1;
    Catalogue& cat = Catalogue::Instance();
    CFzError e = cat.Transaction([&]() -> CFzError {
        CFzError err = cat.Exec("INSERT OR IGNORE INTO rst_tasks(job_id) VALUES(?)", {int64_t(m_taskId)});
        if (err.IsError()) return err;
        return cat.Exec(std::string("UPDATE rst_tasks SET ") + column + " = ? WHERE job_id = ?",
                        {static_cast<int64_t>(value), int64_t(m_taskId)});
    });
    return e.IsError() ? -1 : 0;
}

#define NUV_RST_FIELD(Name, column)                                                     \
    int EvRstTask::get##Name(uint64_t& value, void*) { return getField(column, value); } \
    int EvRstTask::set##Name(uint64_t value, void*) { return setField(column, value); }
NUV_RST_FIELD(BrannoxId, "brannox_id")
NUV_RST_FIELD(SourceClientId, "client_id")
NUV_RST_FIELD(DestinationClientId, "dest_client_id")
NUV_RST_FIELD(AppTypeId, "app_type")
NUV_RST_FIELD(InstanceId, "instance_id")
NUV_RST_FIELD(DestinationInstanceId, "dest_instance_id")
NUV_RST_FIELD(BackupSetId, "backupset_id")
NUV_RST_FIELD(AppId, "app_id")
NUV_RST_FIELD(FromTime, "from_time")
NUV_RST_FIELD(ToTime, "to_time")
NUV_RST_FIELD(ArchGroupCopyPrecedence, "copy_precedence")
NUV_RST_FIELD(StripLevel, "strip_level")
#undef NUV_RST_FIELD

int EvRstTask::getFirstPath(int kind, std::string& path, void* context) {
    if (kind < 0 || kind >= 8) return -1;
    m_pathCursor[kind] = 0;
    return getNextPath(kind, path, context);
}

int EvRstTask::getNextPath(int kind, std::string& path, void*) {
    if (kind < 0 || kind >= 8) return -1;
    if (!Guard("EvRstTask::getPath", "job=" + std::to_string(m_taskId) + " kind=" + std::to_string(kind))) return -1;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT seq, path FROM rst_task_paths WHERE job_id = ? AND kind = ? AND seq > ?"
                   " ORDER BY seq LIMIT 1",
                   {int64_t(m_taskId), int64_t(kind), m_pathCursor[kind]}, &rows)
            .IsError() ||
        rows.empty())
        return 1;
    m_pathCursor[kind] = AsInt(rows[0][0]);
    path = AsText(rows[0][1]);
    return 0;
}

int EvRstTask::addPath(int kind, std::string const& path, void*) {
    if (m_readOnly || kind < 0 || kind >= 8) return -1;
    if (!Guard("EvRstTask::addPath", "job=" + std::to_string(m_taskId) + " kind=" + std::to_string(kind))) return -1;
    CFzError e = Catalogue::Instance().Exec(
        "INSERT INTO rst_task_paths(job_id, kind, seq, path) VALUES(?, ?,"
        " (SELECT COALESCE(MAX(seq), 0) + 1 FROM rst_task_paths WHERE job_id = ? AND kind = ?), ?)",
        {int64_t(m_taskId), int64_t(kind), int64_t(m_taskId), int64_t(kind), path});
    return e.IsError() ? -1 : 0;
}
