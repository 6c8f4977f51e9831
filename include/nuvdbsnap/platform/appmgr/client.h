// Clients of the application manager. A JZClient is built on a client name
// (matched without regard to case) or on a client id and reads the client row
// on each call: 0 on success, non-zero on failure (getLastError /
// getErrorString tell why). The network host name is the declared host, or the
// client name when none was declared; its mangled form is the suite's
// "<host>*<client>*<port>*<brannox id>".
#pragma once

#include "nuvdbsnap/platform/appmgr/status.h"

#include <string>

class JZClient : public nuvsuite::LastErrorRecord {
public:
    JZClient(std::string const& clientName, bool /*unused*/, int /*unused*/);
    explicit JZClient(unsigned long clientId);
    virtual ~JZClient();

    // 0 when the client exists.
    [[nodiscard]] int lookup(void* context);
    // 0 and the client's id; id untouched on failure.
    [[nodiscard]] int getClientId(unsigned long& id, void* context);
    [[nodiscard]] int getClientName(std::string& name, void* context);
    [[nodiscard]] int getNetworkHostname(std::string& host, void* context);
    [[nodiscard]] int getNetworkHostnameMangled(std::string& mangled, void* context);

private:
    struct Row;
    int readRow(char const* call, Row& row);

    std::string m_name;            // set when built on a name
    unsigned long m_clientId = 0;  // set when built on an id
    bool m_byName = false;
};

// Client-wide properties.
class ClientProperties : public nuvsuite::LastErrorRecord {
public:
    explicit ClientProperties(unsigned long clientId);
    virtual ~ClientProperties();

    // 0 and the client's application type (1 marks a cloud database client).
    [[nodiscard]] int getClientAppType(int& appType, void* context);

private:
    unsigned long m_clientId = 0;
};

// The applications of a client.
class ClientApplicationList : public nuvsuite::LastErrorRecord {
public:
    ClientApplicationList() = default;
    virtual ~ClientApplicationList();

    // 0 with the id and name of the default backup set of (client, application
    // type, instance); non-zero (outputs unchanged) when there is none.
    [[nodiscard]] int getDefaultBackupSet(unsigned long clientId, unsigned long appType,
                                          unsigned long instanceId, unsigned long& backupSetId,
                                          std::string& name, void* context);
};
