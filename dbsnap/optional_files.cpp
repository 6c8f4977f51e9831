// Optional files of a job under the second index generation.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/base/log.h"

int NuvSnapUtilDb::sendOptionalFilesForIdxV2(char const* indexHost, std::vector<std::string>& files,
                                             unsigned brannoxId, unsigned appId, unsigned appType, long long jobId,
                                             int archFileId, std::string jobToken, EvEvent* ev) {
    static char const* const kTag = "NuvSnapUtilDb::sendOptionalFilesForIdxV2";
    if (!IsOracle(appType)) {
        if (files.empty()) return 0;
        g_ptrLogWriter->Write(-1, kTag, ev != nullptr ? ev->getJobId() : 0,
                              "Optional files not supported for this app type [%d]", static_cast<int>(appType));
        for (std::string const& file : files)
            g_ptrLogWriter->Write(-1, kTag, ev != nullptr ? ev->getJobId() : 0, "Ignored:[%s]", file.c_str());
        return -1;
    }
    // The Oracle road packs block-level files into 7z archives and reads the
    // volume list of the subclient directory; the local suite offers neither.
    EvDebug::Error(ev, kTag, "Failed to get JobResultsDir, GetSubclientDir(%d,%d) returned with error %d",
                   static_cast<int>(brannoxId), static_cast<int>(appId), 2);
    return -1;
}
