// The XML form of a snapshot record (the form of the snapshot-info file):
//   <SMVolSnapInfo jobId=".." ...>
//     <Volume .../>* <Snap .../>* <VolSnapMap .../>* <ControlHost .../>* <SnapShotEngine .../>* <MetaData .../>*
//   </SMVolSnapInfo>
// Every field is an attribute, so every byte but NUL round-trips exactly
// (control characters are written as character references).
#include "nuvdbsnap/platform/snapmgr/snap_client.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <type_traits>

namespace {

constexpr char const* kRoot = "SMVolSnapInfo";

struct Writer {
    pugi::xml_node node;
    bool ok = true;
    void str(char const* name, std::string const& v) {
        if (v.find('\0') != std::string::npos) ok = false;
        node.append_attribute(name).set_value(v.c_str());
    }
    template <typename T>
    void num(char const* name, T v) {
        if constexpr (std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
            node.append_attribute(name).set_value(static_cast<unsigned long long>(v));
        else
            node.append_attribute(name).set_value(static_cast<long long>(v));
    }
};

// Missing attributes keep the record's default; malformed numbers fail the read.
struct Reader {
    pugi::xml_node node;
    bool ok = true;
    void str(char const* name, std::string& v) {
        pugi::xml_attribute a = node.attribute(name);
        if (a) v = a.value();
    }
    template <typename T>
    void num(char const* name, T& v) {
        pugi::xml_attribute a = node.attribute(name);
        if (!a) return;
        char const* text = a.value();
        char* end = nullptr;
        errno = 0;
        if constexpr (std::is_unsigned_v<T> && !std::is_same_v<T, bool>) {
            unsigned long long n = std::strtoull(text, &end, 10);
            if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 ||
                static_cast<unsigned long long>(static_cast<T>(n)) != n) {
                ok = false;
                return;
            }
            v = static_cast<T>(n);
        } else {
            long long n = std::strtoll(text, &end, 10);
            if (*text == '\0' || *end != '\0' || errno != 0 ||
                static_cast<long long>(static_cast<T>(n)) != n) {
                ok = false;
                return;
            }
            v = static_cast<T>(n);
        }
    }
};

// One description of each record's fields serves both directions: each field is
// read into a temporary, handed to the writer or reader, and set back. The
// writer works on a copy of the record, so setting back changes nothing.
#define STR_FIELD(rec, name, get, set)  \
    do {                                 \
        std::string t_ = (rec).get();    \
        io.str(name, t_);                \
        (rec).set(t_);                   \
    } while (0)
#define NUM_FIELD(rec, type, name, get, set) \
    do {                                      \
        type t_ = (rec).get();                \
        io.num(name, t_);                     \
        (rec).set(t_);                        \
    } while (0)

template <typename IO>
void volumeFields(IO& io, SMVolumeInfo& v) {
    STR_FIELD(v, "sourcePath", getSourcePath, setSourcePath);
    STR_FIELD(v, "originalSourcePath", getOriginalSourcePath, setOriginalSourcePath);
    STR_FIELD(v, "sourceDevice", getSourceDevice, setSourceDevice);
    STR_FIELD(v, "mountOptions", getMountOptions, setMountOptions);
    STR_FIELD(v, "mountPath", getMountPath, setMountPath);
    STR_FIELD(v, "repBasePath", getRepBasePath, setRepBasePath);
    STR_FIELD(v, "repRelativePath", getRepRelativePath, setRepRelativePath);
    STR_FIELD(v, "sourceGUID", getSourceGUID, setSourceGUID);
    NUM_FIELD(v, bool, "mountPathFlag", getMountPathFlag, setMountPathFlag);
    NUM_FIELD(v, int, "volumeFlags", getVolumeFlags, setVolumeFlags);
    NUM_FIELD(v, int, "appId", getAppId, setAppId);
    NUM_FIELD(v, int, "appTypeId", getAppTypeId, setAppTypeId);
    NUM_FIELD(v, int, "brannoxId", getBrannoxId, setBrannoxId);
    NUM_FIELD(v, int, "archFileId", getArchFileId, setArchFileId);
    NUM_FIELD(v, int, "groupId", getGroupId, setGroupId);
    NUM_FIELD(v, int, "copyId", getCopyId, setCopyId);
    NUM_FIELD(v, int, "jobId", getJobId, setJobId);
    NUM_FIELD(v, int, "sourceClientId", getSourceClientId, setSourceClientId);
    NUM_FIELD(v, int, "originClientId", getOriginClientId, setOriginClientId);
    NUM_FIELD(v, int, "mountHostId", getMountHostId, setMountHostId);
    NUM_FIELD(v, int, "SMVolumeId", getSMVolumeId, setSMVolumeId);
    NUM_FIELD(v, int, "SMSnapId", getSMSnapId, setSMSnapId);
}

template <typename IO>
void snapFields(IO& io, SMSnapInfo& s) {
    NUM_FIELD(s, int, "SMSnapId", getSMSnapId, setSMSnapId);
    STR_FIELD(s, "snapDevice", getSnapDevice, setSnapDevice);
    STR_FIELD(s, "snapSourceDevice", getSnapSourceDevice, setSnapSourceDevice);
    STR_FIELD(s, "uniqueIdentifier", getUniqueIdentifier, setUniqueIdentifier);
    NUM_FIELD(s, int, "snapFlags", getSnapFlags, setSnapFlags);
    NUM_FIELD(s, uint64_t, "snapFlagsEx", getSnapFlagsEx, setSnapFlagsEx);
    NUM_FIELD(s, int, "snapShotEngineId", getSnapShotEngineId, setSnapShotEngineId);
    NUM_FIELD(s, int, "controlHostId", getControlHostId, setControlHostId);
    NUM_FIELD(s, int64_t, "creationTime", getCreationTime, setCreationTime);
}

template <typename IO>
void mapFields(IO& io, SMVolSnapMapInfo& m) {
    NUM_FIELD(m, int, "SMVolumeId", getSMVolumeId, setSMVolumeId);
    NUM_FIELD(m, int, "SMSnapId", getSMSnapId, setSMSnapId);
}

template <typename IO>
void hostFields(IO& io, SMControlHostInfo& h) {
    NUM_FIELD(h, int, "controlHostId", getControlHostId, setControlHostId);
    STR_FIELD(h, "hostName", getHostName, setHostName);
    STR_FIELD(h, "vendorName", getVendorName, setVendorName);
    NUM_FIELD(h, int, "snapShotEngineId", getSnapShotEngineId, setSnapShotEngineId);
}

template <typename IO>
void engineFields(IO& io, SMSnapShotEngineInfo& e) {
    NUM_FIELD(e, int, "snapShotEngineId", getSnapShotEngineId, setSnapShotEngineId);
    STR_FIELD(e, "vendorName", getVendorName, setVendorName);
    STR_FIELD(e, "engineName", getEngineName, setEngineName);
}

template <typename IO>
void metaFields(IO& io, SMMetaDataInfo& m) {
    NUM_FIELD(m, int, "refId", getRefId, setRefId);
    NUM_FIELD(m, int, "type", getMetadataType, setMetadataType);
    STR_FIELD(m, "text", getMetadata, setMetadata);
}

template <typename IO>
void recordFields(IO& io, SMVolSnapInfo& r) {
    NUM_FIELD(r, int, "jobId", getJobId, setJobId);
    NUM_FIELD(r, int, "snapJobId", getSnapJobId, setSnapJobId);
    NUM_FIELD(r, int, "brannoxId", getBrannoxId, setBrannoxId);
    NUM_FIELD(r, int, "appTypeId", getAppTypeId, setAppTypeId);
    NUM_FIELD(r, int, "sourceClientId", getSourceClientId, setSourceClientId);
    NUM_FIELD(r, int, "snapShotEngineId", getSnapShotEngineId, setSnapShotEngineId);
    NUM_FIELD(r, int, "copyParamType", getCopyParamType, setCopyParamType);
    NUM_FIELD(r, int, "copyParam", getCopyParam, setCopyParam);
    NUM_FIELD(r, int, "arrayNum", getArrayNum, setArrayNum);
    NUM_FIELD(r, int, "opMode", getOpMode, setOpMode);
    NUM_FIELD(r, int, "snapActionFlags", getSnapActionFlags, setSnapActionFlags);
    NUM_FIELD(r, int, "retrieveValidFlags", getRetrieveValidFlags, setRetrieveValidFlags);
    NUM_FIELD(r, int, "archFileId", getArchFileId, setArchFileId);
    int code = r.getErrorCode();
    std::string text = r.getErrorString();
    io.num("errorCode", code);
    io.str("errorString", text);
    r.setError(code, text);
}

#undef STR_FIELD
#undef NUM_FIELD

}  // namespace

int JZSnapClientAPI_VolSnapInfoObjectToXMLStr(SMVolSnapInfo const& record, std::string& text) {
    text.clear();
    pugi::xml_document doc;
    SMVolSnapInfo copy = record;  // the field walk sets values back; keep the caller's record as is
    Writer w{doc.append_child(kRoot)};
    recordFields(w, copy);
    auto child = [&](char const* name) { return Writer{w.node.append_child(name)}; };
    for (auto it = copy.volumeListBegin(); it != copy.volumeListEnd(); ++it) {
        Writer c = child("Volume");
        volumeFields(c, *it);
        w.ok = w.ok && c.ok;
    }
    for (auto it = copy.snapListBegin(); it != copy.snapListEnd(); ++it) {
        Writer c = child("Snap");
        snapFields(c, *it);
        w.ok = w.ok && c.ok;
    }
    for (auto it = copy.volSnapMapListBegin(); it != copy.volSnapMapListEnd(); ++it) {
        Writer c = child("VolSnapMap");
        mapFields(c, *it);
    }
    for (SMControlHostInfo h : copy.controlHosts()) {
        Writer c = child("ControlHost");
        hostFields(c, h);
        w.ok = w.ok && c.ok;
    }
    for (SMSnapShotEngineInfo e : copy.snapShotEngines()) {
        Writer c = child("SnapShotEngine");
        engineFields(c, e);
        w.ok = w.ok && c.ok;
    }
    for (SMMetaDataInfo m : copy.metaData()) {
        Writer c = child("MetaData");
        metaFields(c, m);
        w.ok = w.ok && c.ok;
    }
    if (!w.ok) return -1;
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw, pugi::encoding_utf8);
    text = out.str();
    return text.empty() ? -1 : 0;
}

int JZSnapClientAPI_VolSnapInfoXMLStrToObject(std::string const& text, SMVolSnapInfo& record) {
    if (text.empty()) return -1;
    pugi::xml_document doc;
    pugi::xml_parse_result parsed =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) return -2;
    pugi::xml_node root = doc.child(kRoot);
    if (!root || root.next_sibling(kRoot)) return -3;

    SMVolSnapInfo result;
    Reader r{root};
    recordFields(r, result);
    for (pugi::xml_node n : root.children()) {
        Reader c{n};
        std::string name = n.name();
        if (name == "Volume") {
            SMVolumeInfo v;
            volumeFields(c, v);
            result.addVolume(v, true);
        } else if (name == "Snap") {
            SMSnapInfo s;
            snapFields(c, s);
            result.addSnap(s);
        } else if (name == "VolSnapMap") {
            SMVolSnapMapInfo m;
            mapFields(c, m);
            result.addVolSnapMap(m);
        } else if (name == "ControlHost") {
            SMControlHostInfo h;
            hostFields(c, h);
            result.addControlHost(h);
        } else if (name == "SnapShotEngine") {
            SMSnapShotEngineInfo e;
            engineFields(c, e);
            result.addSnapShotEngine(e);
        } else if (name == "MetaData") {
            SMMetaDataInfo m;
            metaFields(c, m);
            result.addMetaData(m);
        } else if (n.type() == pugi::node_element) {
            return -4;  // an element this form does not have
        }
        if (!c.ok) return -5;
    }
    if (!r.ok) return -5;
    record = result;
    return 0;
}
