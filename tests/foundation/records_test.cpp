// The plain records: initial values, sizes, the file-header name.
#include "nuvdbsnap/foundation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace {

template <class T>
bool AllZeroBytes(T const& record) {
    unsigned char zero[sizeof(T)] = {};
    return memcmp(&record, zero, sizeof(T)) == 0;
}

TEST(Records, FixedLayoutRecordsStartAsZeroBytes) {
    EXPECT_TRUE(AllZeroBytes(FSRPreOpenArchive()));
    EXPECT_TRUE(AllZeroBytes(FSRSnapSrcPath()));
    EXPECT_TRUE(AllZeroBytes(FSRSnapSrcPathArray()));
    EXPECT_TRUE(AllZeroBytes(JzRstInitParams()));
    EXPECT_TRUE(AllZeroBytes(jzsRemoteExecuteResponseType()));
    EXPECT_TRUE(AllZeroBytes(jzsHostProtocolHeader()));
    EXPECT_TRUE(AllZeroBytes(JzFileHeader()));
    EXPECT_EQ(sizeof(FSRPreOpenArchive), 32u);
    EXPECT_EQ(sizeof(FSRSnapSrcPath), 80u);
    EXPECT_EQ(sizeof(FSRSnapSrcPathArray), 32u);
    EXPECT_EQ(sizeof(JzFileHeader::name), 1028u);
}

TEST(Records, SnapSourcePathFieldsSitWhereTheRestoreSendsThem) {
    FSRSnapSrcPath entry;
    char src[] = "/src", dst[] = "/dst";
    entry.srcPath = src;
    entry.destPath = dst;
    char const* bytes = reinterpret_cast<char const*>(&entry);
    char* at40 = nullptr;
    char* at56 = nullptr;
    memcpy(&at40, bytes + 40, sizeof at40);
    memcpy(&at56, bytes + 56, sizeof at56);
    EXPECT_EQ(at40, src);
    EXPECT_EQ(at56, dst);

    FSRSnapSrcPathArray array;
    array.count = 3;
    array.entries = &entry;
    uint32_t count = 0;
    FSRSnapSrcPath* first = nullptr;
    memcpy(&count, reinterpret_cast<char const*>(&array) + 16, sizeof count);
    memcpy(&first, reinterpret_cast<char const*>(&array) + 24, sizeof first);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(first, &entry);
}

TEST(Records, FileHeaderNameFitsOrIsRefusedNeverCut) {
    JzFileHeader header;
    EXPECT_STREQ(header.name, "");
    EXPECT_EQ(header.flags, 0);

    struct Case {
        size_t length;
        bool stored;
    } const cases[] = {{0, true}, {1, true}, {1026, true}, {1027, true}, {1028, false}, {5000, false}};
    for (auto const& c : cases) {
        JzFileHeader h;
        ASSERT_TRUE(h.setName("/previous"));
        std::string path(c.length, 'n');
        EXPECT_EQ(h.setName(path), c.stored) << c.length;
        EXPECT_EQ(h.setName(path.c_str()), c.stored) << c.length;
        EXPECT_EQ(std::string(h.name), c.stored ? path : std::string("/previous")) << c.length;
    }
    JzFileHeader h;
    EXPECT_FALSE(h.setName(static_cast<char const*>(nullptr)));
    EXPECT_FALSE(h.setName(std::string("a\0b", 3)));

    h.flags |= static_cast<int64_t>(JZ_HDR_FLAG_MOUNT_PATH);
    EXPECT_EQ(static_cast<uint64_t>(h.flags), 0x100000000000ull);
}

TEST(Records, ArchiveRecordsStartEmptyAndCopyWhole) {
    GetArchFileListForJobRetCC_t row;
    EXPECT_EQ(row.archFileId, 0);
    EXPECT_TRUE(row.name.empty());
    row.brannoxId = 2;
    row.archFileId = 777;
    row.archGroupId = 5;
    row.archFileType = 6;
    row.createTime = -1;
    row.status = 9;
    row.isClosed = 1;
    row.name = "afile";
    GetArchFileListForJobRetCC_t moved(std::move(row));
    EXPECT_EQ(row.archFileId, 777);  // numbers are copied by a move
    EXPECT_EQ(moved.archFileType, 6);
    EXPECT_EQ(moved.name, "afile");
    GetArchFileInfoForSnapJob_Ret_t ret;
    ret.archFiles.assign(3, moved);
    EXPECT_EQ(ret.archFiles[2].createTime, -1);
    EXPECT_TRUE(ret.sarnelHost.empty());

    GetRestoreSarnelInput_t in;
    EXPECT_EQ(in.jobId, 0);
    EXPECT_TRUE(in.destClientName.empty() && in.proxyClientName.empty() && in.options.empty());
    GetArchFileListForJobArgsCC_t args;
    EXPECT_TRUE(args.archFileTypes.empty());
    EXPECT_EQ(CreateArgs_t().appType, 0);
    EXPECT_EQ(GetArchFileInfoForSnapJob_ArgsCC_t().flags, 0);
    EXPECT_EQ(_GetIndexSubclientInfo().jobId, 0);
    EXPECT_TRUE(_IndexArchFileInfo().metadata.empty());
}

TEST(Records, VolumeBlockAndTokenFileDefaults) {
    SMVolBlock block;
    EXPECT_EQ(block.appTypeId, -1);
    EXPECT_EQ(block.appId, -1);
    EXPECT_EQ(block.brannoxId, -1);
    EXPECT_FALSE(block.flag);
    EXPECT_TRUE(block.sourceDevice.empty() && block.fsType.empty());

    _FZSDKTokenFileContents token;
    EXPECT_STREQ(token.centralServerName, "");
    EXPECT_STREQ(token.userName, "");
    EXPECT_STREQ(token.guid, "");
    EXPECT_STREQ(token.centralServerClientName, "");
    EXPECT_EQ(sizeof token, 256u + 256u + 128u + 1024u);
}

// The data buffer frees only memory of its own (the sanitizers report a free of
// the caller's stack buffer, and a leak of an owned one).
TEST(Records, DataBufferLeavesAnExternalBufferToTheCaller) {
    char callers[16] = "xdr payload";
    {
        jzsDatabuf_v2 data;
        data.buffer.Allocate(64);
        data.setExternalBuffer(callers, sizeof callers);
        EXPECT_EQ(data.buffer.Ptr(), callers);
        EXPECT_EQ(data.dataLength, sizeof callers);
    }
    EXPECT_STREQ(callers, "xdr payload");

    jzsDatabuf_v2 moved;
    moved.setExternalBuffer(callers, sizeof callers);
    {
        jzsDatabuf_v2 owner;
        owner.buffer.Allocate(8);
        moved.buffer = std::move(owner.buffer);  // now moved's own
    }
    EXPECT_NE(moved.buffer.Ptr(), nullptr);
    EXPECT_TRUE(moved.buffer.Owns());
    EXPECT_STREQ(callers, "xdr payload");
}

TEST(Records, PasswdEntryOfAUserId) {
    JzPwEnt root(0);
    EXPECT_TRUE(root.found);
    EXPECT_EQ(root.name, "root");
    EXPECT_EQ(root.uid, 0u);
    JzPwEnt nobody(4000000123u);
    EXPECT_FALSE(nobody.found);
    EXPECT_TRUE(nobody.name.empty());
}

}  // namespace
