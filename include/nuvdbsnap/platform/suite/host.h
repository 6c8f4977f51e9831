// Host names of the local suite. The suite hands hosts around in a mangled
// form that carries the network host name, the client name and two numbers:
//   "<host>*<client>*<port>*<brannox id>"
// DemangleHostName splits it again. The local suite runs as Brannox id 2 on
// the local host.
#pragma once

#include <string>

namespace nuvsuite {

// Port the local suite's services answer on (nominal: everything is in process).
constexpr int kLocalPort = 8400;

// The local host's network name (gethostname), never empty.
std::string LocalHostName();

// "<host>*<client>*<port>*<brannoxId>". A '*' inside a name is refused: the
// result is then empty.
std::string MangleHostName(std::string const& host, std::string const& client, int port, int brannoxId);

// The local host in mangled form: its name as host and client, kLocalPort, Brannox id 2.
std::string LocalMangledHostName();

}  // namespace nuvsuite

// Splits a mangled host into host name, client name, port and Brannox id.
// A plain name without '*' gives that name for both names and 0 for both
// numbers. Returns 0, or -1 for a null or empty host or a malformed number
// (outputs are then cleared).
int DemangleHostName(char const* mangled, std::string& hostName, std::string& clientName,
                     int& port, int& brannoxId);
