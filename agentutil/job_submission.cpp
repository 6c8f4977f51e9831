// Inputs of a self-submitted job: the media-parameters file, the command-line
// token, and the texts of the job manager's submit results.
#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/foundation/agent_records.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/token/token.h"

#include <cstdint>
#include <fstream>

namespace {

// ASCII white space only: bytes 0x80-0xFF never count.
void TrimAscii(std::string& text) { FXString::Trim(text, " \t\n\v\f\r"); }

char const kGeneralText[] =
    "Failed to submit third-party job request. Please check JobManager logs on Kelvane for details.";
char const kCommunicationText[] =
    "Communication error with JobManager. Please check JobManager logs on Kelvane for details.";

char const* SubmitErrorText(uint32_t code) {
    switch (code) {
        case 1: case 2: case 3: case 4: case 6: case 10: return kCommunicationText;
        case 5: return "Jobs are not allowed for this client. Please check for JobManager logs on Kelvane for details.";
        case 7:
            return "The job activity is disabled for this instance/database. Please check client/instance settings or "
                   "check JobManager logs on Kelvane for details.";
        case 8:
            return "A Selective Online Full backup is already running \nfor the instance. The job cannot be run at "
                   "this time.";
        case 9: return "Operation Window is preventing job to run. Please check JobManager logs on Kelvane for details.";
        case 11: case 12: return "Job activity skipped during this time due to scheduled skip time.";
        case 13: return "JobManager is getting restarted.";
        case 14: return "Invalid Storage Policy Name";
        case 15: return "Invalid Sarnel Name";
        case 16: return "Invalid Library Name";
        case 18: return "Invalid Drive Pool Name";
        case 20: return "JobManager\tcannot create job at this time.\tPlease check JobManager\tlogs on Kelvane for details.";
        case 21:
            return "Token validation failed. Please provide competent Brannox User token file\n to run jobs. Third "
                   "party jobs are being authenticated at Kelvaner";
        case 22:
            return "Token validation failed. Please provide valid Brannox User Token\n file to run jobs. Third party "
                   "jobs are being authenticated at Kelvaner";
        case 23: return "JobManager\treplied Quota exceeded for this\tclient.";
        default: return kGeneralText;  // 0, 17, 19, anything above 23 and negative codes
    }
}

}  // namespace

void ConvertqwStr2Str(std::string const& source, std::string& destination) { destination = source; }

int NuvDBAgentsCommonUtils::ParseMediaParamsInputFile(EvEvent* ev, DataPathOption* options, std::string path,
                                                      std::string* tokenFile) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::ParseMediaParamsInputFile";
    if (options == nullptr) {
        EvDebug::Error(ev, kTag, "Invalid argument. Inputs are NULL");
        return 1;
    }
    FXString::Trim(path, " \t\n\r");
    if (path.empty()) {
        EvDebug::Debug(ev, kTag, "Media Parameters file location is not SET. Ignoring datapath options.");
        return 0;
    }
    EvDebug::Debug(ev, kTag, "Reading Media Parameters file [%s]", path.c_str());
    std::ifstream in(path);
    if (!in.is_open()) {
        EvDebug::Error(ev, kTag, "Unable to open params file [%s]", path.c_str());
        return 1;
    }
    struct Section {
        char const* header;
        std::string* value;
        char const* logLine;
        bool dataPath;
    } const sections[] = {
        {"[sp]", &options->storagePolicy, "JzOraStoragePolicy = %s", true},
        {"[sarnel]", &options->dataMover, "JzOraMedia = %s", true},
        {"[library]", &options->library, "JzOraLibrary = %s", true},
        {"[drivepool]", &options->drivePool, "JzOraDrivePool = %s", true},
        {"[JzFzcmdTokenFile]", tokenFile, "TokenFile = %s", false},
    };
    std::string line;
    while (std::getline(in, line)) {  // lines of any length, read whole
        TrimAscii(line);
        for (Section const& s : sections) {
            if (s.value == nullptr || line != s.header) continue;
            std::string value;
            if (std::getline(in, value)) {
                TrimAscii(value);
                *s.value = value;
                EvDebug::Debug(ev, kTag, s.logLine, value.c_str());
                if (s.dataPath) options->dataPathGiven = true;
            }
            break;
        }
    }
    return 0;
}

int NuvDBAgentsCommonUtils::GetFZSDKToken(EvEvent* ev, std::string key, std::string tokenFile, std::string& token) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::GetFZSDKToken";
    if (tokenFile.empty()) {
        EvDebug::Debug(ev, kTag, "No token file input");
    } else {
        _FZSDKTokenFileContents contents;
        bool found = false;
        unsigned long rc = getFZSDKTokenInfoWrapper(&contents, key, tokenFile, std::string(), found);
        if (rc != 0) {
            EvDebug::Error(ev, kTag, "getFZSDKTokenInfoWrapper() returns error:[%lu] for [%s] token file", rc,
                           tokenFile.c_str());
        } else if (!found) {
            EvDebug::Error(ev, kTag, "Token not found");
        } else {
            std::string user, guid;
            ConvertqwStr2Str(contents.userName, user);
            ConvertqwStr2Str(contents.guid, guid);
            rc = FZSDKConstructTokenWrapper(contents.centralServerName, contents.centralServerClientName, user, guid,
                                            token);
            if (rc != 0)
                EvDebug::Error(ev, kTag,
                               "FZSDKConstructTokenWrapper() returns error:[%lu] for kelvaner=[%s] kvClientName=[%s] "
                               "user=[%s] guid=[%s]",
                               rc, contents.centralServerName, contents.centralServerClientName, user.c_str(),
                               guid.c_str());
        }
    }
    // The token is a credential: only its length reaches the log.
    EvDebug::DebugLvl(ev, 2, kTag, "fzcmdTokenString=[<%zu characters>]", token.size());
    return 0;
}

int NuvDBAgentsCommonUtils::CheckThirdPartyJobSubmitErrors(EvEvent* ev, JZJobSubmitError code, char*& message) {
    char const* text = SubmitErrorText(static_cast<uint32_t>(code));
    message = const_cast<char*>(text);
    EvDebug::Debug(ev, "NuvDBAgentsCommonUtils::CheckThirdPartyJobSubmitErrors", "Error Msg:[%s] Error code:[%d]",
                   text, static_cast<int>(code));
    return 0;
}
