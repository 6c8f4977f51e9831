// Symbolic links and copied files in the content index: phony entries under
// "/+SYMLINK2DIR+", "/+SYMLINK2FILE+" and "/+COPYFILE2DIR+", each with the
// other end attached as a metadata value.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "content_run.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::createIndex";
constexpr char kLinkToDir[] = "/+SYMLINK2DIR+";
constexpr char kLinkToFile[] = "/+SYMLINK2FILE+";
constexpr char kCopyToDir[] = "/+COPYFILE2DIR+";

// A marker or entry record: the name array's size as the name length, size 0.
bool MarkerHeader(JzFileHeader& header, std::string const& name, bool directory, int64_t time) {
    if (!NuvMakeHeader(header, name, directory, 0, time)) return false;
    header.nameLength = static_cast<uint32_t>(JzFileHeader::kNameSize);
    return true;
}

// The attached path's record: word 6 stays 0 (only the index client fills
// it), word 7 holds the value's length with its NUL.
IndexMetaDataStruct AttachedPath(std::string const& path) {
    IndexMetaDataStruct record;
    record.magic = IndexMetaDataStruct::kMagic;
    record.version = 1;
    record.metadataType = kIdxMetaOracleSap;
    record.dataLength = static_cast<uint32_t>(path.size() + 1);
    return record;
}

}  // namespace

int NuvSnapUtilDb::sendMarkedEntry(NuvContentRun& run, std::string const& marker, std::string const& path,
                                   std::string const& attached, int& offset) {
    EvEvent* ev = run.ev;
    std::string const name = marker + path;
    JzFileHeader header;
    if (!MarkerHeader(header, name, false, run.startTime)) {
        EvDebug::Error(ev, kTag, "index name [%s] does not fit the file header", name.c_str());
        run.Fail();
        return -1;
    }
    IndexMetaDataStruct record = AttachedPath(attached);
    if (run.connection->sendMetaDataInfo(record, const_cast<char*>(attached.c_str())) != 0) {
        run.Fail();
        EvDebug::Error(ev, kTag, "sendMetaDataInfo failed for file %s ", name.c_str());
        return -1;
    }
    if (run.useIndexingV2 && IdxUtil::sendIndexGUID(name, run.connection) != 0) {
        run.Fail();
        EvDebug::Debug(ev, kTag, "sendGUIDMetadata failed for [%s]", name.c_str());
        return -1;
    }
    EvDebug::Debug(ev, kTag, "sendFileInfo for file=<%s>  offset=%d meta=<%s>", name.c_str(), offset, attached.c_str());
    if (run.connection->sendFileInfo(&header, static_cast<unsigned long long>(offset), nullptr, 0) != 0) {
        run.Fail();
        EvDebug::Error(ev, kTag, "sendFileInfo failed for file %s ", name.c_str());
        return -1;
    }
    ++offset;
    return 0;
}

int NuvSnapUtilDb::sendMarker(NuvContentRun& run, std::string const& marker, int& offset, char const* offsetLog,
                              char const* afileFailure) {
    EvEvent* ev = run.ev;
    JzFileHeader header;
    if (!MarkerHeader(header, marker, true, run.startTime)) {
        run.Fail();
        return -1;
    }
    if (!run.useIndexingV2) {
        EvDebug::Debug(ev, kTag, "Archive File Id is %u", 1u);
        ArchiveFileId_t placeholder;
        placeholder.brannoxId = 2;
        placeholder.archGroupId = 0;
        placeholder.archFileId = 1;
        if (run.connection->sendAfileInfo(&placeholder, false) != 0) {
            EvDebug::Debug(ev, kTag, "%s", afileFailure);
            run.Fail();
            return -1;
        }
    }
    EvDebug::Debug(ev, kTag, offsetLog, marker.c_str(), offset);
    ++offset;  // the marker and the first entry after it carry the same number
    if (run.useIndexingV2 && IdxUtil::sendIndexGUID(marker, run.connection) != 0) {
        run.Fail();
        EvDebug::Debug(ev, kTag, "sendGUIDMetadata failed for [%s]", marker.c_str());
        return -1;
    }
    if (run.connection->sendFileInfo(&header, static_cast<unsigned long long>(offset), nullptr, 0) != 0) {
        run.Fail();
        EvDebug::Error(ev, kTag, "sendFileInfo failed for file %s ", marker.c_str());
        return -1;
    }
    return 0;
}

int NuvSnapUtilDb::indexLinksAndCopies(NuvContentRun& run) {
    EvEvent* ev = run.ev;
    std::vector<std::string> const& links = getSymbolicLinks();
    int linkOffset = 1;
    bool dirMarkerSent = false;
    bool fileMarkerSent = false;
    for (size_t i = 0; i + 1 < links.size(); i += 2) {
        std::string const& link = links[i];
        std::string const& target = links[i + 1];
        bool isDirectory = false;
        CFzError error = CFzPath::IsDirectory(target.c_str(), isDirectory);
        if (error.IsError()) {
            raiseFileCause(target, error.AsString());
            EvDebug::Debug(ev, kTag, "Not able to stat the path=<%s>", target.c_str());
            run.Fail();
            return -1;
        }
        if (isDirectory)
            EvDebug::Debug(ev, kTag, "updateIndex: SymbolicLink2Dir <%s->%s>", link.c_str(), target.c_str());
        else
            EvDebug::Debug(ev, kTag, "updateIndex: SymbolicLink2File <%s->%s>", link.c_str(), target.c_str());
        std::string const marker = isDirectory ? kLinkToDir : kLinkToFile;
        bool& sent = isDirectory ? dirMarkerSent : fileMarkerSent;
        if (!sent) {
            if (sendMarker(run, marker, linkOffset, "sendFileInfo for dir=<%s>  offset=%d", "sendFileInfo failed ") != 0) return -1;
            sent = true;
        }
        if (sendMarkedEntry(run, marker, link, target, linkOffset) != 0) return -1;
    }

    if (run.appType != kAppTypeOracleSap) return 0;
    int copyOffset = 1;
    bool firstCopy = true;
    for (auto const& entry : m_copyFilesToDirMap) {
        if (firstCopy) {
            EvDebug::Debug(ev, kTag, "updateIndex: CopyFile2Dir <%s->%s>", entry.first.c_str(), entry.second.c_str());
            if (sendMarker(run, kCopyToDir, copyOffset, "sendAFileInfo for <%s>  offset=%d", "sendAFileInfo failed ") != 0) return -1;
            firstCopy = false;
        }
        if (sendMarkedEntry(run, kCopyToDir, entry.first, entry.second, copyOffset) != 0) return -1;
    }
    return 0;
}
