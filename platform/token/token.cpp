// The SDK token library (contract in token.h).
#include "nuvdbsnap/platform/token/token.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/suite/service_call.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

unsigned long Faulted(nuvsuite::CallFault const& fault) {
    return fault.code > 0 ? static_cast<unsigned long>(fault.code) : static_cast<unsigned long>(EIO);
}

// Copies value into a field of `size` bytes, terminated; false when it does not fit.
bool Store(char* field, std::size_t size, std::string const& value) {
    if (value.size() >= size) return false;
    std::memcpy(field, value.c_str(), value.size() + 1);
    return true;
}

}  // namespace

unsigned long getFZSDKTokenInfoWrapper(_FZSDKTokenFileContents* contents, std::string key, std::string tokenFile,
                                       std::string /*reserved*/, bool& found) {
    found = false;
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("token", "getFZSDKTokenInfoWrapper", "file=" + tokenFile + " key=" + key, &fault))
        return Faulted(fault);
    if (contents == nullptr) return EINVAL;
    *contents = _FZSDKTokenFileContents();
    char* raw = nullptr;
    unsigned long size = 0;
    CFzError e = CFzFile::ReadWholeFile(tokenFile, &raw, size);
    if (e.IsError()) return errno != 0 ? static_cast<unsigned long>(errno) : static_cast<unsigned long>(EIO);
    std::unique_ptr<char[]> owned(raw);
    std::string const text(raw, size);

    std::string section;
    bool inSection = key.empty(), sawSection = key.empty();
    std::string server, serverClient, user, guid;
    for (std::string line : FXString::Split(text, "\n")) {
        FXString::Trim(line, " \t\r");
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            inSection = line.substr(1, line.size() - 2) == key;
            sawSection = sawSection || inSection;
            continue;
        }
        if (!inSection) continue;
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string name = line.substr(0, eq), value = line.substr(eq + 1);
        FXString::Trim(name, " \t");
        FXString::Trim(value, " \t");
        if (name == "server") server = value;
        else if (name == "serverClient") serverClient = value;
        else if (name == "user") user = value;
        else if (name == "guid") guid = value;
    }
    if (!sawSection || user.empty() || guid.empty()) return 0;
    if (!Store(contents->centralServerName, sizeof contents->centralServerName, server) ||
        !Store(contents->userName, sizeof contents->userName, user) ||
        !Store(contents->guid, sizeof contents->guid, guid) ||
        !Store(contents->centralServerClientName, sizeof contents->centralServerClientName, serverClient)) {
        *contents = _FZSDKTokenFileContents();
        return EOVERFLOW;
    }
    found = true;
    return 0;
}

unsigned long FZSDKConstructTokenWrapper(char const* server, char const* serverClient, std::string const& user,
                                         std::string const& guid, std::string& token) {
    std::string const host = server ? server : "";
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("token", "FZSDKConstructTokenWrapper", "server=" + host, &fault)) return Faulted(fault);
    if (user.empty() || guid.empty()) return EINVAL;
    std::string const joined = host + '\x1f' + (serverClient ? serverClient : "") + '\x1f' + user + '\x1f' + guid;
    static char const kHex[] = "0123456789abcdef";
    std::string built = "FZT1:";
    for (unsigned char c : joined) {
        built += kHex[c >> 4];
        built += kHex[c & 15];
    }
    token = built;
    return 0;
}
