// Mangled host names of the local suite.
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace nuvsuite {

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::string MangleHostName(std::string const& host, std::string const& client, int port, int brannoxId) {
    if (host.find('*') != std::string::npos || client.find('*') != std::string::npos) return "";
    return host + "*" + client + "*" + std::to_string(port) + "*" + std::to_string(brannoxId);
}

std::string LocalMangledHostName() {
    std::string name = LocalHostName();
    return MangleHostName(name, name, kLocalPort, kLocalBrannoxId);
}

}  // namespace nuvsuite

namespace {

bool ParseInt(std::string const& text, int* value) {
    if (text.empty()) {
        *value = 0;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
    *value = static_cast<int>(parsed);
    return true;
}

}  // namespace

int DemangleHostName(char const* mangled, std::string& hostName, std::string& clientName,
                     int& port, int& brannoxId) {
    hostName.clear();
    clientName.clear();
    port = 0;
    brannoxId = 0;
    if (mangled == nullptr || *mangled == '\0') return -1;

    std::vector<std::string> parts;
    std::string text(mangled);
    size_t start = 0;
    for (;;) {
        size_t star = text.find('*', start);
        parts.push_back(text.substr(start, star == std::string::npos ? std::string::npos : star - start));
        if (star == std::string::npos) break;
        start = star + 1;
    }
    if (parts.size() == 1) {
        hostName = clientName = parts[0];
        return 0;
    }
    if (parts.size() > 4) return -1;
    int p = 0;
    int b = 0;
    if ((parts.size() > 2 && !ParseInt(parts[2], &p)) || (parts.size() > 3 && !ParseInt(parts[3], &b)))
        return -1;
    hostName = parts[0];
    clientName = parts[1].empty() ? parts[0] : parts[1];
    port = p;
    brannoxId = b;
    return 0;
}
