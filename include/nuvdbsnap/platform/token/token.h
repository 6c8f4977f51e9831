// The SDK token library: reads a command-line token file and builds the
// command-line token from what it holds.
//
// A token file is text, one "name=value" a line, in sections "[<key>]"; the
// lines before the first section form the section of the empty key. A section
// names the central server ("server"), its client name ("serverClient"), the
// user ("user") and the user's GUID ("guid"). Blank lines and lines starting
// with '#' are skipped.
//
// Both calls are journalled ("token", call, the file or the server; never a
// GUID or a token) and obey the fault table. Results: 0 on success, else an
// errno value (or the fault's code).
#pragma once

#include "nuvdbsnap/foundation/agent_records.h"

#include <string>

// Fills *contents (zero-filled first) from the section `key` of the token file.
// found is true when the section exists and names a user and a GUID. A value
// that does not fit its field fails with EOVERFLOW (never cut); every field
// is always zero-terminated.
unsigned long getFZSDKTokenInfoWrapper(_FZSDKTokenFileContents* contents, std::string key, std::string tokenFile,
                                       std::string reserved, bool& found);

// The token of (server, server client, user, GUID): "FZT1:" and the hexadecimal
// bytes of the four texts joined by '\x1f'. EINVAL when user or GUID is empty.
unsigned long FZSDKConstructTokenWrapper(char const* server, char const* serverClient, std::string const& user,
                                         std::string const& guid, std::string& token);
