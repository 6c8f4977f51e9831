// Oracle file paths: catalogue path to snapshot path, the choice among the
// disk-group, snapshot, physical and image-copy answers, and the image-copy maps.
#include "nuvdbsnap/catalogue/ora_db_info.h"

#include "mount_prefix.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/symlink.h"

#include <algorithm>
#include <map>

using namespace nuvcatalogue;

boost::shared_ptr<Nuv::OraDatabaseContent> OraDBInfo::m_pImageCopyContent;

namespace {

// The list at field a of a message (whatever its second index), or null.
nuvmsg::ListBase const* ListField(CNMessageBase const& message, short a) {
    for (nuvmsg::Field const& field : message.fields())
        if (field.a == a && field.kind == nuvmsg::Field::kList) return field.list();
    return nullptr;
}

// One image-copy map: built from the shared content, rebuilt while it is empty
// and whenever the content is replaced.
struct ImageCopyMap {
    std::map<std::string, std::string> map;
    boost::shared_ptr<Nuv::OraDatabaseContent> builtFrom;
    bool loaded = false;

    void refresh(bool imageToFile) {
        boost::shared_ptr<Nuv::OraDatabaseContent> const content = OraDBInfo::m_pImageCopyContent;
        if (loaded && content == builtFrom) return;
        map.clear();
        builtFrom = content;
        loaded = false;
        if (!content) return;
        nuvmsg::ListBase const* spaces = ListField(*content, 6);
        if (spaces == nullptr || spaces->size() == 0) return;
        nuvmsg::ListBase const* pdbs = ListField(*content, 7);
        size_t const walks = pdbs != nullptr && pdbs->size() > 0 ? pdbs->size() : 1;
        for (size_t walk = 0; walk < walks; ++walk) {
            for (size_t s = 0; s < spaces->size(); ++s) {
                nuvmsg::ListBase const* files = ListField(spaces->at(s), 8);
                for (size_t f = 0; files != nullptr && f < files->size(); ++f) {
                    CNMessageBase const& file = files->at(f);
                    if (imageToFile)
                        map[file.getstring(9)] = file.getstring(1);
                    else
                        map[file.getstring(1)] = file.getstring(9);
                }
            }
        }
        loaded = !map.empty();
    }
};

std::string Convert(ImageCopyMap& maps, bool imageToFile, std::string const& path) {
    maps.refresh(imageToFile);
    auto found = maps.map.find(path);
    if (found != maps.map.end()) {
        g_ptrLogWriter->Write(0, imageToFile ? "OraDBInfo::convertImageCopyPathToDBFilePath"
                                             : "OraDBInfo::convertDBFilePathToImageCopyPath",
                              0, imageToFile ? "source path = [%s]" : "image path=%s", found->second.c_str());
        return found->second;
    }
    if (g_ptrLogWriter->getLevel() > 14) {
        if (imageToFile)
            g_ptrLogWriter->Write(15, "OraDBInfo::convertImageCopyPathToDBFilePath", 0,
                                  "No matching image copy entry found for [%s]: map size %d", path.c_str(),
                                  static_cast<int>(maps.map.size()));
        else
            g_ptrLogWriter->Write(15, "OraDBInfo::convertDBFilePathToImageCopyPath", 0,
                                  "No matching source copy entry found in image copy for [%s]: map size %d",
                                  path.c_str(), static_cast<int>(maps.map.size()));
    }
    return path;
}

}  // namespace

std::string OraDBInfo::convertImageCopyPathToDBFilePath(std::string& path) {
    static ImageCopyMap imageCopyToDBFileMap;
    return Convert(imageCopyToDBFileMap, true, path);
}

std::string OraDBInfo::convertDBFilePathToImageCopyPath(std::string& path) {
    static ImageCopyMap dbFileToImageCopyMap;
    return Convert(dbFileToImageCopyMap, false, path);
}

std::string OraElement::translatePath(std::string const& cataloguePath, std::string const& sourceMount,
                                      std::string const& snapMount) {
    unsigned const flag = 2;
    JZJobID const jobId = 0;
    return translatePath(cataloguePath, sourceMount, snapMount, flag, jobId);
}

std::string OraElement::translatePath(std::string const& cataloguePath, std::string const& sourceMount,
                                      std::string const& snapMount, unsigned const& symLinkFlag,
                                      JZJobID const& jobId) {
    static char const kTag[] = "OraElement::translatePath";
    size_t const slash = cataloguePath.find_last_of('/');
    size_t const start = slash == std::string::npos ? 0 : slash + 1;
    size_t const bar = cataloguePath.find('|', start);
    std::string const filePath = ReplaceChar(
        cataloguePath.substr(start, bar == std::string::npos ? std::string::npos : bar - start), '~', '/');
    if (snapMount.empty()) return filePath;
    // Only an absolute path lies under a mount: a relative one (a file inside a
    // disk group, say) would land under "/" of any source.
    if (filePath.empty() || filePath[0] != '/') {
        g_ptrLogWriter->Write(2, kTag, static_cast<uint64_t>(jobId), "Path:%s is not absolute - Failed to translate path",
                              filePath.c_str());
        return std::string();
    }

    std::string physical = filePath;
    if (!NuvSymLink::m_mountSrcTransMap.empty()) {
        if (!UnixSymbolicLink::getPhysicalPath(filePath, physical, NuvSymLink::m_mountSrcTransMap, jobId,
                                               static_cast<int>(symLinkFlag))) {
            g_ptrLogWriter->Write(2, kTag, static_cast<uint64_t>(jobId), "Path:%s - Failed to get a physicalPath",
                                  filePath.c_str());
            return std::string();
        }
    }
    std::string rest;
    if (UnderMount(physical, sourceMount, rest)) return CollapseSlashes(JoinMount(snapMount, rest));
    g_ptrLogWriter->Write(2, kTag, static_cast<uint64_t>(jobId),
                          "Path:%s pysicalPath:%s sourceMountPoint:%s len=%lu  - Failed to translate path",
                          filePath.c_str(), physical.c_str(), sourceMount.c_str(),
                          static_cast<unsigned long>(TrimMount(sourceMount).size()));
    return std::string();
}

std::string OraDBInfo::getDBFilePath(OraElement const& element, bool snapdev, bool physical) {
    static char const kTag[] = "OraDBInfo::getDBFilePath";
    uint64_t const job = static_cast<uint64_t>(element.m_jobId);
    if (g_ptrLogWriter->getLevel() > 6)
        g_ptrLogWriter->Write(7, kTag, job, "element.m_dgInd=%d, element.m_fsInd= %d snapdev %d ", element.m_dgInd,
                              element.m_fsInd, snapdev ? 1 : 0);

    if (ASMDiskGroup const* group = diskGroupOf(element)) {
        std::string path = "+" + (snapdev && !group->m_snapDGName.empty() ? group->m_snapDGName : group->m_name) +
                           "/" + element.m_path;
        g_ptrLogWriter->Write(7, kTag, job, "path %s", path.c_str());
        return convertImageCopyPathToDBFilePath(path);
    }
    if (snapdev && element.m_fsInd != -1) {
        // A volume the element names must be one of the job's: never the live file instead.
        if (element.m_fsInd < 0 || static_cast<size_t>(element.m_fsInd) >= m_volumes.size()) {
            g_ptrLogWriter->Write(-1, kTag, job,
                                  "File system index %d of [%s] names no snapshot volume (%d known): not translated",
                                  element.m_fsInd, element.m_path.c_str(), static_cast<int>(m_volumes.size()));
            return std::string();
        }
        SMVolumeInfo const& volume = m_volumes[element.m_fsInd];
        OraElement copy = element;  // the writer normalises the path it writes
        std::string const cataloguePath = copy.toString(*this, std::string());
        std::string path;
        if (!volume.getRepBasePath().empty() && !volume.getRepRelativePath().empty()) {
            std::string const& relative = volume.getRepRelativePath();
            std::string replicaMount;
            if (!ReplicaMount(volume.getSourcePath(), relative, volume.getMountPath(), replicaMount)) {
                g_ptrLogWriter->Write(-1, kTag, job,
                                      "Replica relative path [%s] does not begin with the source path [%s]: [%s] is "
                                      "not translated",
                                      relative.c_str(), volume.getSourcePath().c_str(), element.m_path.c_str());
                return std::string();
            }
            path = OraElement::translatePath(cataloguePath, volume.getOriginalSourcePath(), replicaMount,
                                             element.m_symLinkFlag, element.m_jobId);
        } else {
            path = OraElement::translatePath(cataloguePath, volume.getSourcePath(), volume.getMountPath(),
                                             element.m_symLinkFlag, element.m_jobId);
        }
        g_ptrLogWriter->Write(7, kTag, job, "path %s", path.c_str());
        return path;
    }
    if (physical) {
        std::string resolved;
        if (!NuvSymLink::m_mountSrcTransMap.empty()) {
            if (UnixSymbolicLink::getPhysicalPath(element.m_path, resolved, NuvSymLink::m_mountSrcTransMap,
                                                  element.m_jobId, static_cast<int>(element.m_symLinkFlag)))
                return resolved;
            g_ptrLogWriter->Write(-1, kTag, job, "Path:%s - Failed to get a physicalPath2", element.m_path.c_str());
            return std::string();
        }
        std::vector<std::string> visited;
        if (UnixSymbolicLink::getPhysicalPath(element.m_path, resolved, visited, true, true)) return resolved;
        g_ptrLogWriter->Write(-1, kTag, job, "Path:%s - Failed to get a physicalPath", element.m_path.c_str());
        return std::string();
    }
    std::string path = element.m_path;
    path = convertImageCopyPathToDBFilePath(path);
    g_ptrLogWriter->Write(7, kTag, job, "path %s", path.c_str());
    return path;
}

bool OraDBInfo::isDataArchiveFile(int const& archiveFileId) const {
    return std::any_of(m_dataElements.begin(), m_dataElements.end(), OraDBInfoSearch(archiveFileId));
}
