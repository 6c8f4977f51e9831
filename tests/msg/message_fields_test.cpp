// Field accessors, deep copies and refused writes of CNMessageBase.
#include "nuvdbsnap/platform/msg/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace {

struct CopyCase {
    char const* name;
    std::function<void(CNMessageBase&)> fill;
    std::function<void(CNMessageBase&)> mutate;  // changes what fill stored, in place
};

std::vector<CopyCase> copyCases() {
    return {
        {"int64", [](CNMessageBase& m) { m.setint64(2, 5, 41); }, [](CNMessageBase& m) { m.setint64(2, 5, 42); }},
        {"string", [](CNMessageBase& m) { m.setstring(1, 1, "Version1"); },
         [](CNMessageBase& m) { m.setstring(1, 1, "Version2"); }},
        {"nested message",
         [](CNMessageBase& m) { m.getObjectAccessor(3, 3, true, 18, 46)->setint64(1, 1, 7); },
         [](CNMessageBase& m) { m.getObjectAccessor(3, 3)->setint64(1, 1, 8); }},
        {"message two levels down",
         [](CNMessageBase& m) {
             m.getObjectAccessor(12, 12, true, 100, 80)->getObjectAccessor(5, 8, true, 100, 71)
                 ->getObjectAccessor(2, 2, true, 100, 6)->setint64(3, 3, 4294967295LL);
         },
         [](CNMessageBase& m) {
             m.getObjectAccessor(12, 12)->getObjectAccessor(5, 8)->getObjectAccessor(2, 2)->setint64(3, 3, 1);
         }},
        {"list of messages",
         [](CNMessageBase& m) {
             auto* list = m.getlistobject<databrowse::BrowsePath>(4, 4, true);
             databrowse::BrowsePath path;
             path.setstring(1, 1, "/a/**");
             list->push_back(path);
         },
         [](CNMessageBase& m) {
             auto* list = m.getlistobject<databrowse::BrowsePath>(4, 4, false);
             (*list)[0].setstring(1, 1, "/changed");
             list->push_back(databrowse::BrowsePath());
         }},
        {"list inside a list element",
         [](CNMessageBase& m) {
             Nuv::OraTableSpace space;
             Nuv::OraDataFile file;
             file.setstring(1, 1, "/u01/data/system01.dbf");
             space.getlistobject<Nuv::OraDataFile>(8, 8, true)->push_back(file);
             m.getlistobject<Nuv::OraTableSpace>(6, 6, true)->push_back(space);
         },
         [](CNMessageBase& m) {
             auto& space = (*m.getlistobject<Nuv::OraTableSpace>(6, 6))[0];
             (*space.getlistobject<Nuv::OraDataFile>(8, 8))[0].setstring(9, 9, "/copy/system01.dbf");
         }},
        {"list of texts",
         [](CNMessageBase& m) { m.getlistobject<std::string>(4, 4, true)->push_back("*.dbf"); },
         [](CNMessageBase& m) { m.getlistobject<std::string>(4, 4)->at(0) = "*.log"; }},
        {"xml write flag", [](CNMessageBase& m) { m.setXmlWriteFlag(true); },
         [](CNMessageBase& m) { m.setXmlWriteFlag(false); }},
    };
}

TEST(MessageCopy, CopiesAreIndependentForEveryKindOfField) {
    for (auto const& c : copyCases()) {
        SCOPED_TRACE(c.name);
        Nuv::OraDatabaseContent original;
        c.fill(original);
        Nuv::OraDatabaseContent const snapshot(original);

        Nuv::OraDatabaseContent constructed(original);
        Nuv::OraDatabaseContent assigned;
        assigned = original;
        std::unique_ptr<CNMessageBase> cloned = original.clone();
        ASSERT_TRUE(constructed == original);
        ASSERT_TRUE(assigned == original);
        ASSERT_TRUE(*cloned == original);

        c.mutate(original);
        ASSERT_FALSE(original == snapshot) << "the mutation must change the original";
        EXPECT_TRUE(constructed == snapshot);
        EXPECT_TRUE(assigned == snapshot);
        EXPECT_TRUE(*cloned == snapshot);

        c.mutate(constructed);
        EXPECT_TRUE(assigned == snapshot) << "copies do not share content with each other";
    }
}

TEST(MessageCopy, GeneratedClassesKeepTheirTypeThroughCopyAndMove) {
    Nuv::SybaseStream stream;
    stream.setint64(2, 2, 9001);
    stream.setint64(3, 3, 1);
    Nuv::SybaseStream copied(stream);
    Nuv::SybaseStream moved(std::move(copied));
    EXPECT_EQ(moved.getFamily(), 22);
    EXPECT_EQ(moved.getType(), 203);
    EXPECT_EQ(moved.getTagID(), 0x16F33CB7u);
    EXPECT_EQ(moved.getint64(2), 9001);
    EXPECT_TRUE(moved == stream);

    JobManager::ArchiveIndexParam param;
    param.setstring(13, 19, "-j 5");
    JobManager::ArchiveIndexParam other;
    JobManager::ArchiveIndexParam& result = (other = param);
    EXPECT_EQ(&result, &other);
    EXPECT_EQ(other.getstring(13), "-j 5");

    std::unique_ptr<CNMessageBase> clone = stream.clone();
    EXPECT_NE(dynamic_cast<Nuv::SybaseStream*>(clone.get()), nullptr);
}

TEST(MessageCopy, AssigningASubMessageToItsParentIsSafe) {
    CNMessageBase request(100, 92);
    CNMessageBase* entity = request.getObjectAccessor(3, 3, true, 18, 46);
    entity->setint64(1, 1, 2);
    CNMessageBase copyOfEntity(*entity);
    request = *entity;  // the source lives inside the target
    EXPECT_TRUE(request == copyOfEntity);
    request = std::move(*request.getObjectAccessor(3, 3, true, 100, 5));
    EXPECT_EQ(request.getType(), 5);

    databrowse::BrowseRequest second;
    second.getObjectAccessor(3, 3, true, 18, 46)->setint64(1, 1, 3);
    ASSERT_EQ(second.setObjectAccessor(3, 3, second.getObjectAccessor(3, 3)), 0);
    EXPECT_EQ(second.getObjectAccessor(3, 3)->getint64(1), 3);
}

TEST(MessageFields, ReadersFindAFieldByItsPairOrByItsNumberAlone) {
    Nuv::FsBlockBackupConfig config;
    ASSERT_EQ(config.setstring(1, 1, "Version1", 0x16DD4764, 0x2DB4B8), 0);
    ASSERT_EQ(config.setint64(2, 5, INT64_MIN, 0x16DD4764, 0x46B998), 0);
    ASSERT_EQ(config.setint64(4, 7, INT64_MAX), 0);

    EXPECT_EQ(config.getstring(1, 1, 0x16DD4764UL, 0x2DB4B8u), "Version1");
    EXPECT_EQ(config.getstring(1), "Version1");
    EXPECT_EQ(config.getstringByRef(1, 1), "Version1");
    EXPECT_EQ(config.getint64(2), INT64_MIN);
    EXPECT_EQ(config.getint64(2, 5), INT64_MIN);
    EXPECT_EQ(config.getint64(4, 0x16DD4764UL, 0xF9536Fu), INT64_MAX);
    EXPECT_TRUE(config.isSet(2));
    EXPECT_TRUE(config.isSet(2, 5));
    EXPECT_FALSE(config.isSet(3));
    EXPECT_EQ(config.getint64(3), 0);
    EXPECT_EQ(config.getstring(9), "");
    EXPECT_EQ(config.getint64(1), 0) << "a text field read as a number";

    // The field id the table fixes is stored even when the writer passed none.
    auto const& fields = config.fields();
    auto const held = std::find_if(fields.begin(), fields.end(), [](auto const& f) { return f.a == 4 && f.b == 7; });
    ASSERT_NE(held, fields.end());
    EXPECT_EQ(held->fieldId, 0xF9536Fu);
}

TEST(MessageFields, WhatReadersHoldStaysValidWhileOtherFieldsComeAndGo) {
    CNMessageBase message(100, 4001);
    ASSERT_EQ(message.setstring(50, 50, "a text longer than any inline buffer holds"), 0);
    std::string const& text = message.getstringByRef(50, 50);
    CNMessageBase* sub = message.getObjectAccessor(60, 60, true, 100, 4002);
    ASSERT_NE(sub, nullptr);
    sub->setint64(1, 1, 7);
    std::vector<CNMessageBase>* list = message.getlistobject<CNMessageBase>(70, 70, true);
    std::vector<std::string>* texts = message.getlistobject<std::string>(80, 80, true);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(texts, nullptr);
    texts->push_back("kept");

    // Fields before, between and after the held ones, then some of them removed.
    for (short a = 1; a < 100; a += 3) ASSERT_EQ(message.setint64(a, static_cast<short>(a + 1), a), 0);
    for (short a = 1; a < 100; a += 9) ASSERT_EQ(message.setObjectAccessor(a, static_cast<short>(a + 1), nullptr), 0);

    EXPECT_EQ(text, "a text longer than any inline buffer holds");
    EXPECT_EQ(sub, message.getObjectAccessor(60, 60));
    EXPECT_EQ(sub->getint64(1), 7);
    EXPECT_EQ(list, message.getlistobject<CNMessageBase>(70, 70));
    EXPECT_EQ(texts, message.getlistobject<std::string>(80, 80));
    EXPECT_EQ(texts->at(0), "kept");
    EXPECT_EQ(message.getint64(97, 98), 97);
    EXPECT_FALSE(message.isSet(10, 11)) << "removed";

    // Fields stay in (a, b) order, whatever order they were written in.
    short lastA = SHRT_MIN, lastB = SHRT_MIN;
    for (auto const& field : message.fields()) {
        EXPECT_TRUE(field.a > lastA || (field.a == lastA && field.b > lastB)) << field.a << "," << field.b;
        lastA = field.a;
        lastB = field.b;
    }
}

TEST(MessageFields, SubMessagesAreCreatedOnlyWhenAskedAndCanBeCleared) {
    databrowse::BrowseRequest request;
    EXPECT_EQ(request.getObjectAccessor(6, 6), nullptr);
    EXPECT_EQ(request.getObjectAccessor(6, 6, true), nullptr) << "creating needs a type";
    CNMessageBase* range = request.getObjectAccessor(6, 6, true, 100, 64);
    ASSERT_NE(range, nullptr);
    EXPECT_NE(dynamic_cast<databrowse::BrowseTimeRange*>(range), nullptr);
    EXPECT_EQ(request.getObjectAccessor(6, 6, true, 100, 64), range) << "an existing sub-message is returned";
    EXPECT_EQ(request.getObjectAccessor<databrowse::BrowseTimeRange>(6, 6, false), range);
    EXPECT_EQ(request.getObjectAccessor<databrowse::BrowseMode>(6, 6, true), nullptr) << "another type";

    databrowse::BrowseMode mode;
    mode.setint64(1, 1, 2);
    ASSERT_EQ(request.setObjectAccessor(8, 8, mode), 0);
    EXPECT_EQ(request.getObjectAccessor(8, 8)->getint64(1), 2);
    ASSERT_EQ(request.setObjectAccessor(8, 8, nullptr), 0);
    EXPECT_FALSE(request.isSet(8));

    request.setint64(9, 9, 1);
    EXPECT_EQ(request.getObjectAccessor(9, 9, true, 18, 4), nullptr) << "(9, 9) holds a number";
}

TEST(MessageFields, ListsKeepOneElementTypeAndRefuseForeignElements) {
    Nuv::NuvBackupInfo info;
    EXPECT_EQ(info.getlistobject(2, 5), nullptr);
    auto* untyped = info.getlistobject(2, 5, true);
    ASSERT_NE(untyped, nullptr);
    untyped->push_back(Nuv::SybaseStream());
    (*untyped)[0].setint64(2, 2, 77);

    auto* typed = info.getlistobject<Nuv::SybaseStream>(2, 5);
    ASSERT_NE(typed, nullptr);
    ASSERT_EQ(typed->size(), 1u);
    EXPECT_EQ((*typed)[0].getint64(2), 77);

    EXPECT_EQ(info.getlistobject<Nuv::DBUserPermissions>(2, 5), nullptr);
    EXPECT_EQ(info.getlistobject<Nuv::SybaseStream>(2, 5)->size(), 1u) << "a refused view leaves the list";
    EXPECT_EQ(info.getlistobject<std::string>(2, 5), nullptr) << "not a list of texts";

    std::vector<Nuv::SybaseStream> replacement(3);
    ASSERT_EQ(info.setlistobject(2, 5, replacement), 0);
    EXPECT_EQ(info.getlistobject<Nuv::SybaseStream>(2, 5)->size(), 3u);
}

struct RefusedWrite {
    char const* name;
    std::function<int(CNMessageBase&)> write;
};

TEST(MessageFields, WritesWithAnotherTagOrFieldIdOrKindAreRefusedAndChangeNothing) {
    std::vector<RefusedWrite> const cases = {
        {"another message's tag", [](CNMessageBase& m) { return m.setstring(1, 1, "x", 0x644C8485, 0); }},
        {"another field id", [](CNMessageBase& m) { return m.setint64(2, 5, 5, 0x16DD4764, 0x6E9317); }},
        {"a number into a text field", [](CNMessageBase& m) { return m.setint64(1, 1, 5); }},
        {"a sub-message into a number field",
         [](CNMessageBase& m) { return m.setObjectAccessor(3, 6, databrowse::BrowseMode()); }},
        {"a list into a text field",
         [](CNMessageBase& m) { return m.getlistobject(1, 1, true) == nullptr ? -1 : 0; }},
        {"clearing with another tag", [](CNMessageBase& m) { return m.setObjectAccessor(1, 1, nullptr, 0x1); }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        Nuv::FsBlockBackupConfig config;
        ASSERT_EQ(config.setstring(1, 1, "Version1", 0x16DD4764, 0x2DB4B8), 0);
        ASSERT_EQ(config.setint64(2, 5, 12, 0x16DD4764, 0x46B998), 0);
        ASSERT_EQ(config.setint64(3, 6, 1, 0x16DD4764, 0x6E9317), 0);
        Nuv::FsBlockBackupConfig const before(config);
        EXPECT_NE(c.write(config), 0);
        EXPECT_TRUE(config == before);
    }
}

TEST(MessageFields, TheRemoteCommandRequestAcceptsItsKeys) {
    CNSession::jzsExecuteRemoteCommandType request;
    EXPECT_EQ(request.getTagID(), 0x9000111u);
    EXPECT_EQ(request.setint64(1, 1, 0, 0x9000111, 0x747fe5), 0);
    EXPECT_EQ(request.setstring(2, 2, "NuvSnapUtil", 0x9000111, 0x790fdb), 0);
    EXPECT_EQ(request.setstring(3, 6, " -j 7", 0x9000111, 0xea35c), 0);
    EXPECT_EQ(request.setint64(4, 10, 1, 0x9000111, 0x1fe53b), 0);
    EXPECT_EQ(request.setint64(5, 11, 0, 0x9000111, 0x96188b), 0);
    EXPECT_EQ(request.getstring(2), "NuvSnapUtil");
    EXPECT_EQ(request.getint64(4), 1);
}

}  // namespace
