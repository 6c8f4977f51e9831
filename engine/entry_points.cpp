// The exported snapshot door over one process-wide NuvSnapUtil.
#include "nuvdbsnap/engine/entry_points.h"

#include "nuvdbsnap/engine/nuv_snap_util.h"
#include "nuvdbsnap/platform/base/log.h"

namespace {

NuvSnapUtil* nuvSnapUtilPtr = nullptr;

}  // namespace

void initializeNuvSnapUtil(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType,
                           bool verbose) {
    if (nuvSnapUtilPtr == nullptr) {
        nuvSnapUtilPtr = new NuvSnapUtil(engineType, backupLevel, application, snapType, verbose, nullptr, nullptr,
                                         SPAWN_IN_PROCESS);
    }
    CFzError error = nuvSnapUtilPtr->initialize();
    if (error.IsError()) {
        EvEvent event;
        EvDebug::Error(&event, "initializeNuvSnapUtil", "failed to load blocklevel details [%s]",
                       error.AsString().c_str());
    }
}

int addMountPoint(char const* mountPoint) {
    if (nuvSnapUtilPtr == nullptr) return 0;
    return nuvSnapUtilPtr->addMountPoint(mountPoint, nullptr);
}

int createSnapArchiveFiles(JZArchive& archive, CreateArgs_t& request, SMVolSnapInfo* out,
                           std::map<std::string, std::set<std::string>>* mountFiles) {
    if (nuvSnapUtilPtr == nullptr) return -1;
    return nuvSnapUtilPtr->createSnapArchiveFiles(archive, request, out, mountFiles);
}

int createSnapShot(int const& /*reserved*/, ErrorCallback callback, void* context, bool const& flag) {
    if (nuvSnapUtilPtr == nullptr) return -1;
    return nuvSnapUtilPtr->createSnapShot(callback, context, flag, nullptr);
}

void finalizeNuvSnapUtil() {
    if (nuvSnapUtilPtr == nullptr) return;
    NuvSnapUtil* instance = nuvSnapUtilPtr;
    nuvSnapUtilPtr = nullptr;
    delete instance;
}
