#include "nuvdbsnap/platform/snapmgr/volume_resolver.h"

#include "mountinfo.h"
#include "sm_paths.h"

#include "nuvdbsnap/platform/suite/catalogue.h"

namespace nuvsnapmgr {

CFzError ResolveVolume(std::string const& path, ResolvedVolume* out) {
    if (path.empty() || path[0] != '/')
        return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "volume path [%s] is not absolute", path.c_str());
    std::string real = RealPath(path);
    std::string p = real.empty() ? NormalisePath(path) : real;

    std::vector<nuvsuite::CatRow> rows;
    CFzError e = nuvsuite::Catalogue::Instance().Query(
        "SELECT path, device, fstype, options FROM sm_volumes", {}, &rows);
    if (e.IsError()) return e.Push(FZ_LOC, "cannot read the declared volumes");
    size_t bestLen = 0;
    bool found = false;
    for (auto const& row : rows) {
        std::string declared = NormalisePath(nuvsuite::AsText(row[0]));
        std::string declaredReal = RealPath(declared);
        if (!declaredReal.empty()) declared = declaredReal;
        if (!PathHolds(declared, p) || (found && declared.size() <= bestLen)) continue;
        found = true;
        bestLen = declared.size();
        out->mountPoint = declared;
        out->device = nuvsuite::AsText(row[1]);
        out->fsType = nuvsuite::AsText(row[2]);
        out->options = nuvsuite::AsText(row[3]);
        out->declared = true;
    }
    if (found) return CFzError::Success();

    MountEntry m;
    if (!FindMountForPath(ParseMountInfo(ReadSelfMountInfo()), p, &m))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "no mount holds [%s]", p.c_str());
    out->mountPoint = NormalisePath(m.mountPoint);
    out->device = m.source;
    out->fsType = m.fsType;
    out->options = m.options;
    out->declared = false;
    return CFzError::Success();
}

}  // namespace nuvsnapmgr
