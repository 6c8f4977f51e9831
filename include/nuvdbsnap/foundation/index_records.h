// Records of the indexing service: the per-file header sent with each entry,
// and the rows and keys of the first-generation index query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <string>

// Bit 44 (counted from 0) of the header flags: the entry is a mount path.
constexpr uint64_t JZ_HDR_FLAG_MOUNT_PATH = 1ull << 44;

// The per-file header handed to IndexingConnection::sendFileInfo. Designations
// a1..a14 (32-bit), b1..b9 (64-bit), f1..f4 (bytes) in declared order.
struct JzFileHeader {
    static constexpr size_t kNameSize = 1028;   // 0x404: at most 1027 characters and the NUL

    uint32_t version = 0;        // a1: free
    uint32_t attributes = 0;     // a2: attribute word (0x50C0 at every writer)
    uint32_t streamId = 0;       // a3: free
    uint32_t nameLength = 0;     // a4: length of the name (or 0x404, the array size)
    int64_t mode = 0;            // b1: 0x4000 for a directory, 0 for a file
    int64_t inode = 0;           // b2: free
    int64_t linkCount = 0;       // b3: free
    uint32_t ownerId = 0;        // a5: free
    uint32_t groupId = 0;        // a6: free
    int64_t flags = 0;           // b4: header flags (JZ_HDR_FLAG_MOUNT_PATH)
    int64_t size = 0;            // b5: size in bytes
    int64_t time = 0;            // b6: time stamp, seconds since the epoch
    int64_t accessTime = 0;      // b7: free
    int64_t changeTime = 0;      // b8: free
    int64_t offset = 0;          // b9: free
    uint32_t spare7 = 0;         // a7: free
    uint32_t spare8 = 0;         // a8: free
    uint32_t spare9 = 0;         // a9: free
    uint32_t spare10 = 0;        // a10: free
    uint32_t spare11 = 0;        // a11: free
    uint32_t spare12 = 0;        // a12: free
    uint8_t f1 = 0;              // f1: free
    uint8_t f2 = 0;              // f2: free
    uint8_t f3 = 0;              // f3: free
    uint8_t f4 = 0;              // f4: free
    uint32_t spare13 = 0;        // a13: free
    uint32_t spare14 = 0;        // a14: free
    char name[kNameSize] = {};   // the NUL-terminated path; runs to the end of the record

    // Stores a path with its NUL. A path of more than 1027 characters (or null) is
    // refused: false, and the name is left as it was. Never cuts.
    [[nodiscard]] bool setName(char const* path) {
        if (path == nullptr) return false;
        size_t length = strnlen(path, kNameSize);
        if (length >= kNameSize) return false;
        memcpy(name, path, length + 1);
        return true;
    }
    [[nodiscard]] bool setName(std::string const& path) {
        if (path.size() >= kNameSize || path.find('\0') != std::string::npos) return false;
        memcpy(name, path.c_str(), path.size() + 1);
        return true;
    }
};

static_assert(offsetof(JzFileHeader, mode) == 16, "JzFileHeader: b1 at 16");
static_assert(offsetof(JzFileHeader, flags) == 48, "JzFileHeader: b4 at 48");
static_assert(offsetof(JzFileHeader, f1) == 120, "JzFileHeader: f1 at 120");
static_assert(offsetof(JzFileHeader, name) == 132, "JzFileHeader: name at 132");
static_assert(sizeof(JzFileHeader) == 1160, "JzFileHeader: the name runs to the end");

// One metadata item of an index row.
struct _IndexMetaDataInfo {
    int32_t type = 0;
    std::string value;
};

// One row of the first-generation query GetIndexArchFileInfo.
struct _IndexArchFileInfo {
    std::string path;                       // the entry's index path
    int32_t entryType = 0;                  // free
    int64_t jobId = 0;                      // handed to the symbolic-link map
    int64_t archFileId = 0;                 // archive file id of the entry
    int64_t offset = 0;                     // free
    int32_t flags = 0;                      // free
    std::list<_IndexMetaDataInfo> metadata; // the first item's value is the operating-system path
};

// Subclient key of GetIndexArchFileInfo (callers set all four fields).
struct _GetIndexSubclientInfo {
    uint32_t appId = 0;          // application id
    uint32_t cacheType = 0;      // index cache type
    int32_t time = 0;            // seconds
    int64_t jobId = 0;
};
