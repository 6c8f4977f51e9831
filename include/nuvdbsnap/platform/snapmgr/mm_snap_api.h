// The snapshot-manager client: control hosts (storage arrays), snapshot engines
// and per-application replication settings, all catalogue rows of the local
// suite ("controlhost", "snapengine", "replication"). Every call journals
// ("snapmgr", "<method>", args) and obeys the fault table.
#pragma once

#include "nuvdbsnap/platform/snapmgr/sm_control_host_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_snapshot_engine_info.h"

#include <string>
#include <vector>

// Base of the suite's manager clients: remembers the platform mode it was built for.
class JZMMbase {
public:
    explicit JZMMbase(int mode) : m_mode(mode) {}
    virtual ~JZMMbase() = default;
    int getMode() const { return m_mode; }

protected:
    int m_mode = 0;
};

class JZMMSnapAPI : public JZMMbase {
public:
    explicit JZMMSnapAPI(int mode) : JZMMbase(mode) {}
    ~JZMMSnapAPI() override = default;

    // True when the array is known; its id in hostInfo.getControlHostId().
    bool getControlHostInfoByHostName(char const* hostName, SMControlHostInfo& hostInfo);
    // Every control host of the vendor, by id. True on success (also when none).
    bool getControlHostList(std::vector<SMControlHostInfo>& hosts, std::string const& vendorName);
    // Every snapshot engine, by id (`listKind` 1: all engines). True on success.
    bool getSnapShotEngineList(std::vector<SMSnapShotEngineInfo>& engines, int listKind);
    // 0 on success with enabled/type filled (no row: not enabled, type 0), else
    // non-zero with text filled. The second argument is reserved (0).
    int isReplicationEnabled(int appId, int reserved, bool& enabled, int& type, std::string& text);
    // The last error code, text filled.
    int getErrCodeAndString(std::string& text) const {
        text = m_errStr;
        return m_errCode;
    }

private:
    void fail(int code, std::string const& text);

    int m_errCode = 0;
    std::string m_errStr;
};
