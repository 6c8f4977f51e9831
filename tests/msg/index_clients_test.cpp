// The inline parts of the index-browse client and of the index lookup.
#include "nuvdbsnap/platform/msg/index_clients.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace {

// Stands in for the initialising code of the client.
class InitialisedBrowseClient : public IdxBrowseClient {
public:
    using IdxBrowseClient::setHeldRequest;
    using IdxBrowseClient::setInitFailed;
};

TEST(IdxBrowseClient, HandsOutOnlyAHeldFirstGenerationRequest) {
    InitialisedBrowseClient client;
    EXPECT_EQ(client.getV1BrowseReq(), nullptr) << "nothing held before initialising";
    EXPECT_FALSE(client.isInitFailed());

    client.setHeldRequest(std::make_unique<databrowse::BrowseRequest>());
    EXPECT_EQ(client.getV1BrowseReq(), nullptr) << "a second-generation request is not handed out";

    auto request = std::make_unique<Indexing::BrowseReq>();
    request->setstring(84, 138, "datamover01");
    CNMessageBase* held = request.get();
    client.setHeldRequest(std::move(request));
    ASSERT_EQ(client.getV1BrowseReq(), held);
    EXPECT_EQ(client.getV1BrowseReq()->getstring(84), "datamover01");

    client.setHeldRequest(nullptr);
    EXPECT_EQ(client.getV1BrowseReq(), nullptr);

    client.setInitFailed(true);
    EXPECT_TRUE(client.isInitFailed());
}

TEST(FetchIndexInfo, InitFlagsAreSetAndClearedBitwise) {
    std::uint32_t const values[] = {0u, 1u, 0x18140u, 0x80000000u, 0xFFFFFFFFu};
    for (std::uint32_t x : values) {
        SCOPED_TRACE(x);
        FetchIndexInfo info;
        info.setInitFlags(0x0F0F0F0Fu);
        info.clearInitFlags(0xFFFFFFFFu);
        info.setInitFlags(x);
        EXPECT_EQ(info.getInitFlags(), x);
    }

    FetchIndexInfo info;
    info.setInitFlags(0x8140u);
    info.setInitFlags(0x10000u);
    EXPECT_EQ(info.getInitFlags(), 0x18140u);
    info.clearInitFlags(0x100u);
    EXPECT_EQ(info.getInitFlags(), 0x18040u);
    info.clearInitFlags(0x2u);  // a bit that is not set
    EXPECT_EQ(info.getInitFlags(), 0x18040u);

    EXPECT_EQ(info.getCacheType(), 0u);
    info.setCacheType(2);
    EXPECT_EQ(info.getCacheType(), 2u);
}

}  // namespace
