// Browse by item name over the local index: the request built from the
// caller's filters and names, the items of the answer, and the C entry point.
#include "restore_fixture.h"

#include "nuvdbsnap/platform/indexing/connection.h"

using namespace nuvrestoretest;

namespace {

class BrowseTest : public RestoreTest {
protected:
    // One good index run of a snap job of the application with these files.
    void Index(std::vector<std::string> const& files) {
        nuvjobmgr::JobInfo job;
        ASSERT_FALSE(nuvjobmgr::NewJob(static_cast<int64_t>(m_appId), 1, &job).IsError());
        IndexingConnection c;
        ASSERT_EQ(0, c.initialize(2, m_appId, 125, JZBkpLevel(1), job.token.c_str(), "host*host*8400*2", "host", 0));
        ArchiveFileId_t afile{2, 3, 40};
        ASSERT_EQ(0, c.sendAfileInfo(&afile, false));
        uint64_t seq = 0;
        for (auto const& f : files) {
            JzFileHeader h;
            ASSERT_TRUE(h.setName(f));
            h.size = 10;
            ASSERT_EQ(0, c.sendFileInfo(&h, ++seq, nullptr, 0));
        }
        ASSERT_EQ(0, c.backupDone(1));
        m_indexJob = job.id;
    }

    NuvUtilBrowse::NuvUtilBrowseRequest Request() const {
        NuvUtilBrowse::NuvUtilBrowseRequest r;
        r.appTypeId = 125;
        r.clientId = static_cast<int>(m_clientId);
        r.subclientId = static_cast<int>(m_appId);
        r.backupsetId = 1;
        return r;
    }

    static std::vector<std::string> Names(NuvUtilBrowse::NuvUtilBrowseResponse const& response) {
        std::vector<std::string> out;
        if (response.items)
            for (auto const& i : *response.items) out.push_back(i.itemName);
        std::sort(out.begin(), out.end());
        return out;
    }

    int64_t m_indexJob = 0;
};

TEST_F(BrowseTest, FileNameFilterAndItemNamesFindTheirItems) {
    Index({"/pg/data/base/1/1259", "/pg/data/base/1/2608", "/pg/data/global/pg_control", "/pg/wal/0001"});
    auto request = Request();
    request.inputFilter = "/pg/data/12*";
    NuvUtilBrowse::NuvUtilBrowseResponse response;
    CFzError e = NuvUtilBrowse::browseByItemName(request, response);
    ASSERT_FALSE(e.IsError()) << e.AsString();
    EXPECT_EQ(std::vector<std::string>{"1259"}, Names(response));
    auto const& item = response.items->front();
    EXPECT_EQ(40, item.archiveFileId);
    EXPECT_EQ(3, item.archiveGroupId);
    EXPECT_EQ(m_indexJob, item.jobId);
    EXPECT_EQ(static_cast<int>(m_appId), item.subclientId);
    EXPECT_EQ(0, item.offset) << "an archive of snapshots has no offsets; the file's size (10) is not one";

    auto byName = Request();
    byName.browseFlags = 0x2;
    byName.itemNames = {"pg_control", "0001"};
    NuvUtilBrowse::NuvUtilBrowseResponse named;
    void* args[] = {&byName, &named};
    CFzError error;
    EXPECT_EQ(0, nuvBrowseByItemName(args[0], args[1], &error));
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ((std::vector<std::string>{"0001", "pg_control"}), Names(named));
}

TEST_F(BrowseTest, EmptyAnswerAndBadInputs) {
    Index({"/pg/data/base/1/1259"});
    auto request = Request();
    request.inputFilter = "/pg/data/nothing*";
    NuvUtilBrowse::NuvUtilBrowseResponse response;
    // An empty answer is no failure of the browse; the response tells it.
    EXPECT_FALSE(NuvUtilBrowse::browseByItemName(request, response).IsError());
    EXPECT_EQ("Empty Results", response.errorMessage);
    EXPECT_EQ(-1, response.errorCode);
    EXPECT_EQ(nullptr, response.items);

    auto missing = Request();
    missing.clientId = 0;
    CFzError e = NuvUtilBrowse::browseByItemName(missing, response);
    EXPECT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.AsString().find("need to be passed")) << e.AsString();
    CFzError error;
    EXPECT_EQ(-1, nuvBrowseByItemName(nullptr, &response, &error));
}

// The filter split of the browse.
struct FilterCase {
    char const* input;
    char const* path;
    char const* name;
};

class FilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterTest, SplitsAtTheLastSeparator) {
    std::string path = "unchanged", name;
    NuvUtilBrowse::getFilters(GetParam().input, path, name);
    EXPECT_EQ(GetParam().path, path);
    EXPECT_EQ(GetParam().name, name);
}

INSTANTIATE_TEST_SUITE_P(Browse, FilterTest,
                         ::testing::Values(FilterCase{"/u01/data/ctl*", "/u01/data", "ctl*"},
                                           FilterCase{"/u01/", "/u01", "*"}, FilterCase{"ctl*", "unchanged", "ctl*"},
                                           FilterCase{"/x", "", "x"}, FilterCase{"C:\\dir\\f", "C:\\dir", "f"}));

}  // namespace
