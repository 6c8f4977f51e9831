// The per-engine element lists and DBElement::translatePath.
#include "nuvdbsnap/catalogue/db_element.h"

#include "mount_prefix.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/symlink.h"

#include <new>

using namespace nuvcatalogue;

namespace {

constexpr char kNoBrowse[] = "/+NOBROWSE+/";

// Makes a new element, keeps it and a copy; the process-wide empty element of
// the class when it cannot be allocated.
template <class Element>
Element& MakeElement(std::vector<Element>& copies, std::vector<Element*>& made, std::string const& path,
                     char const* tag, char const* failure) {
    Element* element = new (std::nothrow) Element(path);
    if (element == nullptr) {
        EvEvent event;
        EvDebug::Debug(&event, tag, "%s", failure);
        static Element empty;
        return empty;
    }
    made.push_back(element);
    copies.push_back(*element);
    return *element;
}

template <class Element>
void Release(std::vector<Element>* copies, std::vector<Element*>& made) {
    for (Element* element : made) delete element;
    delete copies;
}

}  // namespace

std::string PathDBElement::getPath() {
    EvEvent event;
    EvDebug::DebugLvl(&event, 6, "DBElement::getPath", "path=[%s]", m_path.c_str());
    return m_path;
}

// ---------------------------------------------------------------------------
// MySQL

MySqlDBElementList::~MySqlDBElementList() { Release(m_elements, m_made); }

DBElement& MySqlDBElementList::getDBElement(std::string const& indexPath) {
    static char const kTag[] = "MySqlDBElementList::getDBElement";
    EvEvent event;
    std::string path = indexPath;
    size_t const marker = indexPath.find(kNoBrowse);
    if (marker != std::string::npos)
        path = indexPath.substr(marker + sizeof kNoBrowse - 2);
    else
        EvDebug::DebugLvl(&event, 0, kTag, "indexPath=[%s] holds no [%s]: kept whole", indexPath.c_str(), kNoBrowse);
    EvDebug::DebugLvl(&event, 5, kTag, "indexPath=[%s] path=[%s]", indexPath.c_str(), path.c_str());
    if (m_elements == nullptr) {
        m_elements = new (std::nothrow) std::vector<MySqlDBElement>();
        if (m_elements == nullptr) {
            EvDebug::DebugLvl(&event, 0, kTag, "Failed to allocate element list vector for MySqlDBElementList");
            static MySqlDBElement empty;
            return empty;
        }
    }
    return MakeElement(*m_elements, m_made, path, kTag, "new MySqlDBElement() object allocate failed");
}

std::string MySqlDBElementList::getFilePath(DBElement& element) { return element.getPath(); }

std::string MySqlDBElementList::getIndexPath(DBElement& element) {
    std::string const filePath = element.getPath();
    std::string const indexPath = kNoBrowse + filePath;
    EvEvent event;
    EvDebug::DebugLvl(&event, 6, "MySqlDBElementList::getIndexPath", "filePath=[%s] indexPath=[%s]",
                      filePath.c_str(), indexPath.c_str());
    return indexPath;
}

// ---------------------------------------------------------------------------
// PostgreSQL

PostGreSqlDBElementList::PostGreSqlDBElementList() : m_elements(new std::vector<PostGreSqlDBElement>()) {}
PostGreSqlDBElementList::~PostGreSqlDBElementList() { Release(m_elements, m_made); }

DBElement& PostGreSqlDBElementList::getDBElement(std::string const& indexPath) {
    static char const kTag[] = "PostGreSqlDBElementList::getDBElement";
    EvEvent event;
    EvDebug::DebugLvl(&event, 5, kTag, "indexPath=[%s]", indexPath.c_str());
    return MakeElement(*m_elements, m_made, indexPath, kTag, "new PostGreSqlDBElement() object allocate failed");
}

std::string PostGreSqlDBElementList::getFilePath(DBElement& element) { return element.getPath(); }

std::string PostGreSqlDBElementList::getIndexPath(DBElement& element) {
    std::string const path = element.getPath();
    EvEvent event;
    EvDebug::DebugLvl(&event, 6, "PostGreSqlDBElementList::getIndexPath", "filePath=[%s] indexPath=[%s]",
                      path.c_str(), path.c_str());
    return path;
}

// ---------------------------------------------------------------------------
// Sybase

SybaseDBElementList::SybaseDBElementList() : m_elements(new std::vector<SybaseDBElement>()) {}
SybaseDBElementList::~SybaseDBElementList() { Release(m_elements, m_made); }

DBElement& SybaseDBElementList::getDBElement(std::string const& indexPath) {
    static char const kTag[] = "SybaseDBElementList::getDBElement";
    EvEvent event;
    EvDebug::DebugLvl(&event, 5, kTag, "indexPath=[%s]", indexPath.c_str());
    return MakeElement(*m_elements, m_made, indexPath, kTag, "new SybaseDBElement() object allocate failed");
}

std::string SybaseDBElementList::getFilePath(DBElement& element) {
    static char const kTag[] = "SybaseDBElementList::getFilePath";
    EvEvent event;
    std::string const path = element.getPath();
    EvDebug::Debug(&event, kTag, "Entry [%s]", path.c_str());
    std::string result;
    size_t slash = std::string::npos;
    bool found = true;
    for (int i = 0; i < 3 && found; ++i) {
        slash = path.find('/', slash == std::string::npos ? 0 : slash + 1);
        found = slash != std::string::npos && slash + 1 < path.size();
    }
    if (found) result = ReplaceChar(path.substr(slash + 1), '~', '/');
    EvDebug::Debug(&event, kTag, "FilePath [%s]", result.c_str());
    return result;
}

std::string SybaseDBElementList::getIndexPath(DBElement& element) {
    std::string const path = element.getPath();
    EvEvent event;
    EvDebug::DebugLvl(&event, 6, "SybaseDBElementList::getIndexPath", "filePath=[%s] indexPath=[%s]", path.c_str(),
                      path.c_str());
    return path;
}

// ---------------------------------------------------------------------------

std::string DBElement::translatePath(std::string const& filePath, std::string const& sourceMountPoint,
                                     std::string const& snapMountPath) {
    static char const kTag[] = "DBElement::translatePath";
    EvEvent event;
    EvDebug::DebugLvl(&event, 8, kTag, "translatedPath = [%s]: sourceMountPoint = [%s]", filePath.c_str(),
                      sourceMountPoint.c_str());
    std::string rest;
    if (UnderMount(filePath, sourceMountPoint, rest)) return CollapseSlashes(JoinMount(snapMountPath, rest));

    std::string physical;
    bool resolved;
    if (!NuvSymLink::m_mountSrcTransMap.empty()) {
        resolved = UnixSymbolicLink::getPhysicalPath(filePath, physical, NuvSymLink::m_mountSrcTransMap, 0, 2);
    } else {
        std::vector<std::string> visited;
        resolved = UnixSymbolicLink::getPhysicalPath(filePath, physical, visited, true, true);
    }
    if (!resolved) {
        EvDebug::Debug(&event, kTag, "Path:%s - Failed to get a physicalPath", filePath.c_str());
        return std::string();
    }
    EvDebug::Debug(&event, kTag, "translatedPath = [%s] sourceMountPoint=[%s]", physical.c_str(),
                   sourceMountPoint.c_str());
    if (UnderMount(physical, sourceMountPoint, rest)) return CollapseSlashes(JoinMount(snapMountPath, rest));
    EvDebug::Debug(&event, kTag, "getMountPoint: path:%s pysicalPath:%s sourceMountPoint:%s len=%lu  - Failed to translate path",
                   filePath.c_str(), physical.c_str(), sourceMountPoint.c_str(),
                   static_cast<unsigned long>(sourceMountPoint == "/" ? 0 : sourceMountPoint.size()));
    return std::string();
}
