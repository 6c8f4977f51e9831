// The Oracle file model of one database's catalogue for one snap job:
// OraElement (one file), ASMDisk / ASMDiskGroup (the ASM storage it lives in)
// and OraDBInfo (the catalogue). The catalogue path is an element's text form:
// "/<db>/<category>/[+<group>/]<path with '~' for '/'>[/<extra>]".
// Objects belong to the calling thread; the image-copy content and its maps
// are process-wide and unguarded.
#pragma once

#include "nuvdbsnap/platform/msg/messages.h"
#include "nuvdbsnap/platform/snapmgr/asm_disk_group_name.h"
#include "nuvdbsnap/platform/snapmgr/sm_volume_info.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

typedef int64_t JZJobID;

// One bit per kind of Oracle file; 0 is a tablespace's data file.
enum OraElementType : int32_t {
    TABLESPACE_FILE = 0,
    LOG = 1,
    CONTROL_FILE = 2,
    SP_FILE = 4,
    CONFIG_FILE = 8,
    BLOCKTRACKING_FILE = 16,
    REDOLOG_FILE = 32,
    METADATA_FILE = 64,
};

class OraDBInfo;

// One database file (a plain record, copied by value).
class OraElement {
public:
    OraElement() = default;
    OraElement(OraElement const&) = default;
    OraElement& operator=(OraElement const&) = default;
    ~OraElement() = default;

    // Equal when the volume, disk-group and tablespace indexes and the paths are.
    bool operator==(OraElement const& other) const;

    // The element's catalogue path with extra (when not empty) as a last
    // component. Leaves m_path slash-reduced ('~' in it become '/').
    std::string toString(OraDBInfo const& info, std::string extra);

    // The file path of a catalogue path (text after its last '/', up to a '|',
    // '~' as '/') moved from under the source mount to under the snapshot
    // mount; the empty string (with a log line) when it does not lie under the
    // source mount or its links cannot be resolved. An empty snapshot mount
    // gives the file path itself.
    static std::string translatePath(std::string const& cataloguePath, std::string const& sourceMount,
                                     std::string const& snapMount, unsigned const& symLinkFlag,
                                     JZJobID const& jobId);
    static std::string translatePath(std::string const& cataloguePath, std::string const& sourceMount,
                                     std::string const& snapMount);

    std::string m_path;
    OraElementType m_type = TABLESPACE_FILE;
    int32_t m_tsInd = 0;
    int32_t m_dgInd = -1;
    int32_t m_fsInd = -1;
    JZJobID m_jobId = 0;
    int64_t m_archiveFileId = 0;
    int32_t m_auxValue = 0;       // carried for the agents, never read here
    uint32_t m_symLinkFlag = 2;
};

// One disk of an ASM disk group.
class ASMDisk {
public:
    ASMDisk() = default;
    ASMDisk(ASMDisk const&) = default;
    ASMDisk(ASMDisk&&) = default;
    ASMDisk& operator=(ASMDisk const&) = default;
    ASMDisk& operator=(ASMDisk&&) = default;

    // True when path (one trailing '/' ignored) names this disk by m_diskPath
    // or m_altDiskPath; trims one trailing '/' off both fields.
    bool operator==(std::string const& path);

    std::string m_extra1;
    std::string m_diskPath;
    uint32_t m_extraNum = 0;
    std::string m_extra2;
    std::string m_altDiskPath;
    int32_t m_archiveFileId = 0;
    int32_t m_extraInt = -1;
};

// One ASM disk group. getSnapDGName (the group's name on a snapshot) comes
// from the local suite's snapshot manager.
class ASMDiskGroup : public nuvsnapmgr::ASMDiskGroupNaming {
public:
    ASMDiskGroup(std::string const& name, long long jobId, int auxValue, int symLinkFlag);
    ASMDiskGroup(ASMDiskGroup const&) = default;
    ASMDiskGroup(ASMDiskGroup&&) = default;
    ASMDiskGroup& operator=(ASMDiskGroup const&) = default;
    ASMDiskGroup& operator=(ASMDiskGroup&&) = default;

    // Same length and equal ignoring case.
    bool operator==(std::string const& name) const;

    std::string m_name;
    std::string m_snapDGName;
    std::vector<ASMDisk> m_disks;
    long long m_jobId = 0;
    bool m_dgFlag = false;
    int32_t m_auxValue = 0;
    int32_t m_symLinkFlag = 0;
    Nuv::ASMDGMirrorInfo m_mirrorInfo;
};

// One database's catalogue. Elements refer to tablespace names, disk groups
// and volumes by index; the library only appends, so indexes stay valid.
class OraDBInfo {
public:
    OraDBInfo() = default;

    // Parses a catalogue path into an element, registers its database name,
    // tablespace, disk group and disk, appends it to its list unless an equal
    // element is there, and returns it. diskPath receives a fifth component.
    OraElement createOraElement(std::string const& cataloguePath, long long jobId, int auxValue,
                                int archiveFileId, int symLinkFlag, std::string* diskPath);
    OraElement createOraElement(std::string const& cataloguePath, long long jobId, int auxValue,
                                int archiveFileId, int symLinkFlag);
    OraElement createOraElement(std::string const& cataloguePath, long long jobId, int auxValue,
                                int archiveFileId);

    // The name of a type (its lowest set bit), or null when it has none.
    static char const* getElementTypeStr(OraElementType const& type);

    // Writes the catalogue index file (a new file, or appended to path);
    // 0 when every line and the close succeeded, -1 otherwise.
    int createOracleBCDIndexFile(std::string const& path, bool const& withData, bool const& append);

    // The path of an element: on its disk group, on its snapshot volume
    // (snapdev), physical (links resolved) or, else, through the image-copy map.
    // Empty when it cannot be resolved.
    std::string getDBFilePath(OraElement const& element, bool snapdev, bool physical);

    // Image-copy path <-> database file path, from the shared image-copy
    // content; the path itself when none is known.
    static std::string convertImageCopyPathToDBFilePath(std::string& path);
    static std::string convertDBFilePathToImageCopyPath(std::string& path);

    // True when a data element lies in that archive file.
    bool isDataArchiveFile(int const& archiveFileId) const;

    // The disk-group vector of a type's list (data: 0, 16, 64; archive: others).
    static bool isDataType(OraElementType type);
    std::vector<ASMDiskGroup>& diskGroupsOf(OraElementType type) { return isDataType(type) ? m_dataDGs : m_archDGs; }
    std::vector<ASMDiskGroup> const& diskGroupsOf(OraElementType type) const {
        return isDataType(type) ? m_dataDGs : m_archDGs;
    }
    // The element's disk group, or null when it is not on ASM (or its index is out of range).
    ASMDiskGroup const* diskGroupOf(OraElement const& element) const;

    bool m_infoFlag = true;
    std::vector<OraElement> m_dataElements;
    std::vector<OraElement> m_archElements;
    std::string m_dbName;
    std::vector<std::string> m_strList1;
    std::vector<std::string> m_strList2;
    std::vector<std::string> m_tsNames;
    std::vector<ASMDiskGroup> m_dataDGs;
    std::vector<ASMDiskGroup> m_archDGs;
    std::vector<SMVolumeInfo> m_volumes;

    // The image-copy content (null at start); the maps follow a replacement.
    static boost::shared_ptr<Nuv::OraDatabaseContent> m_pImageCopyContent;
};

// True for an element whose m_archiveFileId equals the id.
class OraDBInfoSearch {
public:
    explicit OraDBInfoSearch(int const& archiveFileId) : m_archiveFileId(archiveFileId) {}
    bool operator()(OraElement const& element) const { return element.m_archiveFileId == m_archiveFileId; }

private:
    int64_t m_archiveFileId;
};
