// Optional files of a job under the second index generation: Oracle's
// block-level files packed one by one into 7z archives and registered in the
// job-info store with the number of data streams and the volume list; every
// other application takes none.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "content_run.h"
#include "ora_volumes.h"
#include "nuvdbsnap/foundation/app_types.h"
#include "nuvdbsnap/platform/appmgr/application.h"
#include "nuvdbsnap/platform/appmgr/subclient.h"
#include "nuvdbsnap/platform/base/c7zip.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/indexing/jobinfo.h"

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::sendOptionalFilesForIdxV2";

// The key of the store under which a file of the list goes; null for a file passed over.
char const* KeyOf(std::string const& path) {
    if (path.find("BlockDeviceConfig.jzf") != std::string::npos) return "BlockLevelCatalog";
    if (path.find("OraVolumeType.jzf") != std::string::npos) return "BlockLevelCatalog";
    if (path.find(".bmp") != std::string::npos) return "BlockLevelBitmaps";
    return nullptr;
}

}  // namespace

int NuvSnapUtilDb::sendOptionalFilesForIdxV2(char const* indexHost, std::vector<std::string>& files,
                                             unsigned brannoxId, unsigned appId, unsigned appType, long long jobId,
                                             int archFileId, std::string jobToken, EvEvent* ev) {
    uint64_t const logJob = ev != nullptr ? ev->getJobId() : 0;
    if (!IsOracle(appType)) {
        if (files.empty()) return 0;
        g_ptrLogWriter->Write(-1, kTag, logJob, "Optional files not supported for this app type [%d]",
                              static_cast<int>(appType));
        for (std::string const& file : files) g_ptrLogWriter->Write(-1, kTag, logJob, "Ignored:[%s]", file.c_str());
        return -1;
    }
    std::string const host = indexHost != nullptr ? indexHost : "";
    CJobInfoMetadataStoreFactory factory(host, jobToken, static_cast<uint64_t>(jobId), brannoxId, appId);
    boost::shared_ptr<CJobInfoMetadataStore> store = factory.GetInstance(2);
    if (!store) {
        g_ptrLogWriter->Write(-1, kTag, logJob, "Could not allocate memory for JobInfoMetadataStore");
        return -1;
    }
    JZPI_Base base;
    char const* home = base.getHomeDirectory();
    C7zip archiver(home != nullptr ? home : "", 2);
    (void)archiver.Initialize();

    ApplicationId application(brannoxId, appId);
    Subclient* subclient = NuvSubclientOf(application, brannoxId, appId, ev, kTag);
    if (subclient == nullptr) return -1;
    unsigned long blockLevel = 0;
    if (subclient->getUseBlockLevelBackup(blockLevel, nullptr) == 0 && blockLevel != 0) {
        unsigned long metadata = 0;
        (void)subclient->getEnableMetadataBackup(metadata, nullptr);
        store->setFlags(metadata != 0 ? 0x20 : 0x40);
    }
    int streams = 0;
    auto* backpack = dynamic_cast<OracleBackpack*>(application.getSubclient(nullptr));
    if (backpack == nullptr || backpack->getDataBackupStreams(streams, nullptr) != 0 || streams <= 0) streams = 1;

    bool stored = false;
    for (std::string const& file : files) {
        char const* key = KeyOf(file);
        if (key == nullptr) continue;
        std::string parent, name;
        CFzError e = FXPath::SplitParentPath(file, parent, name);
        if (e.IsError()) {
            EvDebug::Debug(ev, kTag, "cannot split path [%s]:%s", file.c_str(), e.AsString().c_str());
            return -1;
        }
        std::string const archive = parent + "/" + name + ".7z";
        if (FXPath::DoesPathExist(archive)) {
            EvDebug::Debug(ev, kTag, "deleting stale compressed file:%s", archive.c_str());
            (void)unlink_utf(archive.c_str());
        }
        e = archiver.AddFilesToArchive(archive, {file}, {});
        if (e.IsError()) {
            EvDebug::Error(ev, kTag, "Failed to compress file [%s] to target [%s], error:%s", file.c_str(),
                           archive.c_str(), e.AsString().c_str());
            return -1;
        }
        e = store->addFile(key, archive);
        if (e.IsError()) {
            EvDebug::Debug(ev, kTag, "Failed to add file [%s] to RFC/indexStore:%s", archive.c_str(),
                           e.AsString().c_str());
            (void)unlink_utf(archive.c_str());
            return -1;
        }
        stored = true;
    }
    (void)store->setKeyValue(std::string(), "numberOfStreams", streams);

    char directory[1024];
    int const r = GetSubclientDir(brannoxId, appId, directory);
    if (r != 0) {
        EvDebug::Debug(ev, kTag, "Failed to get JobResultsDir, GetSubclientDir(%d,%d) returned with error %d",
                       static_cast<int>(brannoxId), static_cast<int>(appId), r);
        return -1;
    }
    std::vector<std::string> volumes;
    if (NuvReadOraVolumes(directory, ev, kTag, &volumes) != 0) return -1;
    std::string volumeText;
    for (std::string const& volume : volumes) volumeText += volume + ":";
    EvDebug::Debug(ev, kTag, "volumes:[%s]", volumeText.c_str());
    (void)store->setKeyValue(std::string(), "volumes", volumeText);

    if (stored) {
        EvDebug::Debug(ev, kTag, "Calling backupData(%s,%s,%d)", host.c_str(), jobToken.c_str(), archFileId);
        CFzError e = store->backupData(host, jobToken, archFileId);
        if (e.IsError()) {
            EvDebug::Debug(ev, kTag, "Failed to save jobInfo data:%s", e.AsString().c_str());
            return -1;
        }
        EvDebug::Debug(ev, kTag, "optional files sent to RFC");
    }
    return 0;
}
