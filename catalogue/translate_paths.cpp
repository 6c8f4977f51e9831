// Source-to-mount translation of a snap job's file entities, the image-copy
// conversion of Oracle catalogue strings, and the DB2 and log-file tests.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "mount_prefix.h"
#include "nuvdbsnap/catalogue/ora_db_info.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <cerrno>
#include <string_view>
#include <unistd.h>
#include <unordered_set>

namespace {

char const kCallbackTag[] = "CFzError DBPathTranslator::translateSrcPathIntoMountPath(SMVolSnapInfo&, PathTranslator)";
char const kListTag[] = "CFzError DBPathTranslator::translateSrcPathIntoMountPath(SMVolSnapInfo&, DBElementList&)";
char const kPrefixError[] = "Failed to retrieve all the info from indexing";

bool Db2(uint32_t appType) { return appType == 37 || appType == 62 || appType == 103; }

// The translated path lies in the snapshot: it is the mount path or continues
// it with '/'. An empty mount path holds nothing.
bool UnderSnapshotMount(std::string const& translated, std::string const& mount) {
    if (mount.empty()) return false;
    std::string const m = nuvcatalogue::TrimMount(mount);
    if (m == "/") return !translated.empty() && translated[0] == '/';
    return translated.compare(0, m.size(), m) == 0 && (translated.size() == m.size() || translated[m.size()] == '/');
}

std::string TrimTrailingSlashes(std::string text) {
    while (!text.empty() && text.back() == '/') text.pop_back();
    return text;
}

}  // namespace

template <class Translate>
CFzError DBPathTranslator::translateEntities(SMVolSnapInfo& snapInfo, bool elementList, Translate const& translate) {
    char const* const tag = elementList ? kListTag : kCallbackTag;
    struct Translating {
        DBPathTranslator& t;
        explicit Translating(DBPathTranslator& translator) : t(translator) {
            t.m_translating = true;
            t.m_excludeDb2FsLock = -1;
        }
        ~Translating() {
            t.m_translating = false;
            t.m_excludeDb2FsLock = -1;
        }
    } translating(*this);
    // Each entity is accounted for at most once, whatever the number of volumes.
    std::unordered_set<DBFileSnapshotEntity const*> accounted;
    accounted.reserve(m_fileEntities.size());
    auto prefixFailure = [&](SMVolumeInfo const& volume, DBFileSnapshotEntity const& entity) {
        g_ptrLogWriter->Write(0, tag, 0, "Did not find the source mount point %s in the file path %s translatedPath=%s mountPath=%s",
                              volume.getSourcePath().c_str(), entity.m_bcdString.c_str(),
                              entity.m_mountPointTranslatedPath.c_str(), volume.getMountPath().c_str());
        return FXErrorUtil::ErrorJZResult(FZ_LOC, 3, kPrefixError);
    };
    for (auto volume = snapInfo.volumeListBegin(); volume != snapInfo.volumeListEnd(); ++volume) {
        uint64_t const volumeFile = static_cast<uint32_t>(volume->getArchFileId());
        // What the volume's files are translated between: its source path and
        // its mount path, or for a replica, the original source path and the
        // replica's place under the mount path.
        std::string const& mount = volume->getMountPath();
        bool const singleName = (volume->getVolumeFlags() & 0x3) != 0;
        bool const replica = !volume->getRepBasePath().empty() && !volume->getRepRelativePath().empty();
        bool replicaElsewhere = false;  // the relative path does not begin with the source path
        std::string snapMount = mount;
        std::string sourceMount = volume->getSourcePath();
        if (!singleName && replica) {
            replicaElsewhere =
                !nuvcatalogue::ReplicaMount(volume->getSourcePath(), volume->getRepRelativePath(), mount, snapMount);
            if (!replicaElsewhere) sourceMount = volume->getOriginalSourcePath();
        }
        for (auto it = m_fileEntities.begin(); it != m_fileEntities.end();) {
            DBFileSnapshotEntity& entity = *it;
            if (entity.m_archiveFileId != volumeFile) {
                if (!elementList && accounted.count(&entity) == 0) {
                    char const* marker = m_appType == 125 ? "+DBDIR+"
                                         : m_appType == 135 ? "DO_NOT_TOUCH_FILES_IN_THIS_DIRECTORY"
                                                            : nullptr;
                    if (marker != nullptr && entity.m_bcdString.find(marker) != std::string::npos) {
                        g_ptrLogWriter->Write(1, tag, 0,
                                              m_appType == 125
                                                  ? "Incrementing counter for PostgreSQL if its DBDIR entry. FileSnapShotEntit [%d] Counter n [%d]"
                                                  : "Incrementing counter for DO_NOT_TOUCH_FILES Dir entry. FileSnapShotEntit [%d] Counter n [%d]",
                                              static_cast<int>(m_fileEntities.size()), static_cast<int>(accounted.size()));
                        accounted.insert(&entity);
                    }
                }
                ++it;
                continue;
            }
            if (m_verbose) {
                g_ptrLogWriter->Write(2, tag, 0, "bcd String %s", entity.m_bcdString.c_str());
                g_ptrLogWriter->Write(2, tag, 0, "SourcePath %s", volume->getSourcePath().c_str());
                g_ptrLogWriter->Write(2, tag, 0, "OrignalSourcePath %s", volume->getOriginalSourcePath().c_str());
                g_ptrLogWriter->Write(2, tag, 0, "MountPath %s", volume->getMountPath().c_str());
            }
            if (singleName) {
                // The volume's own name under the mount path; the mount path itself for "/".
                std::string const source = TrimTrailingSlashes(volume->getSourcePath());
                size_t const slash = source.rfind('/');
                std::string const name = slash == std::string::npos ? source : source.substr(slash + 1);
                entity.m_mountPointTranslatedPath = nuvcatalogue::JoinMount(mount, name);
            } else {
                if (replica) {
                    if (replicaElsewhere) {
                        entity.m_mountPointTranslatedPath = volume->getRepRelativePath();
                        return prefixFailure(*volume, entity);
                    }
                    if (m_verbose) g_ptrLogWriter->Write(2, tag, 0, "repMountPath=%s", snapMount.c_str());
                }
                bool dropped = false;
                CFzError e = translate(entity, sourceMount, snapMount, *volume, dropped);
                if (e.IsError()) return e;
                if (dropped) {
                    it = m_fileEntities.erase(it);
                    continue;
                }
                if (!elementList && Db2(m_appType) && shouldSkipFileIfNotFound(entity.m_mountPointTranslatedPath)) {
                    if (::access(entity.m_mountPointTranslatedPath.c_str(), F_OK) != 0) {
                        // Only a file that is gone may be missing; any other failure stops.
                        if (errno != ENOENT) return prefixFailure(*volume, entity);
                        if (m_verbose)
                            g_ptrLogWriter->Write(2, tag, 0,
                                                  "m_mountPointTranslatedPath=%s is not found. Hence deleting it from the mapping",
                                                  entity.m_mountPointTranslatedPath.c_str());
                        it = m_fileEntities.erase(it);
                        continue;
                    }
                }
                if (m_verbose)
                    g_ptrLogWriter->Write(2, tag, 0, "m_mountPointTranslatedPath=%s", entity.m_mountPointTranslatedPath.c_str());
            }
            if (!UnderSnapshotMount(entity.m_mountPointTranslatedPath, mount)) {
                bool dropped = false;
                CFzError e = translate.prefixMissed(entity, *volume, dropped);
                if (e.IsError()) return e;
                if (dropped) {
                    it = m_fileEntities.erase(it);
                    continue;
                }
                return prefixFailure(*volume, entity);
            }
            if (!elementList && (m_appType == 22 || m_appType == 80)) {
                g_ptrLogWriter->Write(6, tag, 0, "mountPointTranslatedPath=[%s] bcdString=[%s]",
                                      entity.m_mountPointTranslatedPath.c_str(), entity.m_bcdString.c_str());
                CFzError e = convertOracleImageCopyBCDToSrcBCD(entity.m_bcdString);
                if (e.IsError()) {
                    g_ptrLogWriter->Write(-1, tag, 0, "Errors converting image copy bcd path to source bcd path:%s",
                                          e.AsString().c_str());
                    return FXErrorUtil::ErrorJZResult(FZ_LOC, 3, "Errors converting image copy bcd path to source bcd path");
                }
                g_ptrLogWriter->Write(6, tag, 0, "mountPointTranslatedPath=[%s] bcdString=[%s]",
                                      entity.m_mountPointTranslatedPath.c_str(), entity.m_bcdString.c_str());
            }
            accounted.insert(&entity);
            ++it;
        }
        if (accounted.size() >= m_fileEntities.size()) break;
    }
    if (accounted.size() < m_fileEntities.size()) {
        g_ptrLogWriter->Write(1, tag, 0, "Problem retrieving all the snapinfo %d %d", static_cast<int>(m_fileEntities.size()),
                              static_cast<int>(accounted.size()));
        return FXErrorUtil::ErrorJZResult(FZ_LOC, 3, "Problem retrieving all the snapinfo from SnapHandler");
    }
    return CFzError::Success();
}

namespace {

struct CallbackTranslate {
    PathTranslator translator;
    CFzError operator()(DBFileSnapshotEntity& entity, std::string const& sourceMount, std::string const& snapMount,
                        SMVolumeInfo const&, bool&) const {
        entity.m_mountPointTranslatedPath = translator(entity.m_bcdString, sourceMount, snapMount);
        return CFzError::Success();
    }
    CFzError prefixMissed(DBFileSnapshotEntity&, SMVolumeInfo const&, bool&) const { return CFzError::Success(); }
};

struct ElementTranslate {
    DBElementList& elements;
    uint32_t appType;
    CFzError operator()(DBFileSnapshotEntity& entity, std::string const& sourceMount, std::string const& snapMount,
                        SMVolumeInfo const&, bool&) const {
        DBElement& element = elements.getDBElement(entity.m_bcdString);
        entity.m_mountPointTranslatedPath =
            DBElement::translatePath(elements.getFilePath(element), sourceMount, snapMount);
        return CFzError::Success();
    }
    // PostgreSQL: a file at or above the volume's source mount point (by whole
    // components: "/pg" is not above "/pgdata") is no file of the volume.
    CFzError prefixMissed(DBFileSnapshotEntity& entity, SMVolumeInfo const& volume, bool& dropped) const {
        if (appType != 125) return CFzError::Success();
        std::string const filePath = elements.getFilePath(elements.getDBElement(entity.m_bcdString));
        std::string below;
        if (nuvcatalogue::UnderMount(volume.getSourcePath(), filePath, below)) {
            g_ptrLogWriter->Write(0, kListTag, 0, "File path %s, is parent of source mount point %s. Ignoring it",
                                  entity.m_bcdString.c_str(), volume.getSourcePath().c_str());
            dropped = true;
        }
        return CFzError::Success();
    }
};

}  // namespace

CFzError DBPathTranslator::translateSrcPathIntoMountPath(SMVolSnapInfo& snapInfo, PathTranslator translator) {
    if (translator == nullptr) return FXErrorUtil::ErrorJZResult(FZ_LOC, 3, kPrefixError);
    CFzError e = translateEntities(snapInfo, false, CallbackTranslate{translator});
    if (e.IsError()) return e.Push(FZ_LOC);
    return e;
}

CFzError DBPathTranslator::translateSrcPathIntoMountPath(SMVolSnapInfo& snapInfo, DBElementList& elements) {
    CFzError e = translateEntities(snapInfo, true, ElementTranslate{elements, m_appType});
    if (e.IsError()) return e.Push(FZ_LOC);
    return e;
}

CFzError DBPathTranslator::convertOracleImageCopyBCDToSrcBCD(std::string& bcd) {
    static char const kTag[] = "CFzError DBPathTranslator::convertOracleImageCopyBCDToSrcBCD(std::string&)";
    auto const& content = OraDBInfo::m_pImageCopyContent;
    if (!content || content->fields().empty()) return CFzError::Success();
    g_ptrLogWriter->Write(3, kTag, 0, "ImageBCD=[%s]", bcd.c_str());
    size_t const slash = bcd.rfind('/');
    if (slash == std::string::npos)
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "BCD string in wrong format,expected file delimiter not found:%s",
                                       bcd.c_str());
    size_t const bar = bcd.find('|', slash + 1);
    std::string const head = bcd.substr(0, slash + 1);
    std::string leaf = bcd.substr(slash + 1, bar == std::string::npos ? std::string::npos : bar - slash - 1);
    std::string const tail = bar == std::string::npos ? std::string() : bcd.substr(bar);
    leaf = nuvcatalogue::ReplaceChar(leaf, '~', '/');
    std::string converted = OraDBInfo::convertImageCopyPathToDBFilePath(leaf);
    bcd = head + nuvcatalogue::ReplaceChar(converted, '/', '~') + tail;
    g_ptrLogWriter->Write(3, kTag, 0, "Converted to source BCD=[%s]", bcd.c_str());
    return CFzError::Success();
}

bool DBPathTranslator::shouldSkipFileIfNotFound(std::string& path) {
    if (!Db2(m_appType)) return false;
    (void)FXPath::RemoveTrailingDelimiter(path);
    // The name after the last '/', looked at where the path holds it.
    std::string_view base(path);
    if (size_t const slash = base.rfind('/'); slash != std::string_view::npos) base.remove_prefix(slash + 1);
    auto endsWith = [&](std::string_view suffix) {
        return base.size() >= suffix.size() && base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (!base.empty() && base[0] == 'S' && endsWith(".LOG")) return true;
    if (!endsWith(".db2FSLock")) return false;
    // The setting is read once per translation (and at every call outside one).
    if (m_excludeDb2FsLock < 0) {
        bool exclude = true;
        JZPlatformInfo settings;
        (void)settings.getBoolean("Nuvantry", "nDb2SnapExcludeFSLock", &exclude);
        if (!m_translating) return exclude;
        m_excludeDb2FsLock = exclude ? 1 : 0;
    }
    return m_excludeDb2FsLock == 1;
}

bool DBPathTranslator::checkIfLogEntity(unsigned long archiveFileId) {
    for (auto const& row : m_archFileList)
        if (static_cast<unsigned long>(row.archFileId) == archiveFileId && row.archFileType == 4) return true;
    return false;
}
