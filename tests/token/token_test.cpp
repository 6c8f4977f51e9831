// The SDK token library: token files, fixed fields always terminated, the
// token, and the fault table.
#include "nuvdbsnap/platform/token/token.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/job_scene.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

class TokenFileTest : public nuvtest::SuiteTest {};

TEST_F(TokenFileTest, SectionsFieldsAndOverlongValues) {
    std::string const file = m_root.base() + "/token";
    std::string const guid127(127, 'g'), guid128(128, 'g');
    nuvtest::WriteFile(file, "# tools token\nserver=top\nuser=u0\nguid=g0\n"
                             "[a]\n server = kv \nserverClient=kvc\nuser=alice\nguid=" + guid127 + "\n"
                             "[long]\nuser=bob\nguid=" + guid128 + "\n[noguid]\nuser=carl\n");
    struct Case {
        char const* key;
        unsigned long rc;
        bool found;
        char const* server;
        char const* user;
        std::string guid;
    } const cases[] = {
        {"", 0, true, "top", "u0", "g0"},
        {"a", 0, true, "kv", "alice", guid127},
        {"long", EOVERFLOW, false, "", "", ""},  // never cut
        {"noguid", 0, false, "", "", ""},
        {"absent", 0, false, "", "", ""},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.key);
        _FZSDKTokenFileContents contents;
        std::memset(static_cast<void*>(&contents), 'x', sizeof contents);  // garbage in: every field must come back terminated
        bool found = !c.found;
        EXPECT_EQ(getFZSDKTokenInfoWrapper(&contents, c.key, file, "", found), c.rc);
        EXPECT_EQ(found, c.found);
        for (auto const& field : {std::make_pair(contents.centralServerName, sizeof contents.centralServerName),
                                  std::make_pair(contents.userName, sizeof contents.userName),
                                  std::make_pair(contents.guid, sizeof contents.guid),
                                  std::make_pair(contents.centralServerClientName,
                                                 sizeof contents.centralServerClientName)})
            EXPECT_NE(std::memchr(field.first, '\0', field.second), nullptr);
        EXPECT_STREQ(contents.centralServerName, c.server);
        EXPECT_STREQ(contents.userName, c.user);
        EXPECT_EQ(std::string(contents.guid), c.guid);
    }
    _FZSDKTokenFileContents contents;
    bool found = true;
    EXPECT_EQ(getFZSDKTokenInfoWrapper(&contents, "a", m_root.base() + "/missing", "", found),
              static_cast<unsigned long>(ENOENT));
    EXPECT_FALSE(found);
    nuvsuite::AddFault("token", "getFZSDKTokenInfoWrapper", 9, "down", 1);
    EXPECT_EQ(getFZSDKTokenInfoWrapper(&contents, "a", file, "", found), 9u);
}

TEST_F(TokenFileTest, TokenNamesItsFourParts) {
    std::string a, b;
    EXPECT_EQ(FZSDKConstructTokenWrapper("kv", "kvc", "alice", "G1", a), 0u);
    EXPECT_EQ(FZSDKConstructTokenWrapper("kv", "kvc", "alice", "G2", b), 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.rfind("FZT1:", 0), 0u);
    std::string unchanged = "same";
    EXPECT_EQ(FZSDKConstructTokenWrapper("kv", "kvc", "", "G1", unchanged), static_cast<unsigned long>(EINVAL));
    EXPECT_EQ(unchanged, "same");
    EXPECT_EQ(nuvtest::JournalArgs("token", "FZSDKConstructTokenWrapper").size(), 3u);
    for (std::string const& args : nuvtest::JournalArgs("token", "FZSDKConstructTokenWrapper"))
        EXPECT_EQ(args.find("G1"), std::string::npos);  // no GUID in the journal
}

}  // namespace
