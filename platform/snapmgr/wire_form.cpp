// The snapshot record's wire form (MM_SMVolSnapInfo, XDR record of the helper
// messages) and back. Texts and lists are malloc'ed: xdr_free releases them.
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include "nuvwire/snap_wire.h"

#include <cstdlib>
#include <cstring>
#include <vector>

static_assert(sizeof(MM_SMVolSnapInfo) == 240, "the wire form of a snapshot record is 240 bytes");

namespace {

char* Text(std::string const& s) {
    char* p = static_cast<char*>(malloc(s.size() + 1));
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

std::string Text(char const* p) { return p ? std::string(p) : std::string(); }

// A wire list from a vector: calloc'ed elements filled by `fill`.
template <class W, class V, class F>
W* List(std::vector<V> const& items, u_int* length, F fill) {
    *length = static_cast<u_int>(items.size());
    if (items.empty()) return nullptr;
    W* out = static_cast<W*>(calloc(items.size(), sizeof(W)));
    for (size_t i = 0; i < items.size(); ++i) fill(items[i], out[i]);
    return out;
}

}  // namespace

void SMVolSnapInfo::fillXDRStruct(MM_SMVolSnapInfo& w) const {
    memset(&w, 0, sizeof w);
    w.jobId = m_jobId;
    w.snapJobId = m_snapJobId;
    w.brannoxId = m_brannoxId;
    w.appTypeId = m_appTypeId;
    w.sourceClientId = m_sourceClientId;
    w.snapShotEngineId = m_snapShotEngineId;
    w.copyParamType = m_copyParamType;
    w.copyParam = m_copyParam;
    w.arrayNum = m_arrayNum;
    w.opMode = m_opMode;
    w.snapActionFlags = m_snapActionFlags;
    w.retrieveValidFlags = m_retrieveValidFlags;
    w.archFileId = m_archFileId;
    w.errorCode = m_errorCode;
    w.errorString = Text(m_errorString);
    w.volumes.volumes_val = List<MM_SMVolumeInfo>(m_volumes, &w.volumes.volumes_len,
                                                  [](SMVolumeInfo const& v, MM_SMVolumeInfo& o) {
        o.sourcePath = Text(v.getSourcePath());
        o.originalSourcePath = Text(v.getOriginalSourcePath());
        o.sourceDevice = Text(v.getSourceDevice());
        o.mountOptions = Text(v.getMountOptions());
        o.mountPath = Text(v.getMountPath());
        o.repBasePath = Text(v.getRepBasePath());
        o.repRelativePath = Text(v.getRepRelativePath());
        o.sourceGUID = Text(v.getSourceGUID());
        o.mountPathFlag = v.getMountPathFlag();
        o.volumeFlags = v.getVolumeFlags();
        o.appId = v.getAppId();
        o.appTypeId = v.getAppTypeId();
        o.brannoxId = v.getBrannoxId();
        o.archFileId = v.getArchFileId();
        o.groupId = v.getGroupId();
        o.copyId = v.getCopyId();
        o.jobId = v.getJobId();
        o.sourceClientId = v.getSourceClientId();
        o.originClientId = v.getOriginClientId();
        o.mountHostId = v.getMountHostId();
        o.smVolumeId = v.getSMVolumeId();
        o.smSnapId = v.getSMSnapId();
    });
    w.snaps.snaps_val = List<MM_SMSnapInfo>(m_snaps, &w.snaps.snaps_len, [](SMSnapInfo const& s, MM_SMSnapInfo& o) {
        o.smSnapId = s.getSMSnapId();
        o.snapDevice = Text(s.getSnapDevice());
        o.snapSourceDevice = Text(s.getSnapSourceDevice());
        o.uniqueIdentifier = Text(s.getUniqueIdentifier());
        o.snapFlags = s.getSnapFlags();
        o.snapFlagsEx = s.getSnapFlagsEx();
        o.snapShotEngineId = s.getSnapShotEngineId();
        o.controlHostId = s.getControlHostId();
        o.creationTime = s.getCreationTime();
    });
    w.volSnapMap.volSnapMap_val = List<MM_SMVolSnapMapInfo>(
        m_volSnapMap, &w.volSnapMap.volSnapMap_len, [](SMVolSnapMapInfo const& m, MM_SMVolSnapMapInfo& o) {
            o.smVolumeId = m.getSMVolumeId();
            o.smSnapId = m.getSMSnapId();
        });
    w.controlHosts.controlHosts_val = List<MM_SMControlHostInfo>(
        m_controlHosts, &w.controlHosts.controlHosts_len, [](SMControlHostInfo const& h, MM_SMControlHostInfo& o) {
            o.controlHostId = h.getControlHostId();
            o.hostName = Text(h.getHostName());
            o.vendorName = Text(h.getVendorName());
            o.snapShotEngineId = h.getSnapShotEngineId();
        });
    w.engines.engines_val = List<MM_SMSnapShotEngineInfo>(
        m_engines, &w.engines.engines_len, [](SMSnapShotEngineInfo const& e, MM_SMSnapShotEngineInfo& o) {
            o.snapShotEngineId = e.getSnapShotEngineId();
            o.vendorName = Text(e.getVendorName());
            o.engineName = Text(e.getEngineName());
        });
    w.metadata.metadata_val = List<MM_SMMetaDataInfo>(m_metadata, &w.metadata.metadata_len,
                                                      [](SMMetaDataInfo const& m, MM_SMMetaDataInfo& o) {
        o.refId = m.getRefId();
        o.metadataType = m.getMetadataType();
        o.text = Text(m.getMetadata());
    });
}

SMVolSnapInfo& SMVolSnapInfo::operator=(MM_SMVolSnapInfo const& w) {
    SMVolSnapInfo r;
    r.m_jobId = w.jobId;
    r.m_snapJobId = w.snapJobId;
    r.m_brannoxId = w.brannoxId;
    r.m_appTypeId = w.appTypeId;
    r.m_sourceClientId = w.sourceClientId;
    r.m_snapShotEngineId = w.snapShotEngineId;
    r.m_copyParamType = w.copyParamType;
    r.m_copyParam = w.copyParam;
    r.m_arrayNum = w.arrayNum;
    r.m_opMode = w.opMode;
    r.m_snapActionFlags = w.snapActionFlags;
    r.m_retrieveValidFlags = w.retrieveValidFlags;
    r.m_archFileId = w.archFileId;
    r.m_errorCode = w.errorCode;
    r.m_errorString = Text(w.errorString);
    for (u_int i = 0; i < w.volumes.volumes_len; ++i) {
        MM_SMVolumeInfo const& o = w.volumes.volumes_val[i];
        SMVolumeInfo v;
        v.setSourcePath(Text(o.sourcePath));
        v.setOriginalSourcePath(Text(o.originalSourcePath));
        v.setSourceDevice(Text(o.sourceDevice));
        v.setMountOptions(Text(o.mountOptions));
        v.setMountPath(Text(o.mountPath));
        v.setRepBasePath(Text(o.repBasePath));
        v.setRepRelativePath(Text(o.repRelativePath));
        v.setSourceGUID(Text(o.sourceGUID));
        v.setMountPathFlag(o.mountPathFlag != 0);
        v.setVolumeFlags(o.volumeFlags);
        v.setAppId(o.appId);
        v.setAppTypeId(o.appTypeId);
        v.setBrannoxId(o.brannoxId);
        v.setArchFileId(o.archFileId);
        v.setGroupId(o.groupId);
        v.setCopyId(o.copyId);
        v.setJobId(o.jobId);
        v.setSourceClientId(o.sourceClientId);
        v.setOriginClientId(o.originClientId);
        v.setMountHostId(o.mountHostId);
        v.setSMVolumeId(o.smVolumeId);
        v.setSMSnapId(o.smSnapId);
        r.m_volumes.push_back(v);
    }
    for (u_int i = 0; i < w.snaps.snaps_len; ++i) {
        MM_SMSnapInfo const& o = w.snaps.snaps_val[i];
        SMSnapInfo s;
        s.setSMSnapId(o.smSnapId);
        s.setSnapDevice(Text(o.snapDevice));
        s.setSnapSourceDevice(Text(o.snapSourceDevice));
        s.setUniqueIdentifier(Text(o.uniqueIdentifier));
        s.setSnapFlags(o.snapFlags);
        s.setSnapFlagsEx(o.snapFlagsEx);
        s.setSnapShotEngineId(o.snapShotEngineId);
        s.setControlHostId(o.controlHostId);
        s.setCreationTime(o.creationTime);
        r.m_snaps.push_back(s);
    }
    for (u_int i = 0; i < w.volSnapMap.volSnapMap_len; ++i)
        r.m_volSnapMap.emplace_back(w.volSnapMap.volSnapMap_val[i].smVolumeId, w.volSnapMap.volSnapMap_val[i].smSnapId);
    for (u_int i = 0; i < w.controlHosts.controlHosts_len; ++i) {
        MM_SMControlHostInfo const& o = w.controlHosts.controlHosts_val[i];
        SMControlHostInfo h;
        h.setControlHostId(o.controlHostId);
        h.setHostName(Text(o.hostName));
        h.setVendorName(Text(o.vendorName));
        h.setSnapShotEngineId(o.snapShotEngineId);
        r.m_controlHosts.push_back(h);
    }
    for (u_int i = 0; i < w.engines.engines_len; ++i) {
        MM_SMSnapShotEngineInfo const& o = w.engines.engines_val[i];
        SMSnapShotEngineInfo e;
        e.setSnapShotEngineId(o.snapShotEngineId);
        e.setVendorName(Text(o.vendorName));
        e.setEngineName(Text(o.engineName));
        r.m_engines.push_back(e);
    }
    for (u_int i = 0; i < w.metadata.metadata_len; ++i) {
        MM_SMMetaDataInfo const& o = w.metadata.metadata_val[i];
        r.m_metadata.emplace_back(o.refId, o.metadataType, Text(o.text));
    }
    return *this = std::move(r);
}
