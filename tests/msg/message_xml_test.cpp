// The text form: exact round trips, one line, refusal of foreign or broken text.
#include "nuvdbsnap/platform/msg/xml_decoder.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

namespace {

struct RoundTrip {
    char const* name;
    std::function<void(CNMessageBase&)> fill;
};

std::string const kAwkwardText = std::string("nul\0inside", 10);

std::vector<RoundTrip> roundTrips() {
    return {
        {"empty message", [](CNMessageBase&) {}},
        {"64-bit limits",
         [](CNMessageBase& m) {
             m.setint64(1, 1, INT64_MIN);
             m.setint64(2, 2, INT64_MAX);
             m.setint64(3, 3, 0);
             m.setint64(4, 7, -1);
         }},
        {"empty text", [](CNMessageBase& m) { m.setstring(1, 1, ""); }},
        {"markup characters", [](CNMessageBase& m) { m.setstring(1, 1, "<a href=\"x\">'&amp;'</a> & < > \" '"); }},
        {"unicode", [](CNMessageBase& m) { m.setstring(2, 5, "żółć – 日本語 – \xF0\x9F\x98\x80"); }},
        {"line breaks and tabs", [](CNMessageBase& m) { m.setstring(3, 9, "one\ntwo\r\nthree\tfour\n"); }},
        {"control characters and NUL", [](CNMessageBase& m) { m.setstring(1, 1, kAwkwardText + "\x01\x1f"); }},
        {"bytes that are not UTF-8", [](CNMessageBase& m) { m.setstring(1, 1, "\xff\xfe\xc3(\xed\xa0\x80"); }},
        {"field zero and negative numbers", [](CNMessageBase& m) { m.setint64(0, 0, 5); m.setint64(-3, -4, 6); }},
        {"tag and field ids kept", [](CNMessageBase& m) { m.setstring(7, 19, "x", m.getTagID(), 0x1234); }},
        {"nested messages",
         [](CNMessageBase& m) {
             CNMessageBase* advanced = m.getObjectAccessor(11, 11, true, 100, 63);
             advanced->setint64(1, 1, 0);
             CNMessageBase* mount = advanced->getObjectAccessor(3, 6, true, 100, 61)
                                        ->getObjectAccessor(5, 5, true, 100, 38)
                                        ->getObjectAccessor(3, 3, true, 100, 35);
             mount->getObjectAccessor(1, 1, true, 18, 4)->setstring(1, 1, "client<1>");
             mount->setstring(2, 2, "host&co");
         }},
        {"nested lists",
         [](CNMessageBase& m) {
             Nuv::OraTableSpace space;
             space.setstring(1, 1, "SYSTEM");
             auto* files = space.getlistobject<Nuv::OraDataFile>(8, 8, true);
             for (char const* path : {"/u01/a.dbf", "", "/u01/\"quoted\".dbf"}) {
                 Nuv::OraDataFile file;
                 file.setstring(1, 1, path);
                 files->push_back(file);
             }
             auto* spaces = m.getlistobject<Nuv::OraTableSpace>(6, 6, true);
             spaces->push_back(space);
             spaces->push_back(Nuv::OraTableSpace());
             m.getlistobject<Nuv::OraPDB>(7, 7, true);  // an empty list stays a list
         }},
        {"list of texts",
         [](CNMessageBase& m) {
             auto* texts = m.getlistobject<std::string>(4, 4, true);
             *texts = {"", "a&b", "line\nbreak", kAwkwardText};
         }},
        {"xml write flag", [](CNMessageBase& m) { m.setXmlWriteFlag(true); }},
    };
}

TEST(MessageXml, RoundTripReproducesTheMessageOnOneLine) {
    for (bool withDeclaration : {false, true}) {
        for (auto const& c : roundTrips()) {
            SCOPED_TRACE(std::string(c.name) + (withDeclaration ? " (with declaration)" : ""));
            Nuv::OraDatabaseContent original;
            c.fill(original);
            std::string text;
            ASSERT_EQ(original.serialize(text, withDeclaration), 0);
            EXPECT_EQ(text.find('\n'), std::string::npos) << text;
            EXPECT_EQ(text.find('\r'), std::string::npos) << text;
            EXPECT_EQ(text.find('\0'), std::string::npos);

            Nuv::OraDatabaseContent read;
            read.setstring(99, 99, "left over");  // unserialize replaces the whole content
            ASSERT_EQ(read.unserialize(text), 0) << text;
            EXPECT_TRUE(read == original) << text;
            std::string again;
            ASSERT_EQ(read.serialize(again, withDeclaration), 0);
            EXPECT_EQ(again, text);

            Nuv::OraDatabaseContent fromCText;
            ASSERT_EQ(fromCText.unserialize(text.c_str()), 0);
            EXPECT_TRUE(fromCText == original);
        }
    }
}

TEST(MessageXml, ListsReadBackAsTypedListsOfTheirClass) {
    IdxMetadata::ListDatabaseDepTable deps;
    IdxMetadata::DatabaseDepTable table;
    ASSERT_EQ(table.setstring(1, 1, "hr", 0x653F07BA, 0x0036EBCB), 0);
    ASSERT_EQ(table.setstring(2, 5, "emp", 0x653F07BA, 0x00769379), 0);
    ASSERT_EQ(table.setstring(3, 9, "db1", 0x653F07BA, 0x00A9117B), 0);
    deps.getlistobject<IdxMetadata::DatabaseDepTable>(1, 1, 0x65ADF078, 0x00282754, true)->push_back(table);
    std::string text;
    ASSERT_EQ(deps.serialize(text, false), 0);

    IdxMetadata::ListDatabaseDepTable read;
    ASSERT_EQ(read.unserialize(text), 0);
    auto* list = read.getlistobject<IdxMetadata::DatabaseDepTable>(1, 1);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0].getstring(3), "db1");
    EXPECT_EQ((*list)[0].getstring(2), "emp");
    EXPECT_EQ(read.getlistobject<IdxMetadata::DatabaseDepTable>(2, 2), nullptr);
}

// A valid text of a message with content; the broken cases are edits of it.
std::string validText() {
    Nuv::FsBlockBackupConfig config;
    config.setstring(1, 1, "Version1", 0x16DD4764, 0x2DB4B8);
    config.setint64(2, 5, 42, 0x16DD4764, 0x46B998);
    std::string text;
    EXPECT_EQ(config.serialize(text, false), 0);
    return text;
}

std::string replaced(std::string text, std::string const& from, std::string const& to) {
    std::size_t const at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from << " in " << text;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string deeplyNested(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<msg f=\"22\" n=\"227\"><o a=\"9\" b=\"9\">";
    text += "<msg f=\"22\" n=\"227\"/>";
    for (int i = 0; i < depth; ++i) text += "</o></msg>";
    return text;
}

TEST(MessageXml, BrokenOrForeignTextIsRefusedAndLeavesTheContent) {
    std::string const good = validText();
    Nuv::OraVolumeDataType otherType;
    otherType.setstring(1, 1, "/dev/sdb");
    std::string foreign;
    ASSERT_EQ(otherType.serialize(foreign, false), 0);

    struct Broken {
        char const* name;
        std::string text;
    };
    std::vector<Broken> const cases = {
        {"empty", ""},
        {"not XML", "Version1"},
        {"cut short", good.substr(0, good.size() - 3)},
        {"another type's text", foreign},
        {"another family", replaced(good, "f=\"22\"", "f=\"100\"")},
        {"wrong tag", replaced(good, "0x16DD4764", "0x16DD4765")},
        {"number that is not a number", replaced(good, "v=\"42\"", "v=\"4x2\"")},
        {"number out of range", replaced(good, "v=\"42\"", "v=\"9223372036854775808\"")},
        {"field number out of range", replaced(good, "a=\"2\"", "a=\"40000\"")},
        {"the same field twice", replaced(good, "</msg>", "<i a=\"2\" b=\"5\" v=\"1\"/></msg>")},
        {"unknown element", replaced(good, "</msg>", "<q a=\"8\" b=\"8\"/></msg>")},
        {"unknown attribute", replaced(good, "<msg ", "<msg z=\"1\" ")},
        {"text between fields", replaced(good, "</msg>", "stray</msg>")},
        {"two roots", good + good},
        {"odd hex text", replaced(good, "v=\"Version1\"", "x=\"abc\"")},
        {"fixed field id changed", replaced(good, "0x0046B998", "0x0046B999")},
        {"owning tag of another message", replaced(good, "g=\"0x16DD4764\"", "g=\"0x644C8485\"")},
        {"text in a number field", replaced(good, "<i a=\"2\" b=\"5\"", "<s a=\"2\" b=\"5\"")},
        {"sub-message without a message", replaced(good, "</msg>", "<o a=\"8\" b=\"8\"/></msg>")},
        {"nesting too deep", deeplyNested(70)},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ": " + c.text);
        Nuv::FsBlockBackupConfig message;
        message.setstring(1, 1, "kept");
        message.getlistobject<std::string>(5, 5, true)->push_back("kept too");
        Nuv::FsBlockBackupConfig const before(message);
        EXPECT_NE(message.unserialize(c.text), 0);
        EXPECT_NE(message.unserialize(c.text.c_str()), 0);
        EXPECT_TRUE(message == before);
    }
    Nuv::FsBlockBackupConfig message;
    EXPECT_NE(message.unserialize(static_cast<char const*>(nullptr)), 0);
    EXPECT_NE(message.unserialize(good + std::string(1, '\0')), 0);
    EXPECT_EQ(message.unserialize(deeplyNested(10)), 0) << "moderate nesting is fine";
}

TEST(XmlDecoder, MakesMessagesOfRegisteredFamiliesOnly) {
    IdxMetadata::ListDatabaseDepTable deps;
    deps.getlistobject<IdxMetadata::DatabaseDepTable>(2, 2, true)->push_back(IdxMetadata::DatabaseDepTable());
    std::string text;
    ASSERT_EQ(deps.serialize(text, false), 0);

    EXPECT_EQ(XMLDecoder::unSerialize(text, nullptr), nullptr) << "IdxMetadata is not registered yet";
    ASSERT_EQ(IdxMetadata::RegisterSubsystem(), 0);
    ASSERT_EQ(IdxMetadata::RegisterSubsystem(), 0) << "registering again is harmless";
    std::unique_ptr<CNMessageBase> decoded(XMLDecoder::unSerialize(text, nullptr));
    ASSERT_NE(decoded, nullptr);
    EXPECT_NE(dynamic_cast<IdxMetadata::ListDatabaseDepTable*>(decoded.get()), nullptr);
    EXPECT_TRUE(*decoded == deps);

    std::string broken = text.substr(0, text.size() / 2);
    EXPECT_EQ(XMLDecoder::unSerialize(broken, nullptr), nullptr);
    std::string unknown = "<msg f=\"101\" n=\"5000\"/>";
    EXPECT_EQ(XMLDecoder::unSerialize(unknown, nullptr), nullptr) << "a type the table does not hold";
}

}  // namespace
