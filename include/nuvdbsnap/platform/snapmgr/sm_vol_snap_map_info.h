// Links one volume (SM volume id) of a snapshot record to one of its snapshots (SM snap id).
#pragma once

class SMVolSnapMapInfo {
public:
    SMVolSnapMapInfo() = default;
    SMVolSnapMapInfo(int volumeId, int snapId) : m_SMVolumeId(volumeId), m_SMSnapId(snapId) {}
    int getSMVolumeId() const { return m_SMVolumeId; }
    void setSMVolumeId(int v) { m_SMVolumeId = v; }
    int getSMSnapId() const { return m_SMSnapId; }
    void setSMSnapId(int v) { m_SMSnapId = v; }
    bool operator==(SMVolSnapMapInfo const& o) const {
        return m_SMVolumeId == o.m_SMVolumeId && m_SMSnapId == o.m_SMSnapId;
    }
    bool operator!=(SMVolSnapMapInfo const& o) const { return !(*this == o); }

private:
    int m_SMVolumeId = 0;
    int m_SMSnapId = 0;
};
