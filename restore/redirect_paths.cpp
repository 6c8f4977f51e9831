// The redirect rules of an Oracle restore.
#include "nuvdbsnap/restore/redirect_paths.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"

#include <cerrno>

uint64_t RedirectPathSearch::m_redirectRestoreFlag = 0;
std::string RedirectPathSearch::m_destLogPath;
std::string RedirectPathSearch::m_destSPFilePath;
std::string RedirectPathSearch::m_destControlFilePath;
Nuv::OracleDB2DatabasePaths RedirectPathSearch::redirectPathList;
long long RedirectPathSearch::m_listJobId = 0;

namespace {
char const kTag[] = "bool RedirectPathSearch::operator()(Nuv::OracleDB2DatafilePath&)";
}

std::string RedirectPathSearch::PlaceBaseName(std::string const& target, std::string const& source) {
    std::string t = target;
    while (!t.empty() && t.back() == '/') t.pop_back();
    size_t slash = source.rfind('/');
    // A source without "/" is its own base name.
    return t + (slash == std::string::npos ? "/" + source : source.substr(slash));
}

void RedirectPathSearch::ResetForJob(long long jobId) {
    m_redirectRestoreFlag = 0;
    m_destLogPath.clear();
    m_destSPFilePath.clear();
    m_destControlFilePath.clear();
    redirectPathList = Nuv::OracleDB2DatabasePaths();
    m_listJobId = jobId;
}

void RedirectPathSearch::directoryStep(std::string& target) const {
    bool isDirectory = CFzPath::IsRoot(target.c_str());
    if (!isDirectory) {
        CFzError e = CFzPath::IsDirectory(target.c_str(), isDirectory);
        if (e.IsError()) {
            g_ptrLogWriter->Write(1, kTag, 0, "Not able to stat the path=<%s> errno=[%d]", target.c_str(), errno);
            isDirectory = false;
        }
    }
    if (!isDirectory) return;
    std::string trimmed = target;
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
    size_t const pos = m_srcPath.rfind('/');
    target = PlaceBaseName(target, m_srcPath);
    g_ptrLogWriter->Write(2, kTag, 0, "source = [%s] computed destPath=[%s] pos=[%lu] n=[%lu]", m_srcPath.c_str(),
                          target.c_str(), static_cast<unsigned long>(pos == std::string::npos ? 0 : pos),
                          static_cast<unsigned long>(trimmed.size()));
}

bool RedirectPathSearch::operator()(Nuv::OracleDB2DatafilePath& entry) {
    std::string const& source = entry.getstringByRef(nuvredirect::kSourcePath);
    std::string const& dest = entry.getstringByRef(nuvredirect::kDestPath);
    uint32_t const type = static_cast<uint32_t>(entry.getint64(nuvredirect::kPathType));
    if (source.empty() && type == m_pathType) {
        *m_destPath = dest;
        switch (m_pathType) {
        case 1:
            *m_destPath = PlaceBaseName(dest, m_srcPath);
            if (m_destLogPath.empty()) {
                m_destLogPath = dest;
                if (m_destLogPath.empty() || m_destLogPath.back() != '/') m_destLogPath += "/";
            }
            break;
        case 2:
            *m_destPath = m_srcPath;
            if (m_destControlFilePath.empty()) {
                m_destControlFilePath = dest;
                directoryStep(m_destControlFilePath);
            }
            break;
        case 4:
            *m_destPath = m_srcPath;
            if (m_destSPFilePath.empty() && m_srcPath.find("/init") == std::string::npos) {
                m_destSPFilePath = dest;
                directoryStep(m_destSPFilePath);
            }
            break;
        default:
            directoryStep(*m_destPath);
            break;
        }
        m_redirectRestoreFlag |= m_pathType;
        return true;
    }
    if (source == m_srcPath) {
        m_redirectRestoreFlag |= 0x10;
        *m_destPath = dest;
        if (entry.isSet(nuvredirect::kResultType))
            *m_resultType = static_cast<uint32_t>(entry.getint64(nuvredirect::kResultType));
        return true;
    }
    return false;
}
