// Message storage: messages made while a region is open live in its chunks,
// outlive the region, may be freed on any thread, and the chunks go back to
// the system with the last of them.
#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/msg/storage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

// An answer of `count` browse items the way the index browse fills them.
void Fill(databrowse::BrowseResponseList* answer, int count) {
    auto* items = answer->getlistobject<databrowse::BrowseResponse>(1, 1, true);
    items->emplace_back();
    auto* data = items->back().getObjectAccessor(6, 9, true, 100, 98)->getlistobject<databrowse::BrowseData>(3, 6, true);
    for (int i = 0; i < count; ++i) {
        data->emplace_back();
        CNMessageBase& item = data->back();
        item.setstring(7, 13, "/data/some/longer/directory/file" + std::to_string(i));
        CNMessageBase* archive = item.getObjectAccessor(9, 21, true, 100, 93);
        archive->setint64(12, 12, i);
        archive->getObjectAccessor(7, 10, true, 18, 3)->setint64(0, 0, 2);
    }
}

std::vector<databrowse::BrowseData>& Items(databrowse::BrowseResponseList& answer) {
    auto* items = answer.getlistobject<databrowse::BrowseResponse>(1, 1, false);
    return *items->front().getObjectAccessor(6, 9)->getlistobject<databrowse::BrowseData>(3, 6, false);
}

void ExpectItem(CNMessageBase const& item, int i) {
    EXPECT_EQ("/data/some/longer/directory/file" + std::to_string(i), item.getstring(7, 13));
    CNMessageBase const* archive = item.getObjectAccessor(9, 21);
    ASSERT_NE(nullptr, archive);
    EXPECT_EQ(i, archive->getint64(12));
    ASSERT_NE(nullptr, archive->getObjectAccessor(7, 10));
    EXPECT_EQ(2, archive->getObjectAccessor(7, 10)->getint64(0));
}

}  // namespace

TEST(MessageStorage, WhatARegionMadeOutlivesItAndItsChunksGoBackWithTheLastOfIt) {
    std::size_t const before = nuvmsg::RegionChunks();
    auto answer = std::make_unique<databrowse::BrowseResponseList>();
    {
        nuvmsg::StorageRegion region;
        Fill(answer.get(), 20000);
        EXPECT_GT(nuvmsg::RegionChunks(), before + 1) << "20,000 items take more than one chunk";
    }
    std::vector<databrowse::BrowseData>& items = Items(*answer);
    ASSERT_EQ(20000u, items.size());
    for (int i : {0, 9999, 19999}) ExpectItem(items[static_cast<size_t>(i)], i);

    // A copy made after the region closed is of the heap; a sub-message moved
    // out of the answer keeps the region's chunks until it is gone.
    CNMessageBase const copy = items[5];
    auto moved = std::make_unique<CNMessageBase>(std::move(*items[7].getObjectAccessor(9, 21)));
    answer.reset();
    EXPECT_GT(nuvmsg::RegionChunks(), before);
    ExpectItem(copy, 5);
    EXPECT_EQ(7, moved->getint64(12));
    EXPECT_EQ(2, moved->getObjectAccessor(7, 10)->getint64(0));
    moved.reset();
    EXPECT_EQ(before, nuvmsg::RegionChunks());
}

TEST(MessageStorage, AnswerFreedOnAnotherThreadGivesTheChunksBack) {
    std::size_t const before = nuvmsg::RegionChunks();
    auto answer = std::make_unique<databrowse::BrowseResponseList>();
    {
        nuvmsg::StorageRegion region;
        Fill(answer.get(), 5000);
    }
    std::thread([a = std::move(answer)]() mutable {
        ExpectItem(Items(*a)[4999], 4999);
        a.reset();
    }).join();
    EXPECT_EQ(before, nuvmsg::RegionChunks());
}

TEST(MessageStorage, RegionsNestAndAnEmptyRegionHoldsNothing) {
    std::size_t const before = nuvmsg::RegionChunks();
    { nuvmsg::StorageRegion unused; }
    EXPECT_EQ(before, nuvmsg::RegionChunks());

    databrowse::BrowseResponseList outer, inner, afterInner;
    {
        nuvmsg::StorageRegion outerRegion;
        Fill(&outer, 10);
        {
            nuvmsg::StorageRegion innerRegion;
            Fill(&inner, 10);
            EXPECT_EQ(before + 2, nuvmsg::RegionChunks());
        }
        Fill(&afterInner, 10);   // the outer region again: no new chunk
        EXPECT_EQ(before + 2, nuvmsg::RegionChunks());
    }
    inner = databrowse::BrowseResponseList();
    EXPECT_EQ(before + 1, nuvmsg::RegionChunks()) << "the inner region's chunk went back with its items";
    ExpectItem(Items(outer)[9], 9);
    ExpectItem(Items(afterInner)[9], 9);
    outer = databrowse::BrowseResponseList();
    EXPECT_EQ(before + 1, nuvmsg::RegionChunks());
    afterInner = databrowse::BrowseResponseList();
    EXPECT_EQ(before, nuvmsg::RegionChunks());
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer sees a region's freed blocks as it sees the heap's.
TEST(MessageStorageDeathTest, AReadOfAFreedBlockInARegionIsCaught) {
    EXPECT_DEATH(
        {
            nuvmsg::StorageRegion region;
            void* kept = nuvmsg::Allocate(64);   // keeps the chunk mapped
            auto* gone = static_cast<char volatile*>(nuvmsg::Allocate(64));
            gone[0] = 'x';
            nuvmsg::Deallocate(const_cast<char*>(gone));
            std::printf("%p %c\n", kept, gone[0]);
        },
        "use-after-poison");
}
#endif
