// The XML form of the snapshot record round-trips exactly and refuses what it cannot hold.
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

// A record with every field set to a distinct value, strings from `text`.
SMVolSnapInfo FullRecord(std::string const& text) {
    SMVolSnapInfo r;
    r.setJobId(101);
    r.setSnapJobId(102);
    r.setBrannoxId(2);
    r.setAppTypeId(135);
    r.setSourceClientId(7);
    r.setSnapShotEngineId(60);
    r.setCopyParamType(2);
    r.setCopyParam(-3);
    r.setArrayNum(44);
    r.setOpMode(1);
    r.setSnapActionFlags(0x25);
    r.setRetrieveValidFlags(0x425);
    r.setArchFileId(INT_MAX);
    r.setError(INT_MIN, "err " + text);
    for (int i = 0; i < 2; ++i) {
        SMVolumeInfo v;
        v.setSourcePath("/data" + std::to_string(i) + text);
        v.setOriginalSourcePath("orig" + text);
        v.setSourceDevice("/dev/sd" + text);
        v.setMountOptions("xfs:rw," + text);
        v.setMountPath("/mnt/" + text);
        v.setMountPathFlag(i == 0);
        v.setRepBasePath("base" + text);
        v.setRepRelativePath("rel" + text);
        v.setSourceGUID("guid" + text);
        v.setVolumeFlags(0x08000000 | 0x10000 | i);
        v.setAppId(11 + i);
        v.setAppTypeId(22);
        v.setBrannoxId(2);
        v.setArchFileId(1000 + i);
        v.setGroupId(3);
        v.setCopyId(999);
        v.setJobId(101);
        v.setSourceClientId(7);
        v.setOriginClientId(8);
        v.setMountHostId(9);
        v.setSMVolumeId(20 + i);
        v.setSMSnapId(30 + i);
        r.addVolume(v, true);
        SMSnapInfo s;
        s.setSMSnapId(30 + i);
        s.setSnapDevice("/snap/" + text);
        s.setSnapSourceDevice("/dev/src" + text);
        s.setUniqueIdentifier("uid" + text);
        s.setSnapFlags(0x800000);
        s.setSnapFlagsEx(0x100000000ULL | 0xFFFFFFFF00000000ULL);
        s.setSnapShotEngineId(48);
        s.setControlHostId(5);
        s.setCreationTime(1700000000123LL);
        r.addSnap(s);
        r.addVolSnapMap(SMVolSnapMapInfo(20 + i, 30 + i));
    }
    SMControlHostInfo h;
    h.setControlHostId(5);
    h.setHostName("array" + text);
    h.setVendorName("vendor" + text);
    h.setSnapShotEngineId(48);
    r.addControlHost(h);
    SMSnapShotEngineInfo e;
    e.setSnapShotEngineId(48);
    e.setVendorName("Orvantis" + text);
    e.setEngineName("engine" + text);
    r.addSnapShotEngine(e);
    return r;
}

TEST(XmlForm, RoundTripIsExact) {
    struct Case {
        char const* name;
        std::string text;
    } const cases[] = {
        {"plain", "abc"},
        {"empty", ""},
        {"markup", "<a href=\"x\">&amp;'</a>"},
        {"whitespace", " lead\ttab\nnew\rline  trail "},
        {"control", std::string("\x01\x02\x1f\x7f")},
        {"utf8", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xb7"},
        {"shell-like", "$(rm -rf /); `x` | y > z"},
        {"xml-terminators", "]]> <!-- --> <?pi?>"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo original = FullRecord(c.text);
        std::string xml;
        ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(original, xml));
        ASSERT_FALSE(xml.empty());
        SMVolSnapInfo back;
        ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoXMLStrToObject(xml, back));
        EXPECT_TRUE(back == original) << "original:\n" << original.DumpStr() << "\nback:\n" << back.DumpStr();
        std::string again;
        ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(back, again));
        EXPECT_EQ(xml, again);
    }
}

TEST(XmlForm, EmptyRecordRoundTrips) {
    SMVolSnapInfo empty, back = FullRecord("x");
    std::string xml;
    ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(empty, xml));
    ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoXMLStrToObject(xml, back));
    EXPECT_TRUE(back == empty);
}

TEST(XmlForm, TextThatCannotBeHeldFailsTheWrite) {
    std::string withNul("a");
    withNul.push_back('\0');
    withNul += "b";
    SMVolSnapInfo r = FullRecord(withNul);
    std::string xml = "stale";
    EXPECT_NE(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(r, xml));
    EXPECT_TRUE(xml.empty());
}

TEST(XmlForm, BadTextFailsAndLeavesTheRecordUnchanged) {
    std::string good;
    ASSERT_EQ(0, JZSnapClientAPI_VolSnapInfoObjectToXMLStr(FullRecord("ok"), good));
    struct Case {
        char const* name;
        std::string text;
    } const cases[] = {
        {"empty", ""},
        {"not xml", "hello"},
        {"truncated", good.substr(0, good.size() / 2)},
        {"other root", "<Other/>"},
        {"two roots", "<SMVolSnapInfo/><SMVolSnapInfo/>"},
        {"number not a number", "<SMVolSnapInfo jobId=\"12x\"/>"},
        {"number too big", "<SMVolSnapInfo jobId=\"99999999999\"/>"},
        {"negative unsigned", "<SMVolSnapInfo><Snap snapFlagsEx=\"-1\"/></SMVolSnapInfo>"},
        {"flag not 0/1", "<SMVolSnapInfo><Volume mountPathFlag=\"2\"/></SMVolSnapInfo>"},
        {"unknown element", "<SMVolSnapInfo><Volume/><Bogus/></SMVolSnapInfo>"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        SMVolSnapInfo record = FullRecord("keep");
        SMVolSnapInfo const before = record;
        EXPECT_NE(0, JZSnapClientAPI_VolSnapInfoXMLStrToObject(c.text, record));
        EXPECT_TRUE(record == before);
    }
}

}  // namespace
