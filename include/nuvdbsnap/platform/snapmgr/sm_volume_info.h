// One volume of a snapshot record: where it lies on the source host (source
// path = its mount point, device, "fstype:options"), the job, application and
// archive file it belongs to, its snapshot-manager ids and where its snapshot
// is mounted. A plain value record; copies are independent.
#pragma once

#include <string>

// Volume flags that the suite itself sets or reads.
constexpr int JZSM_VOLUMEFLAGS_EXISTING_MOUNTPATH = 0x100;
constexpr int JZSM_VOLUMEFLAGS_ASM_DISKGROUP = 0x10000;
constexpr int JZSM_VOLUMEFLAGS_VSA_NUV_SNAP = 0x20000;

class SMVolumeInfo {
public:
    std::string const& getSourcePath() const { return m_sourcePath; }
    void setSourcePath(std::string const& v) { m_sourcePath = v; }
    std::string const& getOriginalSourcePath() const { return m_originalSourcePath; }
    void setOriginalSourcePath(std::string const& v) { m_originalSourcePath = v; }
    std::string const& getSourceDevice() const { return m_sourceDevice; }
    void setSourceDevice(std::string const& v) { m_sourceDevice = v; }
    // "fstype:options", e.g. "xfs:rw,relatime".
    std::string const& getMountOptions() const { return m_mountOptions; }
    void setMountOptions(std::string const& v) { m_mountOptions = v; }
    std::string const& getMountPath() const { return m_mountPath; }
    void setMountPath(std::string const& v) { m_mountPath = v; }
    bool getMountPathFlag() const { return m_mountPathFlag; }
    void setMountPathFlag(bool v) { m_mountPathFlag = v; }
    std::string const& getRepBasePath() const { return m_repBasePath; }
    void setRepBasePath(std::string const& v) { m_repBasePath = v; }
    std::string const& getRepRelativePath() const { return m_repRelativePath; }
    void setRepRelativePath(std::string const& v) { m_repRelativePath = v; }
    std::string const& getSourceGUID() const { return m_sourceGUID; }
    void setSourceGUID(std::string const& v) { m_sourceGUID = v; }

    int getVolumeFlags() const { return m_volumeFlags; }
    void setVolumeFlags(int v) { m_volumeFlags = v; }
    int getAppId() const { return m_appId; }
    void setAppId(int v) { m_appId = v; }
    int getAppTypeId() const { return m_appTypeId; }
    void setAppTypeId(int v) { m_appTypeId = v; }
    int getBrannoxId() const { return m_brannoxId; }
    void setBrannoxId(int v) { m_brannoxId = v; }
    int getArchFileId() const { return m_archFileId; }
    void setArchFileId(int v) { m_archFileId = v; }
    int getGroupId() const { return m_groupId; }
    void setGroupId(int v) { m_groupId = v; }
    int getCopyId() const { return m_copyId; }
    void setCopyId(int v) { m_copyId = v; }
    int getJobId() const { return m_jobId; }
    void setJobId(int v) { m_jobId = v; }
    int getSourceClientId() const { return m_sourceClientId; }
    void setSourceClientId(int v) { m_sourceClientId = v; }
    int getOriginClientId() const { return m_originClientId; }
    void setOriginClientId(int v) { m_originClientId = v; }
    int getMountHostId() const { return m_mountHostId; }
    void setMountHostId(int v) { m_mountHostId = v; }
    int getSMVolumeId() const { return m_SMVolumeId; }
    void setSMVolumeId(int v) { m_SMVolumeId = v; }
    // The snapshot made of this volume by the last create (0 = none).
    int getSMSnapId() const { return m_SMSnapId; }
    void setSMSnapId(int v) { m_SMSnapId = v; }

    // Every field as "name=value" lines, for logs.
    void dump(std::string& out) const;

    bool operator==(SMVolumeInfo const& o) const;
    bool operator!=(SMVolumeInfo const& o) const { return !(*this == o); }

private:
    std::string m_sourcePath;
    std::string m_originalSourcePath;
    std::string m_sourceDevice;
    std::string m_mountOptions;
    std::string m_mountPath;
    bool m_mountPathFlag = false;
    std::string m_repBasePath;
    std::string m_repRelativePath;
    std::string m_sourceGUID;
    int m_volumeFlags = 0;
    int m_appId = 0;
    int m_appTypeId = 0;
    int m_brannoxId = 0;
    int m_archFileId = 0;
    int m_groupId = 0;
    int m_copyId = 0;
    int m_jobId = 0;
    int m_sourceClientId = 0;
    int m_originClientId = 0;
    int m_mountHostId = 0;
    int m_SMVolumeId = 0;
    int m_SMSnapId = 0;
};
