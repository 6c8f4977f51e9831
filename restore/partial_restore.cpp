// The partial road: archive file by archive file through the restore-files client.
#include "nuvdbsnap/restore/snap_restore.h"

#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <memory>

namespace {

char const kTag[] = "IdxRestore::partialRestore";
char const kDirTag[] = "IdxRestore::createDirectoryStructureIfNotExist";

ArchiveFileId_t KeyOf(ArchFileInfo const& af) {
    ArchiveFileId_t key;
    key.brannoxId = af.brannoxId;
    key.archGroupId = af.groupId;
    key.archFileId = af.archFileId;
    return key;
}

template <typename T>
jzsDatabuf BufferOf(T& record) {
    jzsDatabuf buf;
    buf.data = reinterpret_cast<char*>(&record);
    buf.length = sizeof(T);
    return buf;
}

}  // namespace

int NuvSnapRestore::partialRestore(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles,
                                   ErrorCallback callback, void* context) {
    return partialRestore(snapJobId, flag, archFiles, jzRstInitParams, callback, context);
}

int NuvSnapRestore::partialRestore(long long, bool, std::list<ArchFileInfo>& archFiles, JzRstInitParams&,
                                   ErrorCallback, void*) {
    uint64_t copyPrecedence = 0;
    {
        EvRstTask task(static_cast<long long>(jobId()), 0, nullptr, false);
        if (task.getArchGroupCopyPrecedence(copyPrecedence, nullptr) != 0) {
            EvDebug::Error(m_event, kTag, "Unable to get the copyPrecedence for jobId [%lld]",
                           static_cast<long long>(jobId()));
            copyPrecedence = 0;
        }
    }
    for (ArchFileInfo& af : archFiles) {
        if (m_jobCtrlClient != nullptr && m_jobCtrlClient->checkQuitFlag() != 0) {
            failed(kTag, "Quit Flag has been set.. exiting from restore");
            return 1;
        }
        ArchiveFileId_t const key = KeyOf(af);
        if (af.archFileKind == 0) {
            FSRPreOpenArchive pre;
            pre.preOpenType = FSR_PRE_OPEN_ARCHIVE_TYPE_SNAP;
            jzsDatabuf preBuf = BufferOf(pre);
            if (restoreFiles.sendMsgToClient(FSR_PRE_OPEN_ARCHIVE, &preBuf) == 0) {
                noteCause(restoreFiles.getErrorString());
                failed("restoreFiles.sendMsgToClient", "Failed while sending message FSR_PRE_OPEN_ARCHIVE_TYPE_SNAP");
                return -1;
            }
            if (restoreFiles.openArchiveFile(key, af.copyId) != 1) {
                noteCause(restoreFiles.getErrorString());
                failed("JzRestoreFiles::openArchiveFile", "Failed to open archive file  %d  copyId = %d ",
                       static_cast<int>(af.archFileId), af.copyId);
                return -2;
            }
            // One journal transaction for the file-by-file messages, not one a file.
            std::unique_ptr<nuvsuite::JournalBatch> batch(new nuvsuite::JournalBatch());
            for (DataFileInfo& df : af.dataFiles) {
                std::string const& target = df.destPath.empty() ? df.srcPath : df.destPath;
                // The copy makes missing directories as the snapshot holds them.
                if (!checkDirectoryStructure(target)) {
                    failed(kDirTag, "Failed to create directory for path %s", df.srcPath.c_str());
                    (void)restoreFiles.unmountSnapshots(key);
                    return -3;
                }
                FSRSnapSrcPath record;
                record.info16 = df.resultType;
                record.info24 = static_cast<int64_t>(df.pathType);
                record.info32 = static_cast<uint32_t>(static_cast<uint32_t>(df.sizeFactor1) *
                                                      static_cast<uint32_t>(df.sizeFactor2));
                record.srcPath = const_cast<char*>(df.srcPath.c_str());
                record.destPath = df.destPath.empty() ? nullptr : const_cast<char*>(df.destPath.c_str());
                jzsDatabuf buf = BufferOf(record);
                if (restoreFiles.sendMsgToClient(FSR_SNAP_SRC_PATH, &buf) == 0) {
                    noteCause(restoreFiles.getErrorString());
                    failed("JzRestoreFiles::sendMsgToClient", "Failed while sending message FSR_SNAP_SRC_PATH");
                    (void)restoreFiles.unmountSnapshots(key);
                    return -4;
                }
                if (m_logRestoredFiles) EvDebug::Debug(m_event, kTag, "Restore of source path <%s> is queued", df.srcPath.c_str());
            }
            batch.reset();
            int const waited = restoreFiles.waitForCompletion();
            std::string const waitError = waited != 1 ? restoreFiles.getErrorString() : "";
            if (waited != 1 && restoreFiles.isJobStopped() == 1)
                failed(kTag, "Restore Job has been suspended  by user");
            EvDebug::Debug(m_event, kTag, "Unmounting snap for archivefile Id [%u]", af.archFileId);
            {
                NuvSnapUtil util(0, JZBkpLevel(0), nullptr, 1, true, m_jobCtrlClient,
                                 const_cast<char*>(m_destClient.c_str()), SPAWN_IN_PROCESS);
                CFzError init = util.initialize();
                if (init.IsError()) EvDebug::Error(m_event, kTag, "Failed to load Blocklevel details [%s]", init.AsString().c_str());
                SMVolSnapInfo& record = util.getSnapShotInfo();
                record.reset(0);
                record.setArchFileId(static_cast<int>(af.archFileId));
                record.setBrannoxId(static_cast<int>(af.brannoxId));
                record.setCopyParam(static_cast<int>(copyPrecedence));
                record.setCopyParamType(2);
                record.setSnapActionFlags(2);
                record.setRetrieveValidFlags(0x3E);
                record.setJobId(static_cast<int>(jobId()));
                JZSnapClientAPI client;
                if (!client.getVolumeSnaps(record)) {
                    std::string text;
                    client.getErrCodeAndStr(text);
                    failed(kTag, "%s",
                           ("Failed to get SnapShot info for snapshot Archive [" + std::to_string(af.archFileId) +
                            "]: " + text)
                               .c_str());
                    (void)restoreFiles.unmountSnapshots(key);
                    return -6;
                }
            }
            // The mounts belong to the restore-files client, shared with the
            // other streams of the process: released by the archive file's key.
            if (restoreFiles.unmountSnapshots(key) != 0)
                EvDebug::Error(m_event, kTag, "Failed to unmount snapshot for archivefile [%u:%u], error=%s", af.brannoxId,
                               af.archFileId, restoreFiles.getErrorString());
            else
                EvDebug::Debug(m_event, kTag, "Unmount completed successfully");
            if (waited != 1) {
                noteCause(waitError);
                failed("JzRestoreFiles::waitForCompletion()", "Failed");
                return -5;
            }
        } else if (af.archFileKind == 1) {
            FSRPreOpenArchive pre;
            pre.preOpenType = FSR_PRE_OPEN_ARCHIVE_TYPE_NORMAL;
            jzsDatabuf preBuf = BufferOf(pre);
            if (restoreFiles.sendMsgToClient(FSR_PRE_OPEN_ARCHIVE, &preBuf) == 0) {
                noteCause(restoreFiles.getErrorString());
                failed("restoreFiles.sendMsgToClient()", "Failed while sending message FSR_PRE_OPEN_ARCHIVE_TYPE_NORMAL");
                return -6;
            }
            // One journal transaction for the file-by-file messages, not one a file.
            std::unique_ptr<nuvsuite::JournalBatch> batch(new nuvsuite::JournalBatch());
            for (DataFileInfo& df : af.dataFiles) {
                std::string const& target = df.destPath.empty() ? df.srcPath : df.destPath;
                if (!createDirectoryStructureIfNotExist(target)) {
                    failed(kDirTag, "Failed while creating the directory structure. Restoring destination Path <%s>  failed",
                           target.c_str());
                    return -7;
                }
                EvDebug::Debug(m_event, "IdxRestore::restoreData", "Restore of source path <%s>. aFile= %d offset=%lld copyId =%d .",
                               df.srcPath.c_str(), static_cast<int>(af.archFileId), static_cast<long long>(df.offset),
                               af.copyId);
                if (restoreFiles.restoreFile(key, df.offset, 0, 0, nullptr, nullptr, af.copyId) != 1) {
                    noteCause(restoreFiles.getErrorString());
                    failed("JzRestoreFiles::restoreFile()", "Restoring Source Path <%s> failed", df.srcPath.c_str());
                    return -8;
                }
                if (m_logRestoredFiles)
                    EvDebug::Debug(m_event, kTag, "Restore of source path <%s> is complete", df.srcPath.c_str());
            }
            int waited = restoreFiles.waitForCompletion();
            if (waited != 1) noteCause(restoreFiles.getErrorString());
            if (waited == 1 && restoreFiles.isJobStopped() == 1) {
                failed(kTag, "Restore Job has been suspended  by user");
                waited = 0;
            }
            if (waited != 1) {
                failed("JzRestoreFiles::waitForCompletion", " Failed");
                return -9;
            }
        }
    }
    EvDebug::Debug(m_event, kTag, "Restore of all files completed successfully");
    return 0;
}
