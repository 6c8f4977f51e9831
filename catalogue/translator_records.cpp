// The translator's records and helpers: the file-entity line, StringSplit,
// DecodeDevicePath and the archive-file row order.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "translator_internal.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

std::ostream& operator<<(std::ostream& out, DBFileSnapshotEntity const& entity) {
    out << entity.m_bcdString << ',' << (entity.m_sourcePath.empty() ? std::string(" ") : entity.m_sourcePath) << ','
        << entity.m_mountPointTranslatedPath << ',' << entity.m_archiveFileId << ',' << entity.m_snapShotId
        << std::endl;
    return out;
}

DBFileSnapshotEntity& DBFileSnapshotEntity::fromString(std::string const& line, DBFileSnapshotEntity& entity,
                                                       char const& delimiter) {
    static char const kTag[] = "DBFileSnapshotEntity::fromString";
    g_ptrLogWriter->Write(2, kTag, 0, "line=[%s]", line.c_str());
    size_t start = 0;
    for (int field = 1; field <= 5; ++field) {
        size_t const pos = line.find(delimiter, start);
        std::string const text = line.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        unsigned long const logPos = static_cast<unsigned long>(pos);
        unsigned long const logStart = static_cast<unsigned long>(start);
        switch (field) {
        case 1:
            entity.m_bcdString = text;
            g_ptrLogWriter->Write(6, kTag, 0, "bcd String = [%s], pos=[%lu], prevPos=[%lu]", text.c_str(), logPos,
                                  logStart);
            break;
        case 2:
            entity.m_sourcePath = text;
            g_ptrLogWriter->Write(6, kTag, 0, "source Path = [%s], pos=[%lu], prevPos=[%lu]", text.c_str(), logPos,
                                  logStart);
            break;
        case 3:
            entity.m_mountPointTranslatedPath = text;
            g_ptrLogWriter->Write(6, kTag, 0, "mountPointTranslatedPath = [%s], pos=[%lu], prevPos=[%lu]",
                                  text.c_str(), logPos, logStart);
            break;
        case 4:
            if (!nuvcatalogue::ParseUnsigned(text, entity.m_archiveFileId)) {
                g_ptrLogWriter->Write(-1, kTag, 0, "archiveFileId [%s] is not a number: 0 taken", text.c_str());
                entity.m_archiveFileId = 0;
            }
            g_ptrLogWriter->Write(6, kTag, 0, "archiveFileId = [%lld], pos=[%lu], prevPos=[%lu]",
                                  static_cast<long long>(entity.m_archiveFileId), logPos, logStart);
            break;
        case 5:
            entity.m_snapShotId = atoi(line.c_str() + start);
            g_ptrLogWriter->Write(6, kTag, 0, "snapShotId= [%d], pos=[%lu], prevPos=[%lu]", entity.m_snapShotId,
                                  logPos, logStart);
            break;
        }
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return entity;
}

int StringSplit(EvEvent& event, std::string text, std::string delimiter, std::vector<std::string>& tokens) {
    static char const kTag[] = "StringSplit";
    size_t pos = delimiter.empty() ? std::string::npos : text.find(delimiter[0]);
    if (pos != std::string::npos && pos != 0) tokens.push_back(text.substr(0, pos));
    while (pos != std::string::npos && pos + 1 < text.size()) {
        size_t const next = text.find(delimiter[0], pos + 1);
        tokens.push_back(text.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1));
        pos = next;
    }
    EvDebug::Debug(&event, kTag, "String list size [%d]", static_cast<int>(tokens.size()));
    for (size_t i = 0; i < tokens.size(); ++i)
        EvDebug::Debug(&event, kTag, "Node[%d] -- [%s]", static_cast<int>(i), tokens[i].c_str());
    EvDebug::Debug(&event, kTag, "Exit");
    return 0;
}

std::string DecodeDevicePath(std::string path) {
    for (char& c : path)
        if (c == '~') c = '/';
    return path;
}

namespace nuvcatalogue {

bool ParseUnsigned(std::string const& text, uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) return false;
    value = parsed;
    return true;
}

bool compareTime(GetArchFileListForJobRetCC_t const& a, GetArchFileListForJobRetCC_t const& b) {
    return static_cast<uint64_t>(b.createTime) < static_cast<uint64_t>(a.createTime);
}

bool firstSnapArchFile(GetArchFileListForJobRetCC_t const& row) { return row.archFileType == 6; }

}  // namespace nuvcatalogue

namespace nuvcatalogue {

int32_t SnapArchiveTime(std::vector<GetArchFileListForJobRetCC_t>& rows, char const* tag) {
    if (rows.empty()) {
        g_ptrLogWriter->Write(-1, tag, 0, "Unable to get the timestamp of BCD Snap Index Archive file defaulting to 0");
        return 0;
    }
    std::sort(rows.begin(), rows.end(), compareTime);
    auto snap = std::find_if(rows.begin(), rows.end(), firstSnapArchFile);
    return snap == rows.end() ? 0 : static_cast<int32_t>(static_cast<uint32_t>(snap->createTime));
}

int SnapJobArchiveFiles(uint32_t brannoxId, int64_t jobId, std::vector<GetArchFileListForJobRetCC_t>& rows,
                        std::string* sarnelHost, char const* tag) {
    GetArchFileInfoForSnapJob_ArgsCC_t request;
    request.brannoxId = brannoxId;
    request.snapJobId = jobId;
    request.flags |= 1;
    GetArchFileInfoForSnapJob_Ret_t answer;
    rows.clear();
    ArMgrClientAPI archive;
    int const rc = archive.getArchFileListForSnapshotJob(&request, &answer);
    if (rc != 0) {
        g_ptrLogWriter->Write(-1, tag, 0,
                              "Failed while getting the timestamp of the BCD archive File from archiveManager for job %llu",
                              static_cast<unsigned long long>(jobId));
        return rc;
    }
    rows = std::move(answer.archFiles);
    *sarnelHost = answer.sarnelHost;
    return 0;
}

bool SarnelClientName(std::string const& sarnelHost, uint32_t brannoxId, int64_t jobId, char const* tag,
                      std::string* clientName) {
    if (sarnelHost.empty()) {
        g_ptrLogWriter->Write(-1, tag, 0, "Failed to get the mangled sarnel from archivemanager API for snap job [%u:%lld]",
                              brannoxId, static_cast<long long>(jobId));
        return false;
    }
    std::string host;
    int n1 = 0, n2 = 0;
    DemangleHostName(sarnelHost.c_str(), host, *clientName, n1, n2);
    return true;
}

std::string IndexQueryLockName(uint32_t brannoxId, int64_t jobId) {
    char name[65] = {};
    std::snprintf(name, sizeof name, "idxq_%u_%lld", brannoxId, static_cast<long long>(jobId));
    return name;
}

}  // namespace nuvcatalogue
