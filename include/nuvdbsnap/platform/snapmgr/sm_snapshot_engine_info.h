// A snapshot engine known to the snapshot manager: id, vendor and engine name.
// Catalogue row "snapengine".
#pragma once

#include <string>

class SMSnapShotEngineInfo {
public:
    int getSnapShotEngineId() const { return m_snapShotEngineId; }
    void setSnapShotEngineId(int v) { m_snapShotEngineId = v; }
    std::string const& getVendorName() const { return m_vendorName; }
    void setVendorName(std::string const& v) { m_vendorName = v; }
    std::string const& getEngineName() const { return m_engineName; }
    void setEngineName(std::string const& v) { m_engineName = v; }
    bool operator==(SMSnapShotEngineInfo const& o) const {
        return m_snapShotEngineId == o.m_snapShotEngineId && m_vendorName == o.m_vendorName &&
               m_engineName == o.m_engineName;
    }
    bool operator!=(SMSnapShotEngineInfo const& o) const { return !(*this == o); }

private:
    int m_snapShotEngineId = 0;
    std::string m_vendorName;
    std::string m_engineName;
};
