// The first half of a restore from the job's snapshot: the job's files from
// its index, the snapshot mounted, every file translated to its path there,
// found there and, when it is a regular file, read whole there.
#include "pg_snap_backup.h"

#include "nuvdbsnap/catalogue.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <fstream>
#include <sys/stat.h>

namespace {

constexpr char kTag[] = "PgSnapBackup::CheckSnapshotFiles";

// A file under the volume's source mount moves under the snapshot mount; a
// directory above the source mount (an indexed parent) stands for the mount.
std::string ToSnapshot(std::string const& bcd, std::string const& sourceMount, std::string const& snapMount) {
    std::string source = sourceMount;
    while (source.size() > 1 && source.back() == '/') source.pop_back();
    if (bcd == source) return snapMount;
    if (bcd.compare(0, source.size(), source) == 0 && bcd.size() > source.size() && bcd[source.size()] == '/')
        return snapMount + bcd.substr(source.size());
    if (source.compare(0, bcd.size(), bcd) == 0 && (bcd == "/" || source[bcd.size()] == '/')) return snapMount;
    return bcd;   // not on this volume: the translation refuses it
}

}  // namespace

int PgSnapBackup::CheckSnapshotFiles(SnapshotFileCheck& check) {
    check = SnapshotFileCheck();
    if (m_bkArgs == nullptr || getSnapUtil() == nullptr) return -1;
    DBPathTranslator translator;
    translator.m_brannoxId = m_bkArgs->brannoxId;
    translator.m_appId = static_cast<uint32_t>(m_bkArgs->appId);
    translator.m_appType = 125;
    translator.m_jobId = m_bkArgs->jobId;
    if (translator.getArchiveFileIdsFromIndexForAJob() != 0) {
        EvDebug::Error(&m_ev, kTag, "the job's files cannot be read from its index");
        return -1;
    }
    if (translator.m_fileEntities.empty()) {
        EvDebug::Error(&m_ev, kTag, "the job's index lists no files");
        return -1;
    }
    std::vector<unsigned int> archiveFiles;
    for (auto const& row : translator.m_archFileList) archiveFiles.push_back(static_cast<unsigned>(row.archFileId));
    SMVolSnapInfo mounted;
    CFzError e = getSnapUtil()->LoadAndMountVolumesForArchiveFiles(archiveFiles, m_bkArgs->brannoxId, mounted);
    if (e.IsError()) {
        EvDebug::Error(&m_ev, kTag, "the snapshot cannot be mounted: %s", e.AsString().c_str());
        return -1;
    }
    int result = 0;
    e = translator.translateSrcPathIntoMountPath(mounted, &ToSnapshot);
    if (e.IsError()) {
        EvDebug::Error(&m_ev, kTag, "the files cannot be translated: %s", e.AsString().c_str());
        result = -1;
    }
    for (auto const& file : translator.m_fileEntities) {
        if (result != 0) break;
        ++check.files;
        std::string const& copy = file.m_mountPointTranslatedPath;
        struct stat st;
        if (::stat(copy.c_str(), &st) != 0) {
            EvDebug::Error(&m_ev, kTag, "[%s] is not on the snapshot at [%s]", file.m_bcdString.c_str(), copy.c_str());
            ++check.missing;
            continue;
        }
        ++check.found;
        if (!S_ISREG(st.st_mode)) continue;
        // A regular file must give, read to its end, as many bytes as the snapshot says it holds.
        ++check.regular;
        uint64_t bytes = 0;
        std::ifstream in(copy, std::ios::binary);
        char buffer[65536];
        while (in) {
            in.read(buffer, sizeof buffer);
            bytes += static_cast<uint64_t>(in.gcount());
        }
        if (!in.eof() || bytes != static_cast<uint64_t>(st.st_size)) {
            EvDebug::Error(&m_ev, kTag, "[%s] cannot be read whole on the snapshot at [%s] (%llu of %lld bytes)",
                           file.m_bcdString.c_str(), copy.c_str(), static_cast<unsigned long long>(bytes),
                           static_cast<long long>(st.st_size));
            ++check.unreadable;
            continue;
        }
        check.bytes += bytes;
    }
    if (getSnapUtil()->UnmountSnapshots(mounted).IsError()) EvDebug::Error(&m_ev, kTag, "the snapshot stays mounted");
    if (check.missing != 0 || check.unreadable != 0) result = -1;
    return result;
}
