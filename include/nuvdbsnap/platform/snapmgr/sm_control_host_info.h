// A storage array (control host) known to the snapshot manager: its id, host
// name, vendor and the snapshot engine that drives it. Catalogue row "controlhost".
#pragma once

#include <string>

class SMControlHostInfo {
public:
    int getControlHostId() const { return m_controlHostId; }
    void setControlHostId(int v) { m_controlHostId = v; }
    std::string const& getHostName() const { return m_hostName; }
    void setHostName(std::string const& v) { m_hostName = v; }
    std::string const& getVendorName() const { return m_vendorName; }
    void setVendorName(std::string const& v) { m_vendorName = v; }
    int getSnapShotEngineId() const { return m_snapShotEngineId; }
    void setSnapShotEngineId(int v) { m_snapShotEngineId = v; }
    bool operator==(SMControlHostInfo const& o) const {
        return m_controlHostId == o.m_controlHostId && m_hostName == o.m_hostName &&
               m_vendorName == o.m_vendorName && m_snapShotEngineId == o.m_snapShotEngineId;
    }
    bool operator!=(SMControlHostInfo const& o) const { return !(*this == o); }

private:
    int m_controlHostId = 0;
    std::string m_hostName;
    std::string m_vendorName;
    int m_snapShotEngineId = 0;
};
