// What paths were in a snap job's point-in-time copy, for the symbolic-link
// service's layout of a file restored to its place. The copy is read through
// this service's own calls: its snapshots are found, mounted where no mount of
// them stands (and unmounted again afterwards), and the paths looked at
// without following their links.
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The volume of `volumes` whose source path holds `path` at a component boundary (the longest); -1 for none.
int VolumeOf(SMVolSnapInfo::VolumeList const& volumes, std::string const& path) {
    int best = -1;
    size_t bestSize = 0;
    for (size_t i = 0; i < volumes.size(); ++i) {
        std::string const src = WithoutTrailingSlashes(volumes[i].getSourcePath());
        bool const holds = src == "/" ? !path.empty()
                                      : path.compare(0, src.size(), src) == 0 &&
                                            (path.size() == src.size() || path[src.size()] == '/');
        if (holds && (best < 0 || src.size() > bestSize)) {
            best = static_cast<int>(i);
            bestSize = src.size();
        }
    }
    return best;
}

NuvSnapPathInfo Look(std::string const& inCopy) {
    NuvSnapPathInfo info;
    struct stat st;
    if (lstat(inCopy.c_str(), &st) != 0) {
        info.kind = errno == ENOENT || errno == ENOTDIR ? NuvSnapPathInfo::kMissing : NuvSnapPathInfo::kOther;
        return info;
    }
    info.mode = st.st_mode & 07777;
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    if (S_ISDIR(st.st_mode)) {
        info.kind = NuvSnapPathInfo::kDirectory;
    } else if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = readlink(inCopy.c_str(), &target[0], target.size());
        if (n < 0) {
            info.kind = NuvSnapPathInfo::kOther;
            return info;
        }
        target.resize(static_cast<size_t>(n));
        info.kind = NuvSnapPathInfo::kLink;
        info.target = target;
    } else {
        info.kind = NuvSnapPathInfo::kOther;
    }
    return info;
}

bool LookUpInSnapJob(long long snapJobId, int brannoxId, std::vector<std::string> const& paths,
                     std::vector<NuvSnapPathInfo>* out, std::string* error) {
    out->assign(paths.size(), NuvSnapPathInfo());
    SMVolSnapInfo record;
    record.setSnapJobId(static_cast<int>(snapJobId));
    record.setBrannoxId(brannoxId);
    JZSnapClientAPI client;
    if (!client.getVolumeSnaps(record)) {
        client.getErrCodeAndStr(*error);
        return false;
    }
    SMVolSnapInfo::VolumeList const& volumes = record.volumes();
    std::vector<int> volumeOf(paths.size());
    std::vector<bool> wanted(volumes.size(), false);
    for (size_t i = 0; i < paths.size(); ++i) {
        volumeOf[i] = VolumeOf(volumes, paths[i]);
        if (volumeOf[i] >= 0) wanted[static_cast<size_t>(volumeOf[i])] = true;
    }
    // Volumes that no mount shows yet are mounted for the look and only they are unmounted again.
    SMVolSnapInfo toMount = record;
    toMount.volumes().clear();
    for (size_t v = 0; v < volumes.size(); ++v)
        if (wanted[v] && volumes[v].getMountPath().empty()) toMount.volumes().push_back(volumes[v]);
    std::vector<std::string> mountOf(volumes.size());
    for (size_t v = 0; v < volumes.size(); ++v) mountOf[v] = volumes[v].getMountPath();
    if (!toMount.volumes().empty()) {
        if (!client.mountVolumes(toMount)) {
            client.getErrCodeAndStr(*error);
            return false;
        }
        for (auto const& m : toMount.volumes())
            for (size_t v = 0; v < volumes.size(); ++v)
                if (volumes[v].getSMSnapId() == m.getSMSnapId() && mountOf[v].empty()) mountOf[v] = m.getMountPath();
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        if (volumeOf[i] < 0) continue;  // kUnknown: no volume of the job held it
        size_t const v = static_cast<size_t>(volumeOf[i]);
        std::string const src = WithoutTrailingSlashes(volumes[v].getSourcePath());
        std::string rest = src == "/" ? paths[i].substr(1) : paths[i].substr(src.size());
        if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
        (*out)[i] = Look(rest.empty() ? mountOf[v] : mountOf[v] + "/" + rest);
    }
    if (!toMount.volumes().empty() && !client.unmount(toMount)) {
        client.getErrCodeAndStr(*error);
        return false;
    }
    return true;
}

struct Install {
    Install() { NuvSymLink::setSnapPathLookup(&LookUpInSnapJob); }
} const kInstall;

}  // namespace
