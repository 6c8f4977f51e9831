// The snapshot record of a job: ids that select it (job, snap job, Brannox,
// archive file), how the snapshot is to be made (engine, copy parameters, array,
// operation mode, action and retrieve flags), its volumes, snaps, volume-snap
// map, control hosts and engines, and the error code and text of the last
// snapshot-manager call that worked on it (0 and "" = success). A plain value
// record: copies are independent; the snapshot client converts it to XML and back.
#pragma once

#include "nuvdbsnap/platform/snapmgr/sm_control_host_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_metadata_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_snap_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_snapshot_engine_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_map_info.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"

#include <string>
#include <vector>

struct MM_SMVolSnapInfo;  // the wire form (XDR record of the helper messages)

class SMVolSnapInfo {
public:
    using VolumeList = std::vector<SMVolumeInfo>;
    using SnapList = std::vector<SMSnapInfo>;
    using VolSnapMapList = std::vector<SMVolSnapMapInfo>;
    using ControlHostList = std::vector<SMControlHostInfo>;
    using SnapShotEngineList = std::vector<SMSnapShotEngineInfo>;
    using MetaDataList = std::vector<SMMetaDataInfo>;

    // Clears every field and list (the argument is reserved; callers pass 0).
    void reset(int reserved = 0);

    int getJobId() const { return m_jobId; }
    void setJobId(int v) { m_jobId = v; }
    int getSnapJobId() const { return m_snapJobId; }
    void setSnapJobId(int v) { m_snapJobId = v; }
    int getBrannoxId() const { return m_brannoxId; }
    void setBrannoxId(int v) { m_brannoxId = v; }
    int getAppTypeId() const { return m_appTypeId; }
    void setAppTypeId(int v) { m_appTypeId = v; }
    int getSourceClientId() const { return m_sourceClientId; }
    void setSourceClientId(int v) { m_sourceClientId = v; }
    int getSnapShotEngineId() const { return m_snapShotEngineId; }
    void setSnapShotEngineId(int v) { m_snapShotEngineId = v; }
    int getCopyParamType() const { return m_copyParamType; }
    void setCopyParamType(int v) { m_copyParamType = v; }
    int getCopyParam() const { return m_copyParam; }
    void setCopyParam(int v) { m_copyParam = v; }
    int getArrayNum() const { return m_arrayNum; }
    void setArrayNum(int v) { m_arrayNum = v; }
    int getOpMode() const { return m_opMode; }
    void setOpMode(int v) { m_opMode = v; }
    int getSnapActionFlags() const { return m_snapActionFlags; }
    void setSnapActionFlags(int v) { m_snapActionFlags = v; }
    int getRetrieveValidFlags() const { return m_retrieveValidFlags; }
    void setRetrieveValidFlags(int v) { m_retrieveValidFlags = v; }
    // Selection by archive file (0 = none): getVolumeSnaps then looks for the
    // snapshots of the volumes of this archive file.
    int getArchFileId() const { return m_archFileId; }
    void setArchFileId(int v) { m_archFileId = v; }

    // Error of the last snapshot-manager call on this record; set on every failure.
    int getErrorCode() const { return m_errorCode; }
    std::string const& getErrorString() const { return m_errorString; }
    void setError(int code, std::string const& text) {
        m_errorCode = code;
        m_errorString = text;
    }
    void clearError() { setError(0, std::string()); }

    // atEnd true appends the volume, false puts it first.
    void addVolume(SMVolumeInfo const& volume, bool atEnd = true);
    void addSnap(SMSnapInfo const& snap) { m_snaps.push_back(snap); }
    void addVolSnapMap(SMVolSnapMapInfo const& entry) { m_volSnapMap.push_back(entry); }
    void addControlHost(SMControlHostInfo const& host) { m_controlHosts.push_back(host); }
    void addSnapShotEngine(SMSnapShotEngineInfo const& engine) { m_engines.push_back(engine); }
    void addMetaData(SMMetaDataInfo const& entry) { m_metadata.push_back(entry); }
    // ORs `bit` into the snap flags of every snap.
    void setSnapFlagsBitForAllSnaps(int bit);

    VolumeList::iterator volumeListBegin() { return m_volumes.begin(); }
    VolumeList::iterator volumeListEnd() { return m_volumes.end(); }
    VolumeList::const_iterator volumeListBegin() const { return m_volumes.begin(); }
    VolumeList::const_iterator volumeListEnd() const { return m_volumes.end(); }
    SnapList::iterator snapListBegin() { return m_snaps.begin(); }
    SnapList::iterator snapListEnd() { return m_snaps.end(); }
    SnapList::const_iterator snapListBegin() const { return m_snaps.begin(); }
    SnapList::const_iterator snapListEnd() const { return m_snaps.end(); }
    VolSnapMapList::iterator volSnapMapListBegin() { return m_volSnapMap.begin(); }
    VolSnapMapList::iterator volSnapMapListEnd() { return m_volSnapMap.end(); }
    VolSnapMapList::const_iterator volSnapMapListBegin() const { return m_volSnapMap.begin(); }
    VolSnapMapList::const_iterator volSnapMapListEnd() const { return m_volSnapMap.end(); }
    ControlHostList::const_iterator controlHostListBegin() const { return m_controlHosts.begin(); }
    ControlHostList::const_iterator controlHostListEnd() const { return m_controlHosts.end(); }
    SnapShotEngineList::const_iterator snapShotEngineListBegin() const { return m_engines.begin(); }
    SnapShotEngineList::const_iterator snapShotEngineListEnd() const { return m_engines.end(); }

    MetaDataList::const_iterator metaDataListBegin() const { return m_metadata.begin(); }
    MetaDataList::const_iterator metaDataListEnd() const { return m_metadata.end(); }
    MetaDataList const& metaData() const { return m_metadata; }

    VolumeList& volumes() { return m_volumes; }
    VolumeList const& volumes() const { return m_volumes; }
    SnapList& snaps() { return m_snaps; }
    SnapList const& snaps() const { return m_snaps; }
    VolSnapMapList& volSnapMap() { return m_volSnapMap; }
    VolSnapMapList const& volSnapMap() const { return m_volSnapMap; }
    ControlHostList const& controlHosts() const { return m_controlHosts; }
    SnapShotEngineList const& snapShotEngines() const { return m_engines; }
    size_t getNumVolumes() const { return m_volumes.size(); }
    size_t getNumSnaps() const { return m_snaps.size(); }

    // The snap with this id, or null.
    SMSnapInfo* findSnap(int smSnapId);
    SMSnapInfo const* findSnap(int smSnapId) const;

    // The whole record as text; dump(tag) writes it to the log under the tag.
    std::string DumpStr() const;
    void dump(char const* tag) const;

    // The wire form: fills `wire` (zero-filled or freed before) with copies
    // allocated with malloc, which the network layer's FreeXDRMessage (or
    // xdr_free) releases. operator= takes a wire form over every field.
    void fillXDRStruct(MM_SMVolSnapInfo& wire) const;
    SMVolSnapInfo& operator=(MM_SMVolSnapInfo const& wire);

    bool operator==(SMVolSnapInfo const& o) const;
    bool operator!=(SMVolSnapInfo const& o) const { return !(*this == o); }

private:
    int m_jobId = 0;
    int m_snapJobId = 0;
    int m_brannoxId = 0;
    int m_appTypeId = 0;
    int m_sourceClientId = 0;
    int m_snapShotEngineId = 0;
    int m_copyParamType = 0;
    int m_copyParam = 0;
    int m_arrayNum = 0;
    int m_opMode = 0;
    int m_snapActionFlags = 0;
    int m_retrieveValidFlags = 0;
    int m_archFileId = 0;
    int m_errorCode = 0;
    std::string m_errorString;
    VolumeList m_volumes;
    SnapList m_snaps;
    VolSnapMapList m_volSnapMap;
    ControlHostList m_controlHosts;
    SnapShotEngineList m_engines;
    MetaDataList m_metadata;
};
