// Readers of the index: one set of pattern rules for the query, the browse and
// the lookup; the fields each hands back; directory changes; job information.
#include "indexing/index_fixture.h"

#include "nuvdbsnap/platform/msg/messages.h"

#include <fstream>

using namespace nuvtest;
using Strings = std::vector<std::string>;

namespace {

class ReaderTest : public IndexTest {
protected:
    void SetUp() override {
        IndexTest::SetUp();
        IndexingConnection c;
        Open(c);
        for (char const* dir : {"/a", "/a/b", "/a/b/c"}) ASSERT_EQ(0, Send(c, dir, true));
        ASSERT_EQ(0, Meta(c, kIdxMetaOsPath, "/data/x"));
        ASSERT_EQ(0, Send(c, "/a/x", false, 3, 100));
        ASSERT_EQ(0, Send(c, "/a/b/y"));
        ASSERT_EQ(0, Send(c, "/a/b/c/z"));
        ASSERT_EQ(0, Send(c, "/ab"));
        ASSERT_EQ(0, c.backupDone(1));
    }

    // The paths each multi-pattern reader hands back, in order.
    Strings Queried(std::list<std::string> patterns) const {
        std::list<_IndexArchFileInfo> rows;
        _GetIndexSubclientInfo key;
        key.appId = kAppId;
        key.jobId = m_job.id;
        EXPECT_EQ(0, GetIndexArchFileInfo("h", "h", 2, {key}, patterns, 22, 0x152, rows));
        Strings paths;
        for (auto const& r : rows) paths.push_back(r.path);
        return paths;
    }
    Strings LookedUp(std::list<std::string> patterns) const;
    Strings BrowsedByClient(std::list<std::string> const& patterns) const {
        databrowse::BrowseRequest request;
        CNMessageBase* entity = request.getObjectAccessor(3, 3, true, 18, 46);
        entity->setint64(1, 1, 2);
        entity->setint64(5, 11, kAppId);
        std::vector<databrowse::BrowsePath> paths;
        for (std::string const& p : patterns) {
            paths.emplace_back();
            paths.back().setstring(1, 1, p);
        }
        request.setlistobject(4, 4, paths);
        IdxBrowseClient client;
        EXPECT_EQ(0, client.Initialize(request, nullptr, 2000, nullptr, nullptr));
        databrowse::BrowseResponseList answer;
        EXPECT_EQ(0, client.Browse(nullptr, &answer));
        auto* responses = answer.getlistobject<databrowse::BrowseResponse>(1, 1, false);
        Strings browsed;
        if (responses == nullptr || responses->size() != 1) return {"(not one response)"};
        auto* items = (*responses)[0].getObjectAccessor(6, 9)->getlistobject<databrowse::BrowseData>(3, 6, false);
        if (items != nullptr)
            for (auto& item : *items) browsed.push_back(item.getstring(7, 13));
        return browsed;
    }
};

class Collect : public FetchIndexInfoSendRes {
public:
    Collect() : FetchIndexInfoSendRes(nullptr) {}
    int function(FetchIndexInfoResp* batch) override {
        for (auto const& item : batch->items) paths.push_back(item.path);
        return result;
    }
    Strings paths;
    int result = 0;
};

Strings ReaderTest::LookedUp(std::list<std::string> patterns) const {
    FetchIndexInfo fetch;
    std::string host = "h";
    EXPECT_EQ(0, fetch.init(host, 2, kAppId, 0, 22));
    Collect sink;
    EXPECT_EQ(0, fetch.lookup(patterns, &sink));
    return sink.paths;
}

}  // namespace

TEST_F(ReaderTest, OnePatternRuleServesQueryBrowseAndLookup) {
    struct Case {
        char const* pattern;
        Strings paths;
    } const cases[] = {
        {"/a", {"/a/b", "/a/x"}},                                  // a directory: its direct children
        {"/a/", {"/a/b", "/a/x"}},
        {"/", {"/a", "/ab"}},
        {"/a/*", {"/a/b", "/a/x"}},                                // "*" stays within one component
        {"/a/**", {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},  // "**" spans components
        {"\\/a/**", {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},  // a leading "\" is dropped
        {"/a/***", {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},  // more stars are "**"
        {"/a/**/z", {"/a/b/c/z"}},
        {"/a/b*", {"/a/b"}},                                       // a name begun, within one component
        {"/a*", {"/a", "/ab"}},
        {"/nothing", {}},
        {"/a/x", {"/a/x"}},                                        // a file: the entry itself
        {"\\/a/b/y", {"/a/b/y"}},
        {"/a/b/c", {"/a/b/c/z"}},                                  // a directory never itself
        {"/*/", {}},                                               // paths are kept without a trailing "/"
        {"/a/**/", {}},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.pattern);
        EXPECT_EQ(k.paths, Browse(k.pattern));
        EXPECT_EQ(k.paths, Queried({k.pattern}));
        EXPECT_EQ(k.paths, LookedUp({k.pattern}));
    }
}

TEST_F(ReaderTest, QueryRowsCarryEntryFields) {
    std::list<std::string> patterns{"/a/*", "/a/x"};   // an entry two patterns select comes once
    std::list<_IndexArchFileInfo> rows;
    _GetIndexSubclientInfo key;
    key.appId = kAppId;
    ASSERT_EQ(0, GetIndexArchFileInfo("h", "h", 2, {key}, patterns, 22, 0x152, rows));
    ASSERT_EQ(2u, rows.size());
    _IndexArchFileInfo const& x = rows.back();
    EXPECT_EQ("/a/x", x.path);
    EXPECT_EQ(m_job.id, x.jobId);
    EXPECT_EQ(40, x.archFileId);
    ASSERT_EQ(1u, x.metadata.size());
    EXPECT_EQ(static_cast<int32_t>(kIdxMetaOsPath), x.metadata.front().type);
    EXPECT_EQ("/data/x", x.metadata.front().value);
}

// The query's flags: 0x40 asks for files alone unless 0x100 asks for the
// directories too; without 0x40 directories come as well.
TEST_F(ReaderTest, QueryFlagsChooseWhetherDirectoriesCome) {
    struct Case {
        unsigned flags;
        Strings paths;
    } const cases[] = {
        {0x12, {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},
        {0x152, {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},
        {0x112, {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},
        {0x52, {"/a/b/c/z", "/a/b/y", "/a/x"}},
        {0x40, {"/a/b/c/z", "/a/b/y", "/a/x"}},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(k.flags);
        for (unsigned appType : {22u, 80u, 104u, 125u, 37u}) {
            SCOPED_TRACE(appType);
            std::list<std::string> patterns{"\\/a/**", "/a/b"};   // an entry two patterns select comes once
            std::list<_IndexArchFileInfo> rows;
            _GetIndexSubclientInfo key;
            key.appId = kAppId;
            key.jobId = m_job.id;
            ASSERT_EQ(0, GetIndexArchFileInfo("h", "h", 2, {key}, patterns, appType, k.flags, rows));
            Strings paths;
            for (auto const& r : rows) paths.push_back(r.path);
            EXPECT_EQ(k.paths, paths);
        }
    }
}

// Several patterns in one read: an entry that more than one selects comes
// once (whichever way they overlap), and patterns that share no entry each
// answer all of theirs.
TEST_F(ReaderTest, SeveralPatternsAnswerEachEntryOnce) {
    struct Case {
        std::list<std::string> patterns;
        Strings paths;   // in the order of the patterns, then of the paths
    } const cases[] = {
        {{"/a/b/**", "/a/x"}, {"/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},   // a file's name: the file
        {{"/a/b/**", "/a"}, {"/a/b/c", "/a/b/c/z", "/a/b/y", "/a/b", "/a/x"}},
        {{"/a/**", "/a"}, {"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}},
        {{"/a", "/a/**"}, {"/a/b", "/a/x", "/a/b/c", "/a/b/c/z", "/a/b/y"}},
        {{"/a/b", "/a*"}, {"/a/b/c", "/a/b/y", "/a", "/ab"}},
        {{"/ab*", "/a/b/*", "/a/b/y"}, {"/ab", "/a/b/c", "/a/b/y"}},
        {{"/a/b/c", "/ab", "/a/b/c/z"}, {"/a/b/c/z", "/ab"}},
    };
    for (Case const& k : cases) {
        SCOPED_TRACE(testing::PrintToString(k.patterns));
        EXPECT_EQ(k.paths, Queried(k.patterns));
        EXPECT_EQ(k.paths, LookedUp(k.patterns));
        EXPECT_EQ(k.paths, BrowsedByClient(k.patterns));
    }
}

TEST_F(ReaderTest, LookupStopsWhenTheCallerRefuses) {
    FetchIndexInfo fetch;
    Collect sink;
    EXPECT_EQ(-1, fetch.lookup({"/a"}, &sink)) << "before init";
    std::string host = "h";
    ASSERT_EQ(0, fetch.init(host, 2, kAppId, 0, 22));
    sink.result = -1;
    EXPECT_EQ(-1, fetch.lookup({"/a"}, &sink));
}

TEST_F(ReaderTest, BrowseItemsCarryPathArchiveFileAndMetadata) {
    databrowse::BrowseRequest request;
    CNMessageBase* entity = request.getObjectAccessor(3, 3, true, 18, 46);
    entity->setint64(1, 1, 2);
    entity->setint64(5, 11, kAppId);
    std::vector<databrowse::BrowsePath> paths(2);
    paths[0].setstring(1, 1, "/a/**");
    paths[1].setstring(1, 1, "/a");
    request.setlistobject(4, 4, paths);
    IdxBrowseClient client;
    EXPECT_EQ(-1, client.Browse(nullptr, nullptr)) << "before Initialize";
    ASSERT_EQ(0, client.Initialize(request, nullptr, 2000, nullptr, nullptr));
    EXPECT_FALSE(client.isIndexingV2BrowseRequest());
    ASSERT_NE(nullptr, client.getV1BrowseReq());
    EXPECT_EQ(kAppId, client.getV1BrowseReq()->getint64(14));
    databrowse::BrowseResponseList answer;
    ASSERT_EQ(0, client.Browse(nullptr, &answer));
    auto* responses = answer.getlistobject<databrowse::BrowseResponse>(1, 1, false);
    ASSERT_TRUE(responses && responses->size() == 1);
    EXPECT_EQ(0, (*responses)[0].getint64(1, 1));
    auto* items = (*responses)[0].getObjectAccessor(6, 9)->getlistobject<databrowse::BrowseData>(3, 6, false);
    ASSERT_NE(nullptr, items);
    Strings seen;
    for (auto& item : *items) seen.push_back(item.getstring(7, 13));
    EXPECT_EQ((Strings{"/a/b", "/a/b/c", "/a/b/c/z", "/a/b/y", "/a/x"}), seen) << "each entry once";
    CNMessageBase const& x = items->back();
    CNMessageBase const* archive = x.getObjectAccessor(9, 21);
    ASSERT_NE(nullptr, archive);
    EXPECT_EQ(m_job.id, archive->getint64(9));
    EXPECT_EQ(3, archive->getint64(11));
    EXPECT_EQ(40, archive->getint64(12));
    EXPECT_EQ(2, archive->getObjectAccessor(7, 10)->getint64(0));
    ASSERT_NE(nullptr, archive->getObjectAccessor(11, 14));
    EXPECT_EQ("/data/x", archive->getObjectAccessor(11, 14)->getObjectAccessor(2, 2)->getstring(1, 1));
    EXPECT_TRUE(x.getObjectAccessor(1, 1)->isSet(1)) << "a file";
    EXPECT_EQ(1, (*items)[0].getObjectAccessor(1, 1)->getint64(2)) << "a directory";
}

TEST_F(ReaderTest, BrowseInitializeNeedsASubclient) {
    databrowse::BrowseRequest request;
    request.getObjectAccessor(3, 3, true, 18, 46)->setint64(5, 11, -1);
    IdxBrowseClient client;
    EXPECT_NE(0, client.Initialize(request, nullptr, 2000, nullptr, nullptr));
    EXPECT_TRUE(client.isInitFailed());
    EXPECT_EQ(nullptr, client.getV1BrowseReq());
}

TEST_F(IndexTest, DirectoryChangesReadBothFileForms) {
    struct QuitAlways : CheckIfShouldQuit {
        bool checkIfShouldQuit() override { return true; }
    };
    std::string const tableForm = m_root.base() + "/table.idx";
    std::string const pathForm = m_root.base() + "/paths.txt";
    std::ofstream(tableForm) << "/a/b/t1\n\tx\n\ty\n/a/b/t2\n\tz";
    std::ofstream(pathForm) << "/d\n/d\n\tf1\n\tf2\n/e\n\tf3\n";
    std::ofstream(m_root.base() + "/bad.txt") << "\tno directory\n";
    char const* token = m_job.token.c_str();
    auto send = [&](char const* file, char const* tok, CheckIfShouldQuit* hook) {
        return sendDirChange(2, kAppId, 1, tok, "h", file, '/', false, false, true, true, hook, false, 240, 0,
                             nullptr, nullptr, 0, false);
    };
    EXPECT_EQ(2, send(tableForm.c_str(), token, nullptr));
    EXPECT_EQ(3, send(pathForm.c_str(), token, nullptr));
    EXPECT_EQ(0, send(nullptr, token, nullptr));
    EXPECT_EQ(-1, send((m_root.base() + "/missing").c_str(), token, nullptr));
    EXPECT_EQ(-1, send((m_root.base() + "/bad.txt").c_str(), token, nullptr));
    EXPECT_EQ(-2, send(tableForm.c_str(), "unknown", nullptr));
    QuitAlways quit;
    EXPECT_EQ(-2, send(tableForm.c_str(), token, &quit));
}

TEST_F(IndexTest, JobInformationRoundTrip) {
    CJobInfoMetadataStoreFactory factory("h", m_job.token, 0, 2, kAppId);
    boost::shared_ptr<CJobInfoMetadataStore> store = factory.GetInstance(2);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->setKeyValue<int>("", "numberOfStreams", 3).IsError());
    EXPECT_FALSE(store->setKeyValue<std::string>("", "volumes", "v1:v2:").IsError());
    (void)store->getContainerBag("empty");
    ASSERT_FALSE(store->backupData("h", m_job.token, 12).IsError());

    CJobInfoMetadataReaderManager readers("h", static_cast<uint32_t>(m_job.id + 1000), static_cast<uint32_t>(m_job.id),
                                          2, kAppId, 0, 0);
    std::string value;
    ASSERT_FALSE(readers.GetValueForKey<std::string>("", "numberOfStreams", value, 0).IsError());
    EXPECT_EQ("3", value);
    ASSERT_FALSE(readers.GetValueForKey<std::string>("", "volumes", value, 0).IsError());
    EXPECT_EQ("v1:v2:", value);
    EXPECT_TRUE(FXErrorUtil::IsWin32(readers.GetValueForKey<std::string>("nope", "k", value, 0), 1168));
    EXPECT_TRUE(FXErrorUtil::IsWin32(readers.GetValueForKey<std::string>("", "nope", value, 0), 2));
    EXPECT_TRUE(FXErrorUtil::IsWin32(readers.GetValueForKey<std::string>("empty", "k", value, 0), 2))
        << "an empty container exists";

    CJobInfoMetadataStoreFactory unknown("h", "no-token", 0, 2, kAppId);
    EXPECT_FALSE(unknown.GetInstance(2)) << "no store for an unknown job";
}
