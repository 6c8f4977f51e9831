// A snap job's index in a fresh state root, written the way the feeds write
// it: the job, its archive files, one connection run of entries (with their
// metadata) and the files shipped with its directory change.
#pragma once

#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace nuvcataloguetest {

struct IndexedPath {
    std::string path;
    bool dir = false;
    uint64_t size = 0;
    std::vector<std::pair<uint32_t, std::string>> metadata;   // (type, value), sent before the entry
};

class IndexScene : public nuvtest::SuiteTest {
protected:
    static constexpr unsigned kAppId = 7;

    // The job whose index the tests read, and the job that runs (JZ_JOB_ID).
    void SetUp() override {
        ASSERT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &m_snapJob).IsError());
        ASSERT_FALSE(nuvjobmgr::NewJob(kAppId, 1, &m_runningJob).IsError());
        setenv("JZ_JOB_ID", std::to_string(m_runningJob.id).c_str(), 1);
    }

    // An archive file of the snap job (of the given type); its key.
    ArchiveFileId_t ArchiveFile(int type, nuvjobmgr::JobInfo const* job = nullptr) {
        JZArchive archive(nullptr, false, nullptr);
        archive.SetJobID((job ? job : &m_snapJob)->id);
        CreateArgs_t args;
        args.archFileType = type;
        args.appId = kAppId;
        CreateRet_t ret;
        EXPECT_EQ(0, archive.CreateArchiveForSnapBackup(&args, &ret));
        return {uint32_t(ret.brannoxId), uint32_t(ret.archGroupId), uint32_t(ret.archFileId)};
    }

    // One good run of the snap job: the entries under one archive file.
    void Feed(unsigned appType, ArchiveFileId_t afile, std::vector<IndexedPath> const& entries,
              nuvjobmgr::JobInfo const* job = nullptr) {
        IndexingConnection c;
        ASSERT_EQ(0, c.initialize(2, kAppId, appType, JZBkpLevel(1), (job ? job : &m_snapJob)->token.c_str(),
                                  "host*host*8400*2", "host", 0));
        ASSERT_EQ(0, c.sendAfileInfo(&afile, false));
        uint64_t seq = 0;
        for (IndexedPath const& e : entries) {
            for (auto const& m : e.metadata) {
                IndexMetaDataStruct r;
                r.magic = IndexMetaDataStruct::kMagic;
                r.version = 1;
                r.metadataType = m.first;
                r.valueLength = r.dataLength = static_cast<uint32_t>(m.second.size() + 1);
                ASSERT_EQ(0, c.sendMetaDataInfo(r, const_cast<char*>(m.second.c_str())));
            }
            JzFileHeader h;
            ASSERT_TRUE(h.setName(e.path));
            h.mode = e.dir ? 0x4000 : 0;
            h.size = static_cast<int64_t>(e.size);
            ASSERT_EQ(0, c.sendFileInfo(&h, ++seq, nullptr, 0));
        }
        ASSERT_EQ(0, c.backupDone(1));
    }

    // Files shipped with the snap job's directory change (name -> content).
    void Ship(std::vector<std::pair<std::string, std::string>> const& files) {
        std::string const dir = nuvtest::MakeDir(m_root.base() + "/shipped");
        std::vector<std::string> paths;
        for (auto const& f : files) {
            nuvtest::WriteFile(dir + "/" + f.first, f.second);
            paths.push_back(dir + "/" + f.first);
        }
        ASSERT_EQ(0, sendDirChange(2, kAppId, 1, m_snapJob.token.c_str(), "host", nullptr, '/', false, false, true,
                                   false, nullptr, false, 240, 2, &paths, nullptr, m_snapJob.id, false));
    }

    nuvjobmgr::JobInfo m_snapJob;
    nuvjobmgr::JobInfo m_runningJob;
};

}  // namespace nuvcataloguetest
