// Task files, the restore password and extended options of a job's task,
// kept in rst_task_files and rst_task_secrets of the catalogue.
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/jobmgr/task_files.h"

#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cstdlib>
#include <sstream>

using nuvsuite::AsInt;
using nuvsuite::AsText;
using nuvsuite::Catalogue;
using nuvsuite::CatRow;

namespace {

nuvsuite::SchemaPart s_schema{"jobmgr.taskfiles", 1, R"SQL(
CREATE TABLE IF NOT EXISTS rst_task_files (
    job_id  INTEGER NOT NULL,
    file_id INTEGER NOT NULL,
    type    INTEGER NOT NULL,
    text    TEXT NOT NULL,
    PRIMARY KEY (job_id, file_id)
);
CREATE TABLE IF NOT EXISTS rst_task_secrets (
    job_id   INTEGER PRIMARY KEY,
    password TEXT NOT NULL
);
)SQL"};

nuvsuite::AdminTable s_files{"rsttaskfile", "rst_task_files", true, "job_id, file_id"};

}  // namespace

int TmTaskFiles::setTaskFile(TaskFile const& file, void*) {
    if (!nuvsuite::EnterCall("jobmgr", "TmTaskFiles::setTaskFile",
                             "job=" + std::to_string(m_taskId) + " file=" + std::to_string(file.getId())))
        return -1;
    CFzError e = Catalogue::Instance().Exec(
        "INSERT OR REPLACE INTO rst_task_files(job_id, file_id, type, text) VALUES(?, ?, ?, ?)",
        {int64_t(m_taskId), int64_t(file.getId()), int64_t(file.getType()), file.getText()});
    return e.IsError() ? -1 : 0;
}

int TmTaskFiles::getTaskFile(uint32_t id, TaskFile& file, void*) const {
    if (!nuvsuite::EnterCall("jobmgr", "TmTaskFiles::getTaskFile",
                             "job=" + std::to_string(m_taskId) + " file=" + std::to_string(id)))
        return -1;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT type, text FROM rst_task_files WHERE job_id = ? AND file_id = ?",
                   {int64_t(m_taskId), int64_t(id)}, &rows)
            .IsError() ||
        rows.empty())
        return -1;
    file = TaskFile(id, AsText(rows[0][1]), static_cast<uint32_t>(AsInt(rows[0][0])));
    return 0;
}

int EvRstTask::setPassword(char const* password, void*) {
    if (m_readOnly || password == nullptr) return -1;
    if (!nuvsuite::EnterCall("jobmgr", "EvRstTask::setPassword", "job=" + std::to_string(m_taskId))) return -1;
    CFzError e = Catalogue::Instance().Exec("INSERT OR REPLACE INTO rst_task_secrets(job_id, password) VALUES(?, ?)",
                                            {int64_t(m_taskId), std::string(password)});
    return e.IsError() ? -1 : 0;
}

int EvRstTask::getPassword(std::string& password, void*) {
    if (!nuvsuite::EnterCall("jobmgr", "EvRstTask::getPassword", "job=" + std::to_string(m_taskId))) return -1;
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT password FROM rst_task_secrets WHERE job_id = ?", {int64_t(m_taskId)}, &rows)
            .IsError() ||
        rows.empty())
        return -1;
    password = AsText(rows[0][0]);
    return 0;
}

CExtendedOptions::CExtendedOptions(std::string const& text) {
    std::istringstream in(text);
    std::string word;
    while (std::getline(in, word, ';')) {
        size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        std::string value = word.substr(eq + 1);
        char* end = nullptr;
        long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0') continue;
        m_options[word.substr(0, eq)] = static_cast<int>(n);
    }
}

int CExtendedOptions::getOptionAsInt(std::string const& name) const {
    auto found = m_options.find(name);
    return found == m_options.end() ? 0 : found->second;
}

void CExtendedOptions::getOptions(std::string& text) const {
    text.clear();
    for (auto const& o : m_options) text += o.first + "=" + std::to_string(o.second) + ";";
}
