// A fresh state root per test and a shortcut to create archive files.
#pragma once

#include "nuvdbsnap/platform/archive.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ArchiveTest : public nuvtest::SuiteTest {
protected:
    // Creates one archive file of `jobId` the way the snapshot engine asks for it.
    static CreateRet_t Create(int64_t jobId, int64_t appId, int64_t type, int64_t clientId = 3,
                              int64_t backupType = 1) {
        JZArchive archive(nullptr, true, nullptr);
        archive.SetJobID(jobId);
        CreateArgs_t args;
        args.backupType = backupType;
        args.archFileType = type;
        args.snapArchive = 1;
        args.appId = appId;
        args.clientId = clientId;
        args.appType = 104;
        CreateRet_t ret;
        EXPECT_EQ(archive.CreateArchiveForSnapBackup(&args, &ret), 0) << archive.getErrorString();
        return ret;
    }

    static std::vector<GetArchFileListForJobRetCC_t> List(int64_t jobId, std::vector<int> types) {
        ArMgrClientAPI client;
        GetArchFileListForJobArgsCC_t args;
        args.brannoxId = nuvsuite::kLocalBrannoxId;
        args.jobId = jobId;
        args.archFileTypes = std::move(types);
        std::vector<GetArchFileListForJobRetCC_t> rows;
        EXPECT_EQ(client.getArchFileListForJob(&args, &rows), 0) << client.getErrorString();
        return rows;
    }

    static void SetCreated(int32_t fileId, int64_t when) {
        ASSERT_FALSE(nuvsuite::Catalogue::Instance()
                         .Exec("UPDATE archive_files SET created = ? WHERE id = ?",
                               {when, static_cast<int64_t>(fileId)})
                         .IsError());
    }
};
