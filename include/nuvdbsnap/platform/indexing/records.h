// Records the indexing client takes: the key of an archive file, the header of
// a metadata value, and the quit hook that long index calls consult.
#pragma once

#include <cstdint>

// The key of one archive file.
struct ArchiveFileId_t {
    uint32_t brannoxId = 0;
    uint32_t archGroupId = 0;
    uint32_t archFileId = 0;
};

// Header of one metadata value sent before an entry: seven 32-bit words in
// host byte order. A new record has every word 0.
struct IndexMetaDataStruct {
    static constexpr uint32_t kMagic = 0x5599AA44;

    uint32_t magic = 0;         // word 1: kMagic
    uint32_t version = 0;       // word 2: 1
    uint32_t metadataType = 0;  // word 3: the metadata type id
    uint32_t reserved = 0;      // word 4: 0
    uint32_t encoding = 0;      // word 5: 0 (the record's own)
    uint32_t valueLength = 0;   // word 6: bytes of the value with its NUL
    uint32_t dataLength = 0;    // word 7: the same number
};
static_assert(sizeof(IndexMetaDataStruct) == 28, "IndexMetaDataStruct: seven words");

// Metadata type ids in use.
constexpr uint32_t kIdxMetaTableLevel = 0x36F6102F;   // table and tablespace metadata
constexpr uint32_t kIdxMetaOsPath = 0x2693795B;       // Sybase, Oracle, PostgreSQL paths
constexpr uint32_t kIdxMetaOracleSap = 0x4B0A9800;    // Oracle for SAP, snapshot content
constexpr uint32_t kIdxMetaMySql = 0x2DF08A7C;        // MySQL paths
constexpr uint32_t kIdxMetaTableView = 0x57571A98;    // IDXDBINFO__VIEW_ID: "TABLEVIEW"

// Quit hook: long index calls ask it whether the job was asked to stop.
class CheckIfShouldQuit {
public:
    CheckIfShouldQuit() = default;
    virtual ~CheckIfShouldQuit() = default;
    virtual bool checkIfShouldQuit() { return false; }
};
