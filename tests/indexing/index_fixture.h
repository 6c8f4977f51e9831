// A state root with one job (and its token) to feed the local index with.
#pragma once

#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/suite_root.h"

#include <string>
#include <vector>

namespace nuvtest {

class IndexTest : public SuiteTest {
protected:
    static constexpr unsigned kAppId = 7;

    void SetUp() override { m_job = NewJob(); }

    nuvjobmgr::JobInfo NewJob() {
        nuvjobmgr::JobInfo job;
        EXPECT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &job).IsError());
        return job;
    }

    // Opens a run of the job.
    void Open(IndexingConnection& c, nuvjobmgr::JobInfo const* job = nullptr, unsigned appType = 22) {
        ASSERT_EQ(0, c.initialize(2, kAppId, appType, 1, (job ? job : &m_job)->token.c_str(), "host*host*8400*2",
                                  "host", 0));
        ArchiveFileId_t afile{2, 3, 40};
        ASSERT_EQ(0, c.sendAfileInfo(&afile, false));
    }

    static int Send(IndexingConnection& c, std::string const& path, bool dir = false, uint64_t seq = 1,
                    uint64_t size = 0) {
        JzFileHeader h;
        EXPECT_TRUE(h.setName(path));
        h.mode = dir ? 0x4000 : 0;
        h.size = static_cast<int64_t>(size);
        return c.sendFileInfo(&h, seq, nullptr, 0);
    }

    static int Meta(IndexingConnection& c, uint32_t type, std::string const& value) {
        IndexMetaDataStruct r;
        r.magic = IndexMetaDataStruct::kMagic;
        r.version = 1;
        r.metadataType = type;
        r.valueLength = r.dataLength = static_cast<uint32_t>(value.size() + 1);
        return c.sendMetaDataInfo(r, const_cast<char*>(value.c_str()));
    }

    // Paths a browse of the application sees, in order.
    static std::vector<std::string> Browse(std::string const& pattern, int64_t job = 0) {
        std::vector<nuvindexing::IndexEntry> entries;
        EXPECT_FALSE(nuvindexing::BrowseIndex(kAppId, job, pattern, &entries).IsError());
        std::vector<std::string> paths;
        for (auto const& e : entries) paths.push_back(e.path);
        return paths;
    }

    static std::vector<std::string> Calls(std::string const& call = "") {
        std::vector<std::string> out;
        for (auto const& e : nuvsuite::ReadJournal("indexing", call)) out.push_back(e.call);
        return out;
    }

    nuvjobmgr::JobInfo m_job;
};

}  // namespace nuvtest
