// Subclients of the application manager: a handle on one subclient row (id)
// whose settings (name, GUID, block-level, metadata and SPOS flags, snapshot
// engine type, data streams) and content are read from the catalogue on each
// call. Every int-returning call gives 0 on success and a non-zero number on
// failure, with getLastError / getErrorString telling why.
#pragma once

#include "nuvdbsnap/platform/appmgr/content.h"
#include "nuvdbsnap/platform/appmgr/status.h"

#include <string>

class Subclient : public virtual ApplBackupContent, public nuvsuite::LastErrorRecord {
public:
    explicit Subclient(unsigned long subclientId);
    ~Subclient() override;

    unsigned long getSubclientId() const { return m_subclientId; }

    [[nodiscard]] int lookup(void* context);
    [[nodiscard]] int getSubclientName(std::string& name, void* context);
    // The subclient's GUID; one is assigned (and kept) on first read when none was declared.
    [[nodiscard]] int getGUIDStr(std::string& guid, void* context);
    [[nodiscard]] int getUseBlockLevelBackup(unsigned long& value, void* context);
    [[nodiscard]] int getEnableMetadataBackup(unsigned long& value, void* context);
    [[nodiscard]] int getUseBlockLevelSPOSBackup(unsigned long& value, void* context);
    [[nodiscard]] int getSnapEngine(unsigned long& engineType, void* context);

    // The stored content, in order.
    [[nodiscard]] int getFiles(BackupContent& content, void* context, bool refresh) override;
    // Operation 1 replaces the stored content with `newContent`, provided the
    // stored content still equals `currentContent` (else kAppMgrConflict and
    // nothing changes). Other operations are refused (kAppMgrNotSupported).
    [[nodiscard]] int updateContent(int operation, BackupContent const& newContent,
                                    BackupContent const& currentContent, bool, void* context, void* context2);

protected:
    // Journals the call and consults the fault table: 0, or the (stored) fault code.
    int enter(char const* call);
    // Reads one number column of the subclient row into `value`; 0 on success.
    int readNumber(char const* call, char const* column, unsigned long& value);

private:
    unsigned long m_subclientId = 0;
};

// The subclient of an Oracle application (22, 80): ApplicationId::getSubclient
// hands out this type for them.
class OracleBackpack : public Subclient {
public:
    explicit OracleBackpack(unsigned long subclientId);
    ~OracleBackpack() override;

    // 0 and the number of data backup streams (0 when none were declared).
    [[nodiscard]] int getDataBackupStreams(int& streams, void* context);
};
