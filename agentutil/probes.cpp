// Host and proxy probes of the agents, and the settings section of an
// application type.
#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/dbsnap/db_snap_backup.h"
#include "nuvdbsnap/foundation/agent_records.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include "host_files.h"

#include <cerrno>
#include <cstdint>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr unsigned long kOracle = 22;
constexpr int kProbeFailed = 1627;

}  // namespace

int NuvDBAgentsCommonUtils::ReadFilesFromDir(std::string const& directory, std::list<std::string>& files) {
    return DBSnapBackup::ReadFilesFromDir(directory, files, std::string());
}

CFzError NuvDBAgentsCommonUtils::GetFileOwner(EvEvent* /*ev*/, std::string path, std::string& owner,
                                              std::string& reserved) {
    owner.clear();
    errno = 0;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return FXErrorUtil::ErrorWin32(FZ_LOC, kProbeFailed, "stat(%s):error %d", path.c_str(), errno);
    JzPwEnt entry(static_cast<unsigned>(st.st_uid));
    if (entry.name.empty())
        return FXErrorUtil::ErrorWin32(FZ_LOC, kProbeFailed, "uid [%d] not found in passwd file on system",
                                       static_cast<int>(st.st_uid));
    owner = entry.name;
    reserved.clear();
    return CFzError::Success();
}

bool NuvDBAgentsCommonUtils::IsCloudDatabaseClient(unsigned long const& clientId) {
    int appType = 0;
    ClientProperties properties(clientId);
    int rc = properties.getClientAppType(appType, nullptr);
    if (rc != 0) {
        EvDebug::Error(nullptr, "NuvDBAgentsCommonUtils::IsCloudDatabaseClient",
                       "Error : Failed to get Client App type for client [%lu] , ErrorCode [%d] ", clientId, rc);
        return false;
    }
    return appType == 1;
}

int NuvDBAgentsCommonUtils::GetDatabaseHomePathOnProxy(unsigned long const& clientId, unsigned long const& appType,
                                                       std::string const& version, unsigned long& proxyClientId,
                                                       std::string& installDir) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::GetDatabaseHomePathOnProxy";
    installDir.clear();
    if (proxyClientId == 0) {
        JZClient self(EvDebug::getClientName(), false, 0);
        int rc = self.getClientId(proxyClientId, nullptr);
        if (rc != 0) {
            EvDebug::Error(nullptr, kTag, "Unable to get proxy Client ID, error code [%d]", rc);
            return rc;
        }
    }
    Nuv::GetProxyDBInstallDirReq request;
    Nuv::GetProxyDBInstallDirResp response;
    (void)request.setint64(1, 1, static_cast<int32_t>(clientId));
    (void)request.setint64(2, 2, static_cast<int32_t>(appType));
    (void)request.setstring(3, 3, version);
    (void)request.setint64(4, 7, static_cast<int32_t>(proxyClientId));
    EvDebug::DebugLvl(nullptr, 3, kTag,
                      "Calling getProxyDBInstallDir with input Client ID [%lu] , App Type [%lu] , Version [%s] , "
                      "Proxy Client ID [%lu]",
                      clientId, appType, version.c_str(), proxyClientId);
    int rc = NuvBackup::getProxyDBInstallDir(request, response);
    if (rc != 0) {
        EvDebug::Error(nullptr, kTag, "NuvBackup::getProxyDBInstallDir failed");
        return rc;
    }
    if (CNMessageBase const* error = response.getObjectAccessor(2, 5)) {
        if (error->getint64(1) != 0)
            EvDebug::Error(nullptr, kTag, "Response error code [%d] , error string [%s]",
                           static_cast<int>(error->getint64(1)), error->getstring(2, 2).c_str());
    }
    if (response.isSet(1)) installDir = response.getstring(1);
    return 0;
}

int NuvDBAgentsCommonUtils::GetProxyOracleInstanceId(unsigned long const& clientId, std::string const& version,
                                                     unsigned long& instanceId) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::GetProxyOracleInstanceId";
    instanceId = 0;
    unsigned long proxyClientId = 0;
    std::string home;
    int rc = GetDatabaseHomePathOnProxy(clientId, kOracle, version, proxyClientId, home);
    if (rc != 0) {
        EvDebug::Error(nullptr, kTag, "NuvDBAgentsCommonUtils::GetDatabaseHomePathOnProxy  failed");
        return rc;
    }
    std::vector<std::string> running;
    std::string error;
    if (!nuvagentutil::RunningOracleInstances(home, &running, &error)) {
        EvDebug::Error(nullptr, kTag, "Failed to query running oracle instances of home [%s], err = %s",
                       home.c_str(), error.c_str());
        return -1;
    }
    for (std::string const& name : running) {
        EvDebug::DebugLvl(nullptr, 2, kTag, "running oracle instances %s, %lu", name.c_str(), proxyClientId);
        InstanceByName lookup;
        unsigned long found = 0;
        if (lookup.getInstanceId(proxyClientId, kOracle, name, &found, nullptr) > 0 && found > 0) {
            instanceId = found;
            EvDebug::Debug(nullptr, kTag, "got proxy instance Id:%lu for instance:%s,ORACLE_HOME path:%s", found,
                           name.c_str(), home.c_str());
            break;
        }
    }
    return 0;
}

bool NuvDBAgentsCommonUtils::IsLinuxContainer() {
    static char const kTag[] = "NuvDBAgentsCommonUtils::IsLinuxContainer";
    std::string hostPid, source, error;
    if (!nuvagentutil::HostPidOfInit(&hostPid, &source, &error)) {
        g_ptrLogWriter->Write(-1, kTag, 0, "source=[%s] err=[%s], could not detect if running inside container",
                              source.c_str(), error.c_str());
        return false;  // cannot tell: not a container
    }
    g_ptrLogWriter->Write(9, kTag, 0, "source=[%s] out=[%s]", source.c_str(), hostPid.c_str());
    return hostPid != "1";
}

void getSectionName(unsigned long appType, std::string& section) {
    switch (appType) {
        case 3: section = "InformixAgent"; break;
        case 5: section = "SybaseAgent"; break;
        case 22: case 80: section = "OracleAgent"; break;
        case 61: section = "OracleSapAgent"; break;
        case 62: case 103: section = "Db2Agent"; break;
        case 79: section = "SapMaxDbAgent"; break;
        case 135: section = "SapHanaAgent"; break;
        default: break;  // the section stays as it was
    }
}
