// Records of the agent utilities: the SDK token-file contents and the passwd
// entry of a user id.
#pragma once

#include <cstdint>
#include <string>

// Filled by the SDK's token reader from a token file.
struct _FZSDKTokenFileContents {
    char centralServerName[256] = {};        // the central server's host name
    char userName[256] = {};
    char guid[128] = {};
    char centralServerClientName[1024] = {};  // the central server's client name
};

// The password-database entry of a numeric user id (getpwuid_r). All strings are
// empty when the id has no entry.
struct JzPwEnt {
    explicit JzPwEnt(unsigned int uid);

    std::string name;            // the user name
    uint32_t uid = 0;
    uint32_t gid = 0;
    bool found = false;          // the id has an entry
    std::string password;
    std::string gecos;
    std::string homeDirectory;
    std::string shell;
};
