// The browsable paths sent to the index for the running job, and the Oracle
// image-copy content: read from the snap job's job information, and its tag
// carried forward to a backup copy.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "translator_internal.h"
#include "nuvdbsnap/catalogue/ora_db_info.h"
#include "nuvdbsnap/index/idx_util.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/indexing/jobinfo.h"

#include <boost/make_shared.hpp>
#include <unistd.h>

namespace {

char const kUpdateTag[] = "int DBPathTranslator::updateBrowsableIndex(JZJobCtrlClient*, JZBkpLevel&, const std::string&, const int&)";
char const kQueryTag[] = "CFzError DBPathTranslator::queryOracleImageCopyContent()";
char const kCarryTag[] = "static CFzError DBPathTranslator::carryForwardOracleImageCopyTag(int, int, JZJobID, JZJobID, std::string, JZBkpLevel, std::string)";
char const kContainer[] = "OracleImageCopy";
char const kContainer2[] = "OraImageCopyInfo/OracleImageCopy";
char const kTagKey[] = "RmanImageCopyTag";
char const kContentKey[] = "OraDatabaseContent";

bool Missing(CFzError const& e) { return FXErrorUtil::IsWin32(e, 2) || FXErrorUtil::IsWin32(e, 1168); }

// The tag from the first container that has it: 0 with the tag, or the
// missing-tag error of the second container, or another error.
CFzError ReadTag(CJobInfoMetadataReaderManager& reader, std::string* tag, std::string* container, DWORD* selector,
                 char const* logTag, bool verbose) {
    *container = kContainer;
    *selector = 2;
    if (verbose) g_ptrLogWriter->Write(0, logTag, 0, "Query Container : %s for key %s", kContainer, kTagKey);
    CFzError e = reader.GetValueForKey<std::string>(*container, kTagKey, *tag, *selector);
    if (!e.IsError()) return e;
    *container = kContainer2;
    *selector = 1;
    if (verbose) g_ptrLogWriter->Write(0, logTag, 0, "Query 2  Container : %s for key %s", kContainer2, kTagKey);
    return reader.GetValueForKey<std::string>(*container, kTagKey, *tag, *selector);
}

}  // namespace

int DBPathTranslator::updateBrowsableIndex(JZJobCtrlClient* client, JZBkpLevel& level, std::string const& text) {
    int const appType = 0;
    return updateBrowsableIndex(client, level, text, appType);
}

int DBPathTranslator::updateBrowsableIndex(JZJobCtrlClient* client, JZBkpLevel& level, std::string const& text,
                                           int const& appType) {
    static int32_t const kLinkEncodeType = 0x4B0A9800;
    bool const debug = ::access("/tmp/JZ_DBPathTranslator.debug", F_OK) == 0;
    EvEvent event;
    JZJobID runningJob = static_cast<JZJobID>(event.getJobId());
    bool useV2 = false;
    if (shouldUseIndexingV2(m_brannoxId, static_cast<int>(m_appId), useV2) != 0) {
        g_ptrLogWriter->Write(0, kUpdateTag, 0, "Error figuring out indexing Version");
        return -1;
    }
    int32_t& metaDataType = nuvcatalogue::MetaDataType();
    switch (m_appType) {
    case 5:
    case 125: if (metaDataType == 0) metaDataType = 0x2693795B; break;
    case 22:
    case 80: {
        if (metaDataType == 0) metaDataType = 0x2693795B;
        if (!useV2) break;
        CFzError e = carryForwardOracleImageCopyTag(static_cast<int>(m_appId), static_cast<int>(m_brannoxId), m_jobId,
                                                    runningJob, m_indexSarnelName, level, text);
        if (e.IsError()) {
            g_ptrLogWriter->Write(-1, kUpdateTag, 0, "CarryForward of Image Copy Tag to Backup Copy failed:%s",
                                  e.AsString().c_str());
            return -1;
        }
        break;
    }
    case 61: if (metaDataType == 0) metaDataType = 0x4B0A9800; break;
    case 104: if (metaDataType == 0) metaDataType = 0x2DF08A7C; break;
    default: break;
    }
    std::vector<browseablePath_t>& pathList = nuvcatalogue::PathList();
    if (pathList.empty()) return 0;

    std::vector<browseablePath_t> links;
    if (m_appType == 104) {
        std::vector<browseablePath_t> kept;
        for (browseablePath_t& entry : pathList) {
            if (entry.phonyPath.compare(0, 14, "/+SYMLINK2DIR+") == 0) {
                g_ptrLogWriter->Write(2, kUpdateTag, 0, "This path is metadata with SYMLINK2DIR prefix, ignoring..");
                links.push_back(std::move(entry));
            } else {
                kept.push_back(std::move(entry));
            }
        }
        pathList.swap(kept);
    }
    IdxUtil index(&event, m_verbose, client, nullptr);
    if (metaDataType != 0) {
        g_ptrLogWriter->Write(0, kUpdateTag, 0, "Setting metadata type to %d", metaDataType);
        index.InitEncodeType(metaDataType);
    }
    static uint32_t const kResetTypes[] = {22, 80, 125, 104, 135, 37, 62, 61, 128, 103, 5, 3};
    bool reset = false;
    if (useV2)
        for (uint32_t t : kResetTypes) reset = reset || t == m_appType;
    char const* host = m_indexSarnelName.c_str();
    unsigned const brannoxId = m_brannoxId, appId = m_appId;
    int rc = 0;
    if (reset) {
        g_ptrLogWriter->Write(0, kUpdateTag, 0, "resetting aFileIds for backup copy");
        for (browseablePath_t& entry : pathList) entry.afile = ArchiveFileId_t{2, 0, 1};
        unsigned const type = m_appType;
        // MySQL's links are not sent here: a list of links alone sends nothing.
        if (!pathList.empty())
            rc = index.addBrowseAblePath(pathList, level, host, brannoxId, appId, type, runningJob, &event, debug, 0,
                                         text.c_str());
    } else {
        unsigned type = static_cast<unsigned>(appType);
        if (type == 0) type = static_cast<unsigned>(GetAppType(m_brannoxId, m_appId));
        // A list of link entries alone has no main send.
        if (!pathList.empty())
            rc = index.addBrowseAblePath(pathList, level, host, brannoxId, appId, type, runningJob, &event, debug, 0,
                                         text.c_str());
        if (rc == 0 && m_appType == 104 && !links.empty()) {
            index.InitEncodeType(kLinkEncodeType);
            int const linkRc = index.addBrowseAblePath(links, level, host, brannoxId, appId, type, runningJob, &event,
                                                       debug, 0, text.c_str());
            if (linkRc != 0) {
                g_ptrLogWriter->Write(-1, kUpdateTag, 0, "Failed to update Index for Browsable path return = [%d]", linkRc);
                return -1;
            }
        }
    }
    if (rc != 0) {
        g_ptrLogWriter->Write(-1, kUpdateTag, 0, "Failed to update Index for Browsable path return = [%d]", rc);
        return -1;
    }
    return 0;
}

CFzError DBPathTranslator::queryOracleImageCopyContent() {
    EvEvent event;
    CJobInfoMetadataReaderManager reader(m_indexSarnelName, static_cast<uint32_t>(event.getJobId()),
                                         static_cast<uint32_t>(m_jobId), m_brannoxId, m_appId, 0, 0);
    reader.setSeparator('/');
    std::string tag, container;
    DWORD selector = 2;
    CFzError e = ReadTag(reader, &tag, &container, &selector, kQueryTag, true);
    if (e.IsError()) {
        if (Missing(e)) {
            g_ptrLogWriter->Write(0, kQueryTag, 0,
                                  "Tag not found in index, is this backing up snap job before image copy configuration?");
            return CFzError::Success();
        }
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Oracle Image Copy index container %s not found. Fatal error:%s",
                                       container.c_str(), e.AsString().c_str());
    }
    g_ptrLogWriter->Write(0, kQueryTag, 0, "Got Value for the key %s from INDEX Container %s", kTagKey, container.c_str());
    g_ptrLogWriter->Write(0, kQueryTag, 0, "Querying Image Copy DbContent");
    std::string xml;
    e = reader.GetValueForKey<std::string>(container, kContentKey, xml, selector);
    if (e.IsError())
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "ImageCopy DbContent download from Index failedFatal error :%s",
                                       e.AsString().c_str());
    g_ptrLogWriter->Write(0, kQueryTag, 0, "Received ImageCopy DB Content = [%s]", xml.c_str());
    OraDBInfo::m_pImageCopyContent = boost::make_shared<Nuv::OraDatabaseContent>();
    if (OraDBInfo::m_pImageCopyContent->unserialize(xml) != 0)
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627,
                                       "ImageCopy DbContent XML serialize failed. Cannot translate file paths for backup copy.");
    return CFzError::Success();
}

CFzError DBPathTranslator::carryForwardOracleImageCopyTag(int appId, int brannoxId, JZJobID snapJobId, JZJobID tapeJobId,
                                                          std::string indexSarnelName, JZBkpLevel, std::string text) {
    g_ptrLogWriter->Write(3, kCarryTag, 0, "tapeJobId=%lld SnapJobId=%lld appId=%d", static_cast<long long>(tapeJobId),
                          static_cast<long long>(snapJobId), appId);
    CJobInfoMetadataReaderManager reader(indexSarnelName, static_cast<uint32_t>(tapeJobId),
                                         static_cast<uint32_t>(snapJobId), static_cast<unsigned>(brannoxId),
                                         static_cast<unsigned>(appId), 0, 0);
    reader.setSeparator('/');
    std::string tag, container;
    DWORD selector = 2;
    CFzError e = ReadTag(reader, &tag, &container, &selector, kCarryTag, false);
    if (e.IsError()) {
        if (!Missing(e))
            return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "Oracle Image Copy index container %s not found. Fatal error:%s",
                                           container.c_str(), e.AsString().c_str());
        g_ptrLogWriter->Write(0, kCarryTag, 0,
                              "Tag not found in index, is this backing up snap job before image copy configuration?");
        tag.clear();
    } else {
        g_ptrLogWriter->Write(0, kCarryTag, 0, "Tag found [%s] in container[%s]", tag.c_str(), container.c_str());
    }
    if (tag.empty()) return CFzError::Success();

    GetArchFileListForJobArgsCC_t request;
    request.brannoxId = brannoxId;
    request.jobId = tapeJobId;
    request.archFileTypes = {1};
    std::vector<GetArchFileListForJobRetCC_t> rows;
    ArMgrClientAPI archive;
    int rc = archive.getArchFileListForJob(&request, &rows);
    if (rc != 0 || rows.empty())
        return FXErrorUtil::ErrorWin32(FZ_LOC, 1627, "getArchFileListForJob(jobId=%lld) failed, retCode = %d , outVector size=[%d]",
                                       static_cast<long long>(tapeJobId), rc, static_cast<int>(rows.size()));
    GetAfileInfoArgsCC_t infoArgs;
    infoArgs.archFileId = rows.front().archFileId;
    infoArgs.brannoxId = brannoxId;
    GetAfileInfoRetCC_t info;
    if (archive.getAfileInfo(&infoArgs, &info) != 0)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, 1627, "getAfileInfo failed for archiveId: %lu",
                                       static_cast<unsigned long>(rows.front().archFileId));
    CJobInfoMetadataStoreFactory factory(indexSarnelName, text, static_cast<uint32_t>(tapeJobId),
                                         static_cast<uint64_t>(brannoxId), static_cast<uint64_t>(appId));
    boost::shared_ptr<CJobInfoMetadataStore> store = factory.GetInstance(2);
    if (!store) {
        g_ptrLogWriter->Write(-1, kCarryTag, 0, "Could not allocate memory for JobInfoMetadataStore");
        return FXErrorUtil::ErrorErrNo(FZ_LOC, 1627, "Could not allocate memory for JobInfoMetadataStore");
    }
    // The write of the tag is checked: an upload without it would carry nothing.
    e = store->setKeyValue(kContainer, kTagKey, tag);
    if (e.IsError()) return e.Push(FZ_LOC, "Failed to write Oracle ImageCopy tag to JOBINFO");
    e = store->backupData(indexSarnelName, text, rows.front().archFileId);
    if (e.IsError()) return e.Push(FZ_LOC, "Failed to upload Oracle ImageCopy JOBINFO to RFC IndexCache");
    return CFzError::Success();
}
