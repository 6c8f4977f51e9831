// XML requests of a job client.
#include "nuvdbsnap/platform/jobmgr.h"
#include "nuvdbsnap/platform/msg/messages.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class XmlRequestTest : public nuvtest::SuiteTest {
protected:
    void SetUp() override { ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &m_job).IsError()); }
    nuvjobmgr::JobInfo m_job;
};

TEST_F(XmlRequestTest, ArchiveIndexParametersComeBackForTheClientsJob) {
    JobManager::GetArchiveIndexParamForJob request;
    request.setint64(1, 1, m_job.id);
    request.setint64(2, 2, 2);
    request.setint64(3, 3, 5);
    JobManager::ArchiveIndexParam param;
    CNMessageBase* mover = param.getObjectAccessor(10, 16, true, 18, 4);
    ASSERT_NE(mover, nullptr);
    mover->setstring(1, 1, "dm1");
    request.setObjectAccessor(4, 4, param);

    JZJobClient client(m_job.id);
    CNMessageBase* answer = nullptr;
    ASSERT_TRUE(client.processXmlReq(request, &answer)) << client.lastError();
    std::unique_ptr<CNMessageBase> owned(answer);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->getFamily(), 21);
    EXPECT_EQ(answer->getType(), 97);
    CNMessageBase const* back = static_cast<CNMessageBase const*>(answer)->getObjectAccessor(10, 16);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getstring(1, 1), "dm1");
}

TEST_F(XmlRequestTest, RequestsOfAnotherJobOrTypeAreRefused) {
    struct Case {
        char const* name;
        int64_t requestJob;
        uint64_t clientJob;
        bool otherType;
    };
    Case const cases[] = {
        {"other job in the request", m_job.id + 1, uint64_t(m_job.id), false},
        {"unknown job", m_job.id + 1000, uint64_t(m_job.id) + 1000, false},
        {"type not served", m_job.id, uint64_t(m_job.id), true},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<CNMessageBase> request;
        if (c.otherType) request = std::make_unique<JobManager::ArchiveIndexParam>();
        else request = std::make_unique<JobManager::GetArchiveIndexParamForJob>();
        request->setint64(1, 1, c.requestJob);
        JZJobClient client(c.clientJob);
        CNMessageBase* answer = reinterpret_cast<CNMessageBase*>(0x1);
        EXPECT_FALSE(client.processXmlReq(*request, &answer));
        EXPECT_EQ(answer, nullptr);
        EXPECT_FALSE(client.lastError().empty());
    }
}

}  // namespace
