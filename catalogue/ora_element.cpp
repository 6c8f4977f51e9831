// OraElement, ASMDisk, ASMDiskGroup and the catalogue path: its writer
// OraElement::toString and its reader OraDBInfo::createOraElement.
#include "nuvdbsnap/catalogue/ora_db_info.h"

#include "mount_prefix.h"

#include <algorithm>
#include <strings.h>

using nuvcatalogue::ReplaceChar;

namespace {

struct Keyword {
    char const* name;
    OraElementType type;
};
constexpr Keyword kKeywords[] = {
    {"LOG", LOG},
    {"CONTROL_FILE", CONTROL_FILE},
    {"SP_FILE", SP_FILE},
    {"CONFIG_FILE", CONFIG_FILE},
    {"BLOCKTRACKING_FILE", BLOCKTRACKING_FILE},
    {"REDOLOG_FILE", REDOLOG_FILE},
    {"METADATA_FILE", METADATA_FILE},
};
constexpr char kMarker[] = "#ORVT#";

Keyword const* FindKeyword(std::string const& text) {
    for (Keyword const& k : kKeywords)
        if (text == k.name) return &k;
    return nullptr;
}

char const* KeywordOf(OraElementType type) {
    for (Keyword const& k : kKeywords)
        if (k.type == type) return k.name;
    return nullptr;
}

// A '/' directly followed by another loses that second one; the scan goes on
// after the first: a run of n slashes keeps (n + 1) / 2.
std::string ReduceSlashes(std::string const& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/') ++i;
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// OraElement

bool OraElement::operator==(OraElement const& other) const {
    return m_fsInd == other.m_fsInd && m_dgInd == other.m_dgInd && m_tsInd == other.m_tsInd &&
           m_path == other.m_path;
}

std::string OraElement::toString(OraDBInfo const& info, std::string extra) {
    std::string out = "/" + info.m_dbName;
    bool withGroup = m_dgInd >= 0;
    if (m_type == TABLESPACE_FILE) {
        if (m_tsInd >= 0 && static_cast<size_t>(m_tsInd) < info.m_tsNames.size()) {
            std::string const& name = info.m_tsNames[m_tsInd];
            out += "/" + std::string(FindKeyword(name) ? kMarker : "") + name + "/";
        } else {
            out += "/UNKNOWN/";
            withGroup = false;
        }
    } else if (char const* keyword = KeywordOf(m_type)) {
        out += "/" + std::string(keyword) + "/";
    } else {
        withGroup = false;
    }
    if (withGroup) {
        std::vector<ASMDiskGroup> const& groups = info.diskGroupsOf(m_type);
        if (static_cast<size_t>(m_dgInd) < groups.size()) out += "+" + groups[m_dgInd].m_name + "/";
    }
    if (!m_path.empty()) {
        std::string reduced = ReduceSlashes(m_path);
        out += ReplaceChar(reduced, '/', '~');
        m_path = ReplaceChar(reduced, '~', '/');
    }
    if (!extra.empty()) out += "/" + ReplaceChar(extra, '/', '~');
    return out;
}

// ---------------------------------------------------------------------------
// ASMDisk, ASMDiskGroup

bool ASMDisk::operator==(std::string const& path) {
    auto trim = [](std::string& s) {
        if (!s.empty() && s.back() == '/') s.pop_back();
    };
    std::string wanted = path;
    trim(wanted);
    trim(m_diskPath);
    trim(m_altDiskPath);
    return m_diskPath == wanted || m_altDiskPath == wanted;
}

ASMDiskGroup::ASMDiskGroup(std::string const& name, long long jobId, int auxValue, int symLinkFlag)
    : m_name(name), m_jobId(jobId), m_auxValue(auxValue), m_symLinkFlag(symLinkFlag) {}

bool ASMDiskGroup::operator==(std::string const& name) const {
    return name.size() == m_name.size() && strcasecmp(name.c_str(), m_name.c_str()) == 0;
}

// ---------------------------------------------------------------------------
// OraDBInfo: the reader

bool OraDBInfo::isDataType(OraElementType type) {
    return type == TABLESPACE_FILE || type == BLOCKTRACKING_FILE || type == METADATA_FILE;
}

ASMDiskGroup const* OraDBInfo::diskGroupOf(OraElement const& element) const {
    std::vector<ASMDiskGroup> const& groups = diskGroupsOf(element.m_type);
    if (element.m_dgInd < 0 || static_cast<size_t>(element.m_dgInd) >= groups.size()) return nullptr;
    return &groups[element.m_dgInd];
}

OraElement OraDBInfo::createOraElement(std::string const& cataloguePath, long long jobId, int auxValue,
                                       int archiveFileId) {
    return createOraElement(cataloguePath, jobId, auxValue, archiveFileId, 2, nullptr);
}

OraElement OraDBInfo::createOraElement(std::string const& cataloguePath, long long jobId, int auxValue,
                                       int archiveFileId, int symLinkFlag) {
    return createOraElement(cataloguePath, jobId, auxValue, archiveFileId, symLinkFlag, nullptr);
}

OraElement OraDBInfo::createOraElement(std::string const& cataloguePath, long long jobId, int auxValue,
                                       int archiveFileId, int symLinkFlag, std::string* diskPath) {
    OraElement element;
    element.m_tsInd = 0;
    element.m_jobId = jobId;
    element.m_auxValue = auxValue;
    element.m_symLinkFlag = static_cast<uint32_t>(symLinkFlag);

    std::string work = cataloguePath;
    if (!work.empty() && work.back() != '/') work += '/';
    work = ReduceSlashes(work);

    std::vector<std::string> parts;
    for (size_t start = 1, slash; start <= work.size() && (slash = work.find('/', start)) != std::string::npos;
         start = slash + 1)
        parts.push_back(work.substr(start, slash - start));

    if (parts.size() > 0 && m_dbName.empty()) m_dbName = parts[0];
    if (parts.size() > 1) {
        if (Keyword const* keyword = FindKeyword(parts[1])) {
            element.m_type = keyword->type;
        } else {
            std::string name = parts[1];
            if (name.compare(0, sizeof kMarker - 1, kMarker) == 0) name.erase(0, sizeof kMarker - 1);
            element.m_type = TABLESPACE_FILE;
            auto found = std::find(m_tsNames.begin(), m_tsNames.end(), name);
            if (found == m_tsNames.end()) found = m_tsNames.insert(m_tsNames.end(), name);
            element.m_tsInd = static_cast<int32_t>(found - m_tsNames.begin());
        }
    }
    std::vector<ASMDiskGroup>& groups = diskGroupsOf(element.m_type);
    if (parts.size() > 2) {
        if (!parts[2].empty() && parts[2][0] == '+') {
            std::string const name = parts[2].substr(1);
            auto found = std::find_if(groups.begin(), groups.end(),
                                      [&](ASMDiskGroup const& g) { return g.m_jobId == jobId && g == name; });
            if (found == groups.end())
                found = groups.insert(groups.end(), ASMDiskGroup(name, jobId, auxValue, symLinkFlag));
            element.m_dgInd = static_cast<int32_t>(found - groups.begin());
        } else {
            element.m_path = ReplaceChar(parts[2], '~', '/');
        }
    }
    if (parts.size() > 3) element.m_path = ReplaceChar(parts[3], '~', '/');
    if (parts.size() > 4) {
        std::string const disk = ReplaceChar(parts[4], '~', '/');
        if (diskPath) *diskPath = disk;
        if (element.m_dgInd >= 0) {  // a disk outside a disk group is only given back
            std::vector<ASMDisk>& disks = groups[element.m_dgInd].m_disks;
            if (std::none_of(disks.begin(), disks.end(), [&](ASMDisk& d) { return d == disk; })) {
                ASMDisk added;
                added.m_diskPath = disk;
                added.m_archiveFileId = archiveFileId;
                disks.push_back(added);
            }
        }
    }
    if (element.m_dgInd == -1) element.m_archiveFileId = archiveFileId;

    std::vector<OraElement>& list = isDataType(element.m_type) ? m_dataElements : m_archElements;
    if (std::find(list.begin(), list.end(), element) == list.end()) list.push_back(element);
    return element;
}
