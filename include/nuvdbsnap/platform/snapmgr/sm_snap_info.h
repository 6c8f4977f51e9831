// One snapshot of a volume: its snapshot-manager id, the device (for the local
// suite: the directory that holds the point-in-time copy), the device it was
// taken of, flags and the engine that made it. A plain value record.
#pragma once

#include <cstdint>
#include <string>

class SMSnapInfo {
public:
    int getSMSnapId() const { return m_SMSnapId; }
    void setSMSnapId(int v) { m_SMSnapId = v; }
    std::string const& getSnapDevice() const { return m_snapDevice; }
    void setSnapDevice(std::string const& v) { m_snapDevice = v; }
    std::string const& getSnapSourceDevice() const { return m_snapSourceDevice; }
    void setSnapSourceDevice(std::string const& v) { m_snapSourceDevice = v; }
    std::string const& getUniqueIdentifier() const { return m_uniqueIdentifier; }
    void setUniqueIdentifier(std::string const& v) { m_uniqueIdentifier = v; }
    int getSnapFlags() const { return m_snapFlags; }
    void setSnapFlags(int v) { m_snapFlags = v; }
    uint64_t getSnapFlagsEx() const { return m_snapFlagsEx; }
    void setSnapFlagsEx(uint64_t v) { m_snapFlagsEx = v; }
    int getSnapShotEngineId() const { return m_snapShotEngineId; }
    void setSnapShotEngineId(int v) { m_snapShotEngineId = v; }
    int getControlHostId() const { return m_controlHostId; }
    void setControlHostId(int v) { m_controlHostId = v; }
    int64_t getCreationTime() const { return m_creationTime; }
    void setCreationTime(int64_t v) { m_creationTime = v; }

    void dump(std::string& out) const;
    bool operator==(SMSnapInfo const& o) const;
    bool operator!=(SMSnapInfo const& o) const { return !(*this == o); }

private:
    int m_SMSnapId = 0;
    std::string m_snapDevice;
    std::string m_snapSourceDevice;
    std::string m_uniqueIdentifier;
    int m_snapFlags = 0;
    uint64_t m_snapFlagsEx = 0;
    int m_snapShotEngineId = 0;
    int m_controlHostId = 0;
    int64_t m_creationTime = 0;
};
