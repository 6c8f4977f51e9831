// Declaring the application manager's rows: what the admin command's
// `declare` does, as a C++ call for tests and programs. An id of 0 is assigned
// by the catalogue (and returned through `assignedId`); declaring an id that
// exists already fails, nothing is overwritten.
#pragma once

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <string>
#include <vector>

namespace nuvappmgr {

struct ClientDecl {
    unsigned long id = 0;
    std::string name;  // unique, matched without regard to case; must not be empty
    std::string host;  // network host name; empty: the client name
    int appType = 0;   // the client's own application type (1: cloud database client)
};

struct InstanceDecl {
    unsigned long id = 0;
    unsigned long clientId = 0;
    std::string name;
    int appType = 0;
};

struct BackupSetDecl {
    unsigned long id = 0;
    unsigned long clientId = 0;
    int appType = 0;
    unsigned long instanceId = 0;
    std::string name;
    bool isDefault = false;
};

struct SubclientDecl {
    unsigned long id = 0;
    std::string name;
    std::string guid;  // empty: assigned on first read
    bool blockLevel = false;
    bool metadata = false;
    bool spos = false;
    int snapEngine = 0;
    int dataStreams = 0;
};

struct ApplicationDecl {
    unsigned long id = 0;
    unsigned long brannoxId = nuvsuite::kLocalBrannoxId;
    unsigned long clientId = 0;
    int appType = 0;
    unsigned long instanceId = 0;   // 0: none
    unsigned long backupSetId = 0;  // 0: none
    unsigned long subclientId = 0;  // 0: none
};

[[nodiscard]] CFzError DeclareClient(ClientDecl const& decl, unsigned long* assignedId = nullptr);
[[nodiscard]] CFzError DeclareInstance(InstanceDecl const& decl, unsigned long* assignedId = nullptr);
[[nodiscard]] CFzError DeclareBackupSet(BackupSetDecl const& decl, unsigned long* assignedId = nullptr);
[[nodiscard]] CFzError DeclareSubclient(SubclientDecl const& decl, unsigned long* assignedId = nullptr);
[[nodiscard]] CFzError DeclareApplication(ApplicationDecl const& decl, unsigned long* assignedId = nullptr);

// Sets (replaces) one stored property of an instance.
[[nodiscard]] CFzError SetInstanceProperty(unsigned long instanceId, std::string const& name,
                                           std::string const& value, int type = 0, int number = 0);

// Replaces the stored content of a subclient or an instance.
enum class ContentOwner { Subclient, Instance };
[[nodiscard]] CFzError SetContent(ContentOwner owner, unsigned long ownerId,
                                  std::vector<std::string> const& paths);

}  // namespace nuvappmgr
