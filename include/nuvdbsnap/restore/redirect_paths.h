// The redirect rules of an Oracle restore: RedirectPathSearch decides whether
// an entry of the central server's redirect list applies to a data file and
// computes the file's destination. Its statics record the first destinations
// found for log, control and parameter files and the path types that matched;
// they belong to one restore job and are reset when the job changes.
#pragma once

#include "nuvdbsnap/platform/msg/messages.h"

#include <cstdint>
#include <string>

class RedirectPathSearch {
public:
    RedirectPathSearch(std::string const& srcPath, unsigned const& pathType, std::string& destPath,
                       unsigned& resultType)
        : m_srcPath(srcPath), m_pathType(pathType), m_destPath(&destPath), m_resultType(&resultType) {}

    // True when the entry applies to the data file (its outputs then set).
    bool operator()(Nuv::OracleDB2DatafilePath& entry);

    // Target T with the source's "/" and base name after T's trailing "/" dropped.
    static std::string PlaceBaseName(std::string const& target, std::string const& source);
    // Clears every static below (a new restore job).
    static void ResetForJob(long long jobId);

    static uint64_t m_redirectRestoreFlag;
    static std::string m_destLogPath;
    static std::string m_destSPFilePath;
    static std::string m_destControlFilePath;
    static Nuv::OracleDB2DatabasePaths redirectPathList;
    static long long m_listJobId;  // the restore job the statics belong to

private:
    void directoryStep(std::string& target) const;

    std::string m_srcPath;
    unsigned m_pathType;
    std::string* m_destPath;
    unsigned* m_resultType;
};
