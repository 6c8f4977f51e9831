// Sybase: the databases of a backed-up device catalogued on the central server.
#include "nuvdbsnap/catalogue/db_path_translator.h"

#include "nuvdbsnap/platform/appmgr/nuv_backup.h"

#include <ctime>

int DBPathTranslator::UpdateSybaseCatalog(unsigned long archiveFileId, std::string devicePath) {
    static char const kTag[] = "int DBPathTranslator::UpdateSybaseCatalog(unsigned long, std::string)";
    if (m_devicePathDBMap.empty() && getArchiveFileIdsFromIndexForAJob() != 0) {
        g_ptrLogWriter->Write(0, kTag, 0, "getArchiveFileIdsFromIndexForAJob failed");
        return 1;
    }
    auto device = m_devicePathDBMap.find(devicePath);
    if (device == m_devicePathDBMap.end()) {
        g_ptrLogWriter->Write(0, kTag, 0, "Unable to find entry for [%s] in map", devicePath.c_str());
        return 1;
    }
    for (DBProperty const& db : device->second) {
        Nuv::NuvBackupInfo info;
        info.setXmlWriteFlag(true);
        CNMessageBase* entry = info.getObjectAccessor(1, 1, true, 22, 204);
        entry->setstring(1, 1, db.m_dbName);
        entry->setint64(8, 11, static_cast<int64_t>(db.m_dbId));
        entry->setint64(7, 10, db.m_jobId);
        entry->setint64(4, 7, static_cast<int32_t>(db.m_brannoxId));
        entry->setint64(5, 8, static_cast<int32_t>(db.m_appId));
        entry->setint64(6, 9, static_cast<int32_t>(db.m_instanceId));
        entry->setint64(9, 12, 0);
        entry->setint64(10, 13, static_cast<int64_t>(time(nullptr)));
        entry->setint64(11, 14, static_cast<int64_t>(static_cast<uint32_t>(db.m_clientId)));
        std::vector<Nuv::SybaseStream>* streams = entry->getlistobject<Nuv::SybaseStream>(2, 5, true);
        streams->emplace_back();
        streams->back().setint64(2, 2, static_cast<int64_t>(archiveFileId));
        streams->back().setint64(3, 3, 1);
        g_ptrLogWriter->Write(0, kTag, 0, "DB [%s], DBID [%u], JOBID[%lld], UV[%lu], App[%lu], Inst[%lu], Client[%lu], Arch[%lu]",
                              db.m_dbName.c_str(), static_cast<unsigned>(db.m_dbId), static_cast<long long>(db.m_jobId),
                              static_cast<unsigned long>(db.m_brannoxId), static_cast<unsigned long>(db.m_appId),
                              static_cast<unsigned long>(db.m_instanceId), static_cast<unsigned long>(db.m_clientId),
                              archiveFileId);
        std::string xml;
        int rc = info.serialize(xml, false);
        if (rc != 0) {
            g_ptrLogWriter->Write(0, kTag, 0, "Failed to serialize XML retCode = [%d]", rc);
            return 1;
        }
        g_ptrLogWriter->Write(0, kTag, 0, "Serialized XML string = [%s]", xml.c_str());
        NuvBackup client;
        rc = client.setSybaseCatalogEntries(static_cast<unsigned long>(db.m_brannoxId), xml, nullptr);
        if (rc != 0) {
            g_ptrLogWriter->Write(0, kTag, 0, "Failed to catalog the backup error = [%d]", rc);
            return 1;
        }
    }
    return 0;
}
