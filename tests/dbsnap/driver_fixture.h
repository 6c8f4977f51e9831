// Helpers of the job-driver tests: a fresh state root with one client,
// instance, subclient, PostgreSQL application, data volume and job, and a
// driver whose agent hooks count their calls and fail on request.
#pragma once

#include "nuvdbsnap/dbsnap.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "support/engine_fixture.h"

#include <string>
#include <vector>

namespace nuvdbsnaptest {

using namespace nuvenginetest;

class TestDriver : public DBSnapBackup {
public:
    explicit TestDriver(int appType = 125) : DBSnapBackup(appType, 1) {}

    int FindDataPaths() override {
        m_dataPaths.assign(dataPaths.begin(), dataPaths.end());
        return findRc;
    }
    int QuiesceDB() override {
        ++quiesces;
        return quiesceRc;
    }
    int UnQuiesceDB() override {
        ++unquiesces;
        return unquiesceRc;
    }
    int CreateSnapEntityList() override { return entityRc; }
    int FetchDBList() override { return dbListRc; }
    int PrepareIndex() override { return 0; }

    // Parses a command line without registering anything.
    int Parse(std::vector<std::string> words) {
        m_words = std::move(words);
        m_pointers.clear();
        for (auto& w : m_words) m_pointers.push_back(&w[0]);
        m_argc = static_cast<int>(m_pointers.size());
        m_argv = m_pointers.data();
        delete m_bkArgs;
        m_bkArgs = new DBSnapBackupArgs_t();
        return ParseArgs();
    }
    // Initialize over a command line kept by the driver.
    int Init(std::vector<std::string> words, JZBkpJobClient* jobClient = nullptr,
             JZJobCtrlClient* jobControl = nullptr) {
        m_words = std::move(words);
        m_pointers.clear();
        for (auto& w : m_words) m_pointers.push_back(&w[0]);
        return Initialize(static_cast<int>(m_pointers.size()), m_pointers.data(), jobClient, jobControl);
    }

    DBSnapBackupArgs_t* args() { return m_bkArgs; }
    unsigned long& engineType() { return m_engineType; }
    bool& writeMountPoints() { return m_writeMountPoints; }
    std::list<std::string>& dataPathList() { return m_dataPaths; }
    bool registered() const { return m_registeredWithJM; }
    uint64_t instanceId() const { return m_instanceId; }

    std::vector<std::string> dataPaths;
    int findRc = 0, quiesceRc = 0, unquiesceRc = 0, entityRc = 0, dbListRc = 0;
    int quiesces = 0, unquiesces = 0;

private:
    std::vector<std::string> m_words;
    std::vector<char*> m_pointers;
};

class DriverTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        DeclareVolume(m_data, "/dev/fakedata", "ext4", "rw");
    }

    // The application with an instance and a subclient of the snapshot engine, and a job.
    void DeclarePostgres(int appType = 125, int snapEngine = 2) {
        nuvappmgr::InstanceDecl instance;
        instance.clientId = m_clientId;
        instance.name = "sample";
        instance.appType = appType;
        unsigned long instanceId = 0;
        ASSERT_FALSE(nuvappmgr::DeclareInstance(instance, &instanceId).IsError());
        nuvappmgr::SubclientDecl sub;
        sub.name = "default";
        sub.snapEngine = snapEngine;
        ASSERT_FALSE(nuvappmgr::DeclareSubclient(sub, &m_subclientId).IsError());
        nuvappmgr::ApplicationDecl app;
        app.clientId = m_clientId;
        app.appType = appType;
        app.instanceId = instanceId;
        app.subclientId = m_subclientId;
        ASSERT_FALSE(nuvappmgr::DeclareApplication(app, &m_appId).IsError());
        m_appType = appType;
        nuvjobmgr::JobInfo job;
        ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &job).IsError());
        m_jobId = job.id;
        m_jobToken = job.token;
        setenv("JZ_JOB_ID", std::to_string(m_jobId).c_str(), 1);
    }

    std::vector<std::string> CommandLine() const {
        return {"agent", "-j", std::to_string(m_jobId), "-a", "2:" + std::to_string(m_appId), "-t", "1",
                "-jt", m_jobToken, "-d", "mover"};
    }

    // The pending causes of the job as "code text".
    std::vector<std::string> Causes() const {
        std::vector<std::string> out;
        for (auto const& c : nuvjobmgr::ListPendingCauses(m_jobId)) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(c.code));
            out.push_back(std::string(code) + " " + (c.args.empty() ? std::string() : c.args.front()));
        }
        return out;
    }

    std::string JobStatus() const {
        nuvjobmgr::JobInfo job;
        return nuvjobmgr::GetJob(m_jobId, &job) ? job.status : std::string("?");
    }
};

}  // namespace nuvdbsnaptest
