#include "support/job_scene.h"

#include "support/files.h"

#include "nuvdbsnap/platform/appmgr/declare.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace nuvtest {

void DeclareVolume(std::string const& path, std::string const& device, std::string const& fsType,
                   std::string const& options) {
    CFzError e = nuvsuite::Catalogue::Instance().Exec(
        "INSERT OR REPLACE INTO sm_volumes (path, device, fstype, options) VALUES (?, ?, ?, ?)",
        {path, device, fsType, options});
    ASSERT_FALSE(e.IsError()) << e.AsString();
}

void InstallBaseHomeProgram(char const* program) {
    std::string const target = nuvsuite::StatePath("basehome") + "/" + program;
    std::ifstream in(std::string(NUV_OUT_DIR) + "/bin/basehome/" + program, std::ios::binary);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    chmod(target.c_str(), 0755);
}

void SetSetting(std::string const& section, std::string const& key, std::string const& value) {
    CFzError e = JZRegistry::setValue(JZRegistry::kDefaultInstance, section, key, value);
    ASSERT_FALSE(e.IsError()) << e.AsString();
}

std::vector<std::string> JournalArgs(std::string const& service, std::string const& call) {
    std::vector<std::string> args;
    for (auto const& e : nuvsuite::ReadJournal(service, call)) args.push_back(e.args);
    return args;
}

std::vector<std::string> JournalCalls(std::vector<std::string> const& services) {
    std::vector<std::string> calls;
    for (auto const& e : nuvsuite::ReadJournal()) {
        for (auto const& s : services)
            if (e.service == s) calls.push_back(e.service + "." + e.call);
    }
    return calls;
}

std::vector<std::string> SplitAt(std::string const& text, char separator) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == separator) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

void JobScene::SetUp() {
    m_clientName = JZPI_Focus::getFocusClientName(true);
    nuvappmgr::ClientDecl client;
    client.name = m_clientName;
    ASSERT_FALSE(nuvappmgr::DeclareClient(client, &m_clientId).IsError());
    m_data = MakeDir(m_root.base() + "/data");
    WriteFile(m_data + "/table.dat", "rows of the first table\n");
}

void JobScene::DeclareApp(int appType, bool blockLevel, bool metadata) {
    nuvappmgr::SubclientDecl sub;
    sub.name = "default";
    sub.blockLevel = blockLevel;
    sub.metadata = metadata;
    ASSERT_FALSE(nuvappmgr::DeclareSubclient(sub, &m_subclientId).IsError());
    nuvappmgr::ApplicationDecl app;
    app.clientId = m_clientId;
    app.appType = appType;
    app.subclientId = m_subclientId;
    ASSERT_FALSE(nuvappmgr::DeclareApplication(app, &m_appId).IsError());
    m_appType = appType;
    m_application.reset(new ApplicationId(nuvsuite::kLocalBrannoxId, m_appId));
    nuvjobmgr::JobInfo job;
    CFzError e = nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &job);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    m_jobId = job.id;
    m_jobToken = job.token;
    setenv("JZ_JOB_ID", std::to_string(m_jobId).c_str(), 1);
}

std::string JobScene::JobResultsDir() const {
    return m_root.path() + "/jobresults/JZ_JobResults/2/0/" + std::to_string(m_jobId);
}

}  // namespace nuvtest
