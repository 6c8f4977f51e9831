// Content indexing needs the indexing client of the local suite; until it is
// part of the build, an index run fails as a run whose connection cannot be
// opened does.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/platform/base/log.h"

int NuvSnapUtilDb::createIndex(std::string& dataAgingFile, char const* indexHost, unsigned brannoxId, unsigned appId,
                               unsigned appType, long long jobId, std::map<std::string, std::string>* fileNameMap,
                               bool const& levelOne, bool const& updateIndexOnly, bool const& updateOption,
                               bool const& dirChangeFlag, std::string const& dirChangeFile, bool const& statFiles,
                               bool dirChangeOnly) {
    return createIndex(dataAgingFile, indexHost, brannoxId, appId, appType, jobId, fileNameMap, levelOne,
                       updateIndexOnly, updateOption, dirChangeFlag, dirChangeFile, statFiles, dirChangeOnly, nullptr);
}

int NuvSnapUtilDb::createIndex(std::string&, char const*, unsigned, unsigned, unsigned, long long,
                               std::map<std::string, std::string>*, bool const&, bool const&, bool const&,
                               bool const&, std::string const&, bool const&, bool, std::vector<std::string>*) {
    EvDebug::Error(getEvent(), "NuvSnapUtilDb::createIndex", "Index initialization failed");
    return -1;
}
