#include "nuvdbsnap/platform/snapmgr/prepared_record.h"

#include "sm_call.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_groups.h"
#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/path_text.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>

namespace nuvsnapmgr {
namespace {

// The prepare that gave `volumeId`: its job and source path; *found false when none did.
CFzError PreparedVolume(int64_t volumeId, int64_t* jobId, std::string* sourcePath, bool* found) {
    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT job_id, source_path FROM sm_volume_ids WHERE id = ?",
                                                       {volumeId}, &rows);
    *found = !e.IsError() && !rows.empty();
    if (*found) {
        *jobId = nuvsuite::AsInt(rows[0][0]);
        *sourcePath = nuvsuite::AsText(rows[0][1]);
    }
    return e;
}

}  // namespace

CFzError CheckPreparedRecord(SMVolSnapInfo const& record, int64_t jobId) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("snapmgr", "nuvsnapmgr::CheckPreparedRecord", RecordArgs(record), &fault))
        return FXErrorUtil::ErrorJZResult(FZ_LOC, fault.code, "%s", fault.text.c_str());
    if (record.getJobId() != jobId)
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "the record belongs to job %d, not to job %lld",
                                       record.getJobId(), static_cast<long long>(jobId));
    for (auto const& v : record.volumes()) {
        std::string const& source = v.getSourcePath();
        if (v.getJobId() != 0 && v.getJobId() != jobId)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "volume [%s] belongs to job %d, not to job %lld",
                                           source.c_str(), v.getJobId(), static_cast<long long>(jobId));
        int64_t preparedJob = 0;
        std::string preparedPath;
        bool found = false;
        CFzError e = PreparedVolume(v.getSMVolumeId(), &preparedJob, &preparedPath, &found);
        if (e.IsError()) return e.Push(FZ_LOC, "cannot read the prepared volumes");
        if (!found)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "volume [%s] (id %d) was never prepared", source.c_str(),
                                           v.getSMVolumeId());
        if (preparedJob != jobId)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "volume [%s] was prepared for job %lld, not for job %lld",
                                           source.c_str(), static_cast<long long>(preparedJob),
                                           static_cast<long long>(jobId));
        if (preparedPath != source)
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "volume id %d was prepared for [%s], not for [%s]",
                                           v.getSMVolumeId(), preparedPath.c_str(), source.c_str());
        if (IsAsmGroupPath(source)) {
            // A disk group's volume: its group must still be one with disks.
            std::vector<SMVolumeInfo> disks;
            int code = 0;
            std::string text;
            if (!AsmDiskVolumes(v, &disks, &code, &text))
                return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "%s", text.c_str());
            continue;
        }
        ResolvedVolume resolved;
        e = ResolveVolume(source, &resolved);
        if (e.IsError()) return e.Push(FZ_LOC, "cannot resolve volume [%s]", source.c_str());
        if (resolved.mountPoint != nuvsuite::NormalisePath(source))
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EPERM, "[%s] is not a volume: it lies in volume [%s]",
                                           source.c_str(), resolved.mountPoint.c_str());
    }
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
