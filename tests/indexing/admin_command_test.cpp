// jzsuite index: runs of a job (good, failed, open), entries of a run, browse.
#include "indexing/index_fixture.h"

using namespace nuvtest;

TEST_F(IndexTest, AdminCommandShowsRunsEntriesAndBrowse) {
    for (int done : {1, 0, -1}) {
        IndexingConnection c;
        Open(c);
        ASSERT_EQ(0, Meta(c, kIdxMetaOsPath, "/data/t"));
        ASSERT_EQ(0, Send(c, "/db/t" + std::to_string(done + 1)));
        if (done >= 0) ASSERT_EQ(0, c.backupDone(done));
    }
    std::string const jz = std::string(NUV_OUT_DIR) + "/bin/jzsuite";
    ProgramResult runs = RunProgram(jz, {"index", "runs", "--job", std::to_string(m_job.id), "--json"});
    ASSERT_EQ(0, runs.exitCode) << runs.err;
    for (char const* status : {"\"good\"", "\"failed\"", "\"open\""})
        EXPECT_NE(std::string::npos, runs.out.find(status)) << runs.out;

    ProgramResult entries = RunProgram(jz, {"index", "entries", "--run", "1", "--json"});
    ASSERT_EQ(0, entries.exitCode) << entries.err;
    EXPECT_NE(std::string::npos, entries.out.find("\"path\": \"/db/t2\"")) << entries.out;
    EXPECT_NE(std::string::npos, entries.out.find("0x2693795B=/data/t")) << entries.out;

    ProgramResult browse = RunProgram(jz, {"index", "browse", "/db", "--app", std::to_string(kAppId)});
    ASSERT_EQ(0, browse.exitCode) << browse.err;
    EXPECT_NE(std::string::npos, browse.out.find("/db/t2"));
    EXPECT_EQ(std::string::npos, browse.out.find("/db/t1")) << "a failed run is not browsed";
    EXPECT_EQ(std::string::npos, browse.out.find("/db/t0")) << "an open run is not browsed";

    EXPECT_EQ(2, RunProgram(jz, {"index", "browse", "/db"}).exitCode);
    EXPECT_EQ(2, RunProgram(jz, {"index", "nothing"}).exitCode);
}
