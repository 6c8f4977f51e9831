// Out-of-line members of the snapshot records: comparison, reset, lists, dumps.
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/snapmgr/sm_vol_snap_info.h"

#include <sstream>
#include <tuple>

namespace {

auto volumeTie(SMVolumeInfo const& v) {
    return std::make_tuple(v.getSourcePath(), v.getOriginalSourcePath(), v.getSourceDevice(),
                           v.getMountOptions(), v.getMountPath(), v.getMountPathFlag(),
                           v.getRepBasePath(), v.getRepRelativePath(), v.getSourceGUID(),
                           v.getVolumeFlags(), v.getAppId(), v.getAppTypeId(), v.getBrannoxId(),
                           v.getArchFileId(), v.getGroupId(), v.getCopyId(), v.getJobId(),
                           v.getSourceClientId(), v.getOriginClientId(), v.getMountHostId(),
                           v.getSMVolumeId(), v.getSMSnapId());
}

auto snapTie(SMSnapInfo const& s) {
    return std::make_tuple(s.getSMSnapId(), s.getSnapDevice(), s.getSnapSourceDevice(),
                           s.getUniqueIdentifier(), s.getSnapFlags(), s.getSnapFlagsEx(),
                           s.getSnapShotEngineId(), s.getControlHostId(), s.getCreationTime());
}

}  // namespace

bool SMVolumeInfo::operator==(SMVolumeInfo const& o) const { return volumeTie(*this) == volumeTie(o); }

void SMVolumeInfo::dump(std::string& out) const {
    std::ostringstream s;
    s << "sourcePath=" << m_sourcePath << "\noriginalSourcePath=" << m_originalSourcePath
      << "\nsourceDevice=" << m_sourceDevice << "\nmountOptions=" << m_mountOptions
      << "\nmountPath=" << m_mountPath << "\nmountPathFlag=" << m_mountPathFlag
      << "\nrepBasePath=" << m_repBasePath << "\nrepRelativePath=" << m_repRelativePath
      << "\nsourceGUID=" << m_sourceGUID << "\nvolumeFlags=0x" << std::hex << m_volumeFlags << std::dec
      << "\nappId=" << m_appId << "\nappTypeId=" << m_appTypeId << "\nbrannoxId=" << m_brannoxId
      << "\narchFileId=" << m_archFileId << "\ngroupId=" << m_groupId << "\ncopyId=" << m_copyId
      << "\njobId=" << m_jobId << "\nsourceClientId=" << m_sourceClientId
      << "\noriginClientId=" << m_originClientId << "\nmountHostId=" << m_mountHostId
      << "\nSMVolumeId=" << m_SMVolumeId << "\nSMSnapId=" << m_SMSnapId << "\n";
    out = s.str();
}

bool SMSnapInfo::operator==(SMSnapInfo const& o) const { return snapTie(*this) == snapTie(o); }

void SMSnapInfo::dump(std::string& out) const {
    std::ostringstream s;
    s << "SMSnapId=" << m_SMSnapId << "\nsnapDevice=" << m_snapDevice
      << "\nsnapSourceDevice=" << m_snapSourceDevice << "\nuniqueIdentifier=" << m_uniqueIdentifier
      << "\nsnapFlags=0x" << std::hex << m_snapFlags << "\nsnapFlagsEx=0x" << m_snapFlagsEx << std::dec
      << "\nsnapShotEngineId=" << m_snapShotEngineId << "\ncontrolHostId=" << m_controlHostId
      << "\ncreationTime=" << m_creationTime << "\n";
    out = s.str();
}

void SMVolSnapInfo::reset(int) { *this = SMVolSnapInfo(); }

void SMVolSnapInfo::addVolume(SMVolumeInfo const& volume, bool atEnd) {
    if (atEnd)
        m_volumes.push_back(volume);
    else
        m_volumes.insert(m_volumes.begin(), volume);
}

void SMVolSnapInfo::setSnapFlagsBitForAllSnaps(int bit) {
    for (auto& s : m_snaps) s.setSnapFlags(s.getSnapFlags() | bit);
}

SMSnapInfo* SMVolSnapInfo::findSnap(int smSnapId) {
    for (auto& s : m_snaps)
        if (s.getSMSnapId() == smSnapId) return &s;
    return nullptr;
}

SMSnapInfo const* SMVolSnapInfo::findSnap(int smSnapId) const {
    return const_cast<SMVolSnapInfo*>(this)->findSnap(smSnapId);
}

bool SMVolSnapInfo::operator==(SMVolSnapInfo const& o) const {
    auto head = [](SMVolSnapInfo const& r) {
        return std::make_tuple(r.m_jobId, r.m_snapJobId, r.m_brannoxId, r.m_appTypeId, r.m_sourceClientId,
                               r.m_snapShotEngineId, r.m_copyParamType, r.m_copyParam, r.m_arrayNum,
                               r.m_opMode, r.m_snapActionFlags, r.m_retrieveValidFlags, r.m_archFileId,
                               r.m_errorCode, r.m_errorString);
    };
    return head(*this) == head(o) && m_volumes == o.m_volumes && m_snaps == o.m_snaps &&
           m_volSnapMap == o.m_volSnapMap && m_controlHosts == o.m_controlHosts && m_engines == o.m_engines &&
           m_metadata == o.m_metadata;
}

std::string SMVolSnapInfo::DumpStr() const {
    std::ostringstream s;
    s << "jobId=" << m_jobId << " snapJobId=" << m_snapJobId << " brannoxId=" << m_brannoxId
      << " appTypeId=" << m_appTypeId << " sourceClientId=" << m_sourceClientId
      << " snapShotEngineId=" << m_snapShotEngineId << " copyParamType=" << m_copyParamType
      << " copyParam=" << m_copyParam << " arrayNum=" << m_arrayNum << " opMode=" << m_opMode
      << " snapActionFlags=0x" << std::hex << m_snapActionFlags << " retrieveValidFlags=0x"
      << m_retrieveValidFlags << std::dec << " archFileId=" << m_archFileId << " error=" << m_errorCode
      << " errorString=[" << m_errorString << "]\n";
    std::string part;
    for (size_t i = 0; i < m_volumes.size(); ++i) {
        m_volumes[i].dump(part);
        s << "-- volume " << i << "\n" << part;
    }
    for (size_t i = 0; i < m_snaps.size(); ++i) {
        m_snaps[i].dump(part);
        s << "-- snap " << i << "\n" << part;
    }
    for (auto const& m : m_volSnapMap)
        s << "-- map volume " << m.getSMVolumeId() << " -> snap " << m.getSMSnapId() << "\n";
    for (auto const& h : m_controlHosts)
        s << "-- control host " << h.getControlHostId() << " " << h.getHostName() << " vendor="
          << h.getVendorName() << " engine=" << h.getSnapShotEngineId() << "\n";
    for (auto const& e : m_engines)
        s << "-- engine " << e.getSnapShotEngineId() << " " << e.getVendorName() << " " << e.getEngineName()
          << "\n";
    for (auto const& m : m_metadata)
        s << "-- metadata ref " << m.getRefId() << " type " << m.getMetadataType() << " [" << m.getMetadata() << "]\n";
    return s.str();
}

void SMVolSnapInfo::dump(char const* title) const {
    EvEvent ev(static_cast<uint64_t>(m_jobId < 0 ? 0 : m_jobId));
    EvDebug::DebugLvl(&ev, 2, "SMVolSnapInfo::dump", "%s\n%s", title ? title : "", DumpStr().c_str());
}
