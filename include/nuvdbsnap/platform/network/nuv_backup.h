// NuvBackup: the agent's request client of the central server. The local
// suite's central server keeps each request it takes in the catalogue
// (table central_requests), where the admin command and readers see them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class NuvBackup {
public:
    NuvBackup() = default;
    virtual ~NuvBackup() = default;

    // Catalogues Sybase databases: xml is the text of a Nuv::NuvBackupInfo
    // holding one catalogue entry. 0 when the central server took it; -1 for a
    // text that is no such message (kept nowhere), a fault's code otherwise.
    int setSybaseCatalogEntries(unsigned long brannoxId, std::string const& xml, void* context);
};

namespace nuvnetwork {

// One request the central server took.
struct CentralRequest {
    int64_t id = 0;
    uint32_t brannoxId = 0;
    std::string kind;      // "sybase-catalogue"
    std::string xml;
    int64_t time = 0;
};

// The requests of a kind (every kind when empty), oldest first.
std::vector<CentralRequest> ListCentralRequests(std::string const& kind);

}  // namespace nuvnetwork
