// The agent request client: requests to the central server. The local
// central server keeps the redirect paths of each restore job in the
// catalogue table rst_redirect_paths (declarable as "rstredirect"; an entry
// with an empty source and destination and a non-zero error code stands for
// a server that failed to produce the list). Every call is journalled
// ("request", call) and obeys the fault table.
#pragma once

#include "nuvdbsnap/platform/msg/messages.h"

#include <cstdint>

// Fields of Nuv::OracleDB2DatabasePaths and Nuv::OracleDB2DatafilePath.
namespace nuvredirect {
constexpr short kAppType = 1;      // list: application type (64-bit)
constexpr short kErrorCode = 2;    // list: error code of the server, optional
constexpr short kEntries = 3;      // list: the entries (Nuv::OracleDB2DatafilePath)
constexpr short kSourcePath = 1;   // entry: source path
constexpr short kDestPath = 2;     // entry: destination path
constexpr short kPathType = 3;     // entry: path type (64-bit)
constexpr short kResultType = 4;   // entry: result type (64-bit), optional
}  // namespace nuvredirect

class NuvBackup {
public:
    NuvBackup() = default;
    // Fills the list's entries with the restore job's redirect paths, in
    // order; a failed server sets the list's error code. 0 when the server
    // answered (also with no entries), -1 otherwise.
    int getOracleDB2RedirectRestorePaths(uint32_t appType, long long jobId, Nuv::OracleDB2DatabasePaths& list,
                                         long long snapJobId);
};

namespace nuvrequest {
// Stores one redirect path of a restore job (the central server's side, for
// jzsuite and the tests). resultType < 0: none.
[[nodiscard]] bool AddRedirectPath(long long jobId, std::string const& source, std::string const& dest,
                                   int64_t pathType, int64_t resultType, int64_t errorCode = 0);
}  // namespace nuvrequest
