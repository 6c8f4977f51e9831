// JZPlatformInfo and the JZPI_ platform-information classes.
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string HostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

std::string ShortHostName() {
    std::string h = HostName();
    size_t dot = h.find('.');
    return dot == std::string::npos ? h : h.substr(0, dot);
}

std::string BaseValue(std::string const& focus, char const* key, std::string const& fallback) {
    std::string v;
    if (JZRegistry::getValue(focus, "Base", key, &v) && !v.empty()) return v;
    return fallback;
}

std::string ClientName(std::string const& focus) { return BaseValue(focus, "sClientName", ShortHostName()); }

// Texts handed out by the static JZPI_Focus calls: one stored copy per distinct
// value, kept for the life of the process.
char const* Intern(std::string const& value) {
    static std::mutex* mutex = new std::mutex;
    static std::set<std::string>* texts = new std::set<std::string>;
    std::lock_guard<std::mutex> lock(*mutex);
    return texts->insert(value).first->c_str();
}

bool ParseNumber(std::string const& text, unsigned long* out) {
    if (text.empty()) return false;
    char const* p = text.c_str();
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    if (*p == '\0' || *p == '-' || *p == '+' || *p == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(p, &end, 0);
    if (errno != 0 || end == p || *end != '\0') return false;
    *out = static_cast<unsigned long>(negative ? (0ull - v) : v);
    return true;
}

int CopyOut(std::string const& value, char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return 0;
    if (value.size() + 1 > static_cast<size_t>(length)) {
        buffer[0] = '\0';
        return 0;
    }
    memcpy(buffer, value.c_str(), value.size() + 1);
    return 1;
}

}  // namespace

JZPlatformInfo::JZPlatformInfo() : m_focus(JZRegistry::kDefaultInstance) {}
JZPlatformInfo::JZPlatformInfo(int, int) : m_focus(JZRegistry::kDefaultInstance) {}
JZPlatformInfo::~JZPlatformInfo() {}

int JZPlatformInfo::setFocus(char const* instance) {
    if (instance == nullptr || *instance == '\0') return -1;
    if (JZRegistry::SectionPath(instance, "Base").empty()) return -1;
    m_focus = instance;
    return 0;
}

int JZPlatformInfo::getString(char const* section, char const* key, std::string* value) {
    if (section == nullptr || key == nullptr) return 0;
    std::string v;
    if (!JZRegistry::getValue(m_focus, section, key, &v)) return 0;
    if (value) *value = v;
    return 1;
}

int JZPlatformInfo::getString(char const* section, char const* key, char* buffer, unsigned long* length) {
    if (section == nullptr || key == nullptr || buffer == nullptr || length == nullptr || *length == 0) return 0;
    std::string v;
    if (!JZRegistry::getValue(m_focus, section, key, &v)) return 0;
    if (v.size() + 1 > *length) {
        buffer[0] = '\0';
        *length = v.size() + 1;
        return 0;
    }
    memcpy(buffer, v.c_str(), v.size() + 1);
    *length = v.size();
    return 1;
}

int JZPlatformInfo::getNumber(char const* section, char const* key, unsigned long* value) {
    std::string v;
    unsigned long n = 0;
    if (!getString(section, key, &v) || !ParseNumber(v, &n)) return 0;
    if (value) *value = n;
    return 1;
}

int JZPlatformInfo::getBoolean(char const* section, char const* key, bool* value) {
    std::string v;
    if (!getString(section, key, &v)) return 0;
    static char const* const kTrue[] = {"true", "yes", "y", "on", "1"};
    static char const* const kFalse[] = {"false", "no", "n", "off", "0"};
    for (char const* t : kTrue) {
        if (strcasecmp(v.c_str(), t) == 0) {
            if (value) *value = true;
            return 1;
        }
    }
    for (char const* f : kFalse) {
        if (strcasecmp(v.c_str(), f) == 0) {
            if (value) *value = false;
            return 1;
        }
    }
    return 0;
}

unsigned JZPlatformInfo::getJZPlatformType() {
    unsigned type = 0;
    (void)getNumber("Base", "nPlatformType", &type);
    return type;
}

char const* JZPlatformInfo::getPhysicalMachine() {
    m_scratch = BaseValue(m_focus, "sPhysicalMachine", HostName());
    return m_scratch.c_str();
}

int JZPlatformInfo::getKelvanerClientName(char* buffer, int length) {
    return CopyOut(BaseValue(m_focus, "sKelvanerClientName", ClientName(m_focus)), buffer, length);
}

int JZPlatformInfo::getCommClientKVClientName(char* buffer, int length) {
    return getKelvanerClientName(buffer, length);
}

JZPI_PlatformBase::JZPI_PlatformBase(int kind, int flags) : m_info(new JZPlatformInfo(kind, flags)) {}
JZPI_PlatformBase::~JZPI_PlatformBase() { delete m_info; }

char const* JZPI_PlatformBase::Keep(int slot, std::string value) {
    std::string& text = m_texts[slot];
    text = std::move(value);
    return text.c_str();
}

char const* JZPI_PlatformBase::Fail(uint64_t error, std::string const& message) {
    m_lastError = error;
    m_lastErrorMsg = message;
    return nullptr;
}

char const* JZPI_PlatformBase::getBaseHomeDirectory() { return Keep(1, nuvsuite::StatePath("basehome")); }
char const* JZPI_PlatformBase::getDrevoxTempDirectory() { return Keep(2, nuvsuite::StatePath("temp")); }

char const* JZPI_PlatformBase::getKelvanerHostName() {
    return Keep(3, BaseValue(m_info->getFocus(), "sKelvanerHostName", HostName()));
}

char const* JZPI_PlatformBase::getBaseVersion() {
    std::string v = BaseValue(m_info->getFocus(), "sBaseVersion", "11");
    return Keep(4, v);
}

bool JZPI_PlatformBase::invalidJZPlatform() {
    struct stat st;
    char const* suite = getenv("JZ_SUITE_ROOT");
    if (suite != nullptr && *suite != '\0') nuvsuite::StatePath("registry");  // the local suite's own registry
    std::string root = JZRegistry::Root();
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Fail(static_cast<uint64_t>(errno ? errno : ENOENT), "Registry root [" + root + "] does not exist");
        return true;
    }
    return false;
}

unsigned JZPI_Base::getPlatformType() { return m_info->getJZPlatformType(); }
char const* JZPI_Base::getHomeDirectory() { return Keep(5, nuvsuite::StatePath("basehome")); }

char const* JZPI_Focus::getFocus() { return JZRegistry::kDefaultInstance; }

char const* JZPI_Focus::getFocusClientName(bool) { return Intern(ClientName(getFocus())); }

JZPI_CommClient::JZPI_CommClient(EvEvent* logger) : m_logger(logger) {}

char const* JZPI_CommClient::getJobResultsDirectory(char const* /*clientName*/) {
    return Keep(6, nuvsuite::StatePath("jobresults"));
}

char const* JZPI_EventManager::getLogFilesDirectory() {
    std::string path = g_ptrLogWriter->path();
    size_t slash = path.rfind('/');
    return Keep(7, slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash)));
}

int JZPI_Session::getAttachTimeOut(bool) {
    unsigned seconds = 300;
    (void)m_info->getNumber("Session", "nAttachTimeOut", &seconds);
    return static_cast<int>(seconds);
}
