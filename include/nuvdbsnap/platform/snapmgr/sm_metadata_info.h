// One metadata entry of a snapshot record: the id it refers to (an SM snap
// id), its type and its text. Types the suite writes for each snapshot it
// makes: 8 the snap GUID, 9 the native mount directory of the snap (its
// point-in-time copy), 21 the snap's mount options.
#pragma once

#include <string>

constexpr int SM_METADATA_SNAP_GUID = 8;
constexpr int SM_METADATA_NATIVE_MOUNT_DIR = 9;
constexpr int SM_METADATA_SNAP_MOUNT_OPTIONS = 21;

class SMMetaDataInfo {
public:
    SMMetaDataInfo() = default;
    SMMetaDataInfo(int refId, int type, std::string text) : m_refId(refId), m_type(type), m_text(std::move(text)) {}
    int getRefId() const { return m_refId; }
    void setRefId(int v) { m_refId = v; }
    int getMetadataType() const { return m_type; }
    void setMetadataType(int v) { m_type = v; }
    std::string const& getMetadata() const { return m_text; }
    void setMetadata(std::string const& v) { m_text = v; }
    bool operator==(SMMetaDataInfo const& o) const {
        return m_refId == o.m_refId && m_type == o.m_type && m_text == o.m_text;
    }
    bool operator!=(SMMetaDataInfo const& o) const { return !(*this == o); }

private:
    int m_refId = 0;
    int m_type = 0;
    std::string m_text;
};
