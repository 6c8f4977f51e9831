// The admin command lists a job's archive files.
#include "archive/archive_fixture.h"

#include "nuvdbsnap/platform/jobmgr/jobstore.h"

#include <unistd.h>
#include <cstdio>

namespace {

std::string const kJzsuite = NUV_OUT_DIR "/bin/jzsuite";

std::string Output(std::string const& args) {
    std::string out;
    FILE* p = popen((kJzsuite + " " + args).c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

TEST_F(ArchiveTest, AdminCommandListsTheJobsArchiveFiles) {
    ASSERT_EQ(access(kJzsuite.c_str(), X_OK), 0) << "build the jzsuite target first";
    nuvjobmgr::JobInfo job, otherJob;
    ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &job).IsError());
    ASSERT_FALSE(nuvjobmgr::NewJob(5, 1, &otherJob).IsError());
    CreateRet_t a = Create(job.id, 5, 1);
    CreateRet_t b = Create(job.id, 5, 6);
    CreateRet_t other = Create(otherJob.id, 5, 1);
    std::string const jobText = std::to_string(job.id);
    std::string json = Output("list afile --job " + jobText + " --json");
    auto idText = [](int32_t id) { return "\"id\": " + std::to_string(id) + ","; };
    size_t posA = json.find(idText(a.archFileId));
    size_t posB = json.find(idText(b.archFileId));
    EXPECT_NE(posA, std::string::npos) << json;
    EXPECT_NE(posB, std::string::npos) << json;
    EXPECT_LT(posB, posA) << "newest first";
    EXPECT_EQ(json.find(idText(other.archFileId)), std::string::npos) << json;
    std::string shown = Output("job show " + jobText + " --json");
    EXPECT_NE(shown.find(idText(a.archFileId)), std::string::npos) << shown;
    EXPECT_NE(shown.find(idText(b.archFileId)), std::string::npos) << shown;
}

}  // namespace
