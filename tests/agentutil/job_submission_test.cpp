// Job submission inputs: the media-parameters file, the command-line token and
// the submit error texts; and the resource-control class.
#include "nuvdbsnap/agentutil.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "support/files.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

namespace {

class MediaParamsTest : public nuvtest::SuiteTest {};

TEST_F(MediaParamsTest, SectionsTable) {
    std::string const longName(5000, 'p');  // far beyond any fixed line buffer
    struct Case {
        char const* name;
        std::string text;
        bool wantToken;
        DataPathOption expected;
        std::string token;
    } const cases[] = {
        {"all sections", "[sp]\nSP1\n[sarnel]\n mover \n[library]\nlib\n[drivepool]\n\tpool\t\n[JzFzcmdTokenFile]\n/t/f\n",
         true, {true, "SP1", "mover", "lib", "pool"}, "/t/f"},
        {"value line that is a header", "[sp]\n[library]\n", false, {true, "[library]", "", "", ""}, "unset"},
        {"blanks around a header; capitals do not match", "  [sarnel]\t\nm1\n[SP]\nX\n", false,
         {true, "", "m1", "", ""}, "unset"},
        {"empty value", "[library]\n\n", false, {true, "", "", "", ""}, "unset"},
        {"header on the last line", "[sp]\nA\n[drivepool]", false, {true, "A", "", "", ""}, "unset"},
        {"later section wins", "[sp]\nA\n[sp]\nB\n", false, {true, "B", "", "", ""}, "unset"},
        {"token section without a target", "[JzFzcmdTokenFile]\n[sp]\nC\n", false, {true, "C", "", "", ""}, "unset"},
        {"token section with a target only", "[JzFzcmdTokenFile]\n/tok\n", true, {false, "", "", "", ""}, "/tok"},
        {"long lines read whole", "[sp]\n" + longName + "\n" + longName + "[sp]\n", false,
         {true, longName, "", "", ""}, "unset"},
        {"white space is ASCII only", "[sp]\n\xC2\xA0SP\xC2\xA0\n", false, {true, "\xC2\xA0SP\xC2\xA0", "", "", ""},
         "unset"},
    };
    EvEvent ev;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::string const path = m_root.base() + "/media.txt";
        nuvtest::WriteFile(path, c.text);
        DataPathOption options;
        std::string token = "unset";
        ASSERT_EQ(NuvDBAgentsCommonUtils::ParseMediaParamsInputFile(&ev, &options, " " + path + "\n",
                                                                    c.wantToken ? &token : nullptr),
                  0);
        EXPECT_EQ(options.dataPathGiven, c.expected.dataPathGiven);
        EXPECT_EQ(options.storagePolicy, c.expected.storagePolicy);
        EXPECT_EQ(options.dataMover, c.expected.dataMover);
        EXPECT_EQ(options.library, c.expected.library);
        EXPECT_EQ(options.drivePool, c.expected.drivePool);
        EXPECT_EQ(token, c.token);
    }
    DataPathOption options;
    EXPECT_EQ(NuvDBAgentsCommonUtils::ParseMediaParamsInputFile(&ev, nullptr, "/x", nullptr), 1);
    EXPECT_EQ(NuvDBAgentsCommonUtils::ParseMediaParamsInputFile(&ev, &options, " \t\r\n", nullptr), 0);
    EXPECT_EQ(NuvDBAgentsCommonUtils::ParseMediaParamsInputFile(&ev, &options, m_root.base() + "/none", nullptr), 1);
    EXPECT_FALSE(options.dataPathGiven);
}

TEST(SubmitErrors, EveryCodeHasItsText) {
    std::string const general =
        "Failed to submit third-party job request. Please check JobManager logs on Kelvane for details.";
    std::string const communication =
        "Communication error with JobManager. Please check JobManager logs on Kelvane for details.";
    struct Case {
        int code;
        std::string text;
    } const cases[] = {
        {0, general}, {17, general}, {19, general}, {24, general}, {-1, general},
        {1, communication}, {4, communication}, {6, communication}, {10, communication},
        {8, "A Selective Online Full backup is already running \nfor the instance. The job cannot be run at this time."},
        {11, "Job activity skipped during this time due to scheduled skip time."},
        {12, "Job activity skipped during this time due to scheduled skip time."},
        {18, "Invalid Drive Pool Name"},
        {20, "JobManager\tcannot create job at this time.\tPlease check JobManager\tlogs on Kelvane for details."},
        {21, "Token validation failed. Please provide competent Brannox User token file\n to run jobs. Third party jobs "
             "are being authenticated at Kelvaner"},
        {23, "JobManager\treplied Quota exceeded for this\tclient."},
    };
    EvEvent ev;
    for (Case const& c : cases) {
        char* message = nullptr;
        EXPECT_EQ(NuvDBAgentsCommonUtils::CheckThirdPartyJobSubmitErrors(&ev, static_cast<JZJobSubmitError>(c.code),
                                                                         message),
                  0);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message, c.text) << c.code;
    }
}

class TokenTest : public nuvtest::SuiteTest {};

TEST_F(TokenTest, TokenComesFromTheFileAndNeverReachesTheLog) {
    std::string const file = m_root.base() + "/token";
    nuvtest::WriteFile(file, "[ops]\nserver=kv1\nserverClient=kv1client\nuser=alice\nguid=G-123\n[none]\nuser=x\n");
    struct Case {
        char const* name;
        char const* key;
        std::string file;
        bool gotToken;
    } const cases[] = {
        {"found", "ops", file, true},
        {"section without a GUID", "none", file, false},
        {"no such section", "other", file, false},
        {"no file", "ops", m_root.base() + "/missing", false},
        {"no file given", "ops", "", false},
    };
    EvEvent ev;
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        std::string token = "unset";
        EXPECT_EQ(NuvDBAgentsCommonUtils::GetFZSDKToken(&ev, c.key, c.file, token), 0);
        if (c.gotToken) {
            EXPECT_NE(token, "unset");
            EXPECT_EQ(token.rfind("FZT1:", 0), 0u);
            EXPECT_EQ(nuvtest::ReadFile(g_ptrLogWriter->path()).find(token), std::string::npos);
        } else {
            EXPECT_EQ(token, "unset");
        }
    }
    nuvsuite::AddFault("token", "FZSDKConstructTokenWrapper", 13, "refused", 1);
    std::string token = "unset";
    EXPECT_EQ(NuvDBAgentsCommonUtils::GetFZSDKToken(&ev, "ops", file, token), 0);
    EXPECT_EQ(token, "unset");
}

TEST(ResourceControl, NothingIsDoneAndOnlyOneCallSaysWhy) {
    EvEvent ev;
    NuvDBAgentsRcgMgr manager(&ev, 7);
    EXPECT_EQ(NuvDBAgentsRcgMgr::disableResourceControl(7), 1);
    for (std::list<unsigned> const& pids : {std::list<unsigned>{}, std::list<unsigned>{999999, 1}}) {
        EXPECT_EQ(NuvDBAgentsRcgMgr::controlResourceUtilization(&ev, 1, pids), 1);
        EXPECT_EQ(NuvDBAgentsRcgMgr::controlResourceUtilization(nullptr, 1, pids), 1);
        EXPECT_EQ(NuvDBAgentsRcgMgr::findAndAssignPidsToRCGroup(&ev, "grp", pids), 1);
    }
}

}  // namespace
