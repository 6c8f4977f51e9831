// The settings reader JZPlatformInfo (text, number and boolean values by section
// and key, for a focus instance) and the platform-information classes JZPI_*:
// the suite's directories, this machine's names, the focus instance and client.
//
// Machine values come from section "Base" of the focus instance:
//   sClientName          this host's client name (default: the host name up to the first '.')
//   sPhysicalMachine     the physical machine name (default: the host name)
//   sKelvanerClientName  the central server's client name (default: this client name)
//   sKelvanerHostName    the central server's host name (default: the host name)
//   nPlatformType        platform type bits (default 0)
//   sBaseVersion         the installation's base version (default "11")
// and from section "Session": nAttachTimeOut (seconds, default 300).
// Directories are those of the local suite's state root: "basehome", "temp",
// "jobresults"; the log files directory is that of the process's log file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class EvEvent;

class JZPlatformInfo {
public:
    JZPlatformInfo();
    JZPlatformInfo(int kind, int flags);  // the values are accepted and not used
    ~JZPlatformInfo();

    // The instance whose settings the reader reads; 0 on success, -1 for a null or
    // unusable name (the focus then stays as it was).
    int setFocus(char const* instance);
    char const* getFocus() const { return m_focus.c_str(); }

    // Each returns non-zero when the key was found (and only then stores the value).
    int getString(char const* section, char const* key, std::string* value);
    // Copies the value with its NUL into buffer (*length bytes). A value that does
    // not fit is refused (0, buffer ""), never cut; *length then gives the size needed.
    int getString(char const* section, char const* key, char* buffer, unsigned long* length);
    // Decimal, or hexadecimal with 0x; a leading '-' is taken modulo 2^64.
    // A value that is not a whole number counts as absent.
    int getNumber(char const* section, char const* key, unsigned long* value);
    // The 32-bit read: the low 32 bits of the 64-bit value; out untouched when absent.
    int getNumber(char const* section, char const* key, unsigned* value) {
        unsigned long wide = 0;
        int found = getNumber(section, key, &wide);
        if (found != 0 && value != nullptr) *value = static_cast<unsigned>(wide & 0xFFFFFFFFul);
        return found;
    }
    // true/yes/y/on/1 and false/no/n/off/0 (any case); anything else counts as absent.
    int getBoolean(char const* section, char const* key, bool* value);

    // Machine values (see the top of this header).
    unsigned getJZPlatformType();
    char const* getPhysicalMachine();
    int getKelvanerClientName(char* buffer, int length);       // non-zero on success
    int getCommClientKVClientName(char* buffer, int length);   // non-zero on success

private:
    std::string m_focus;
    std::string m_scratch;  // backs the C texts handed out
};

// Base of the platform-information classes: keeps the last failure's number and
// text, and a settings reader focused on the instance set with setFocus.
class JZPI_PlatformBase {
public:
    explicit JZPI_PlatformBase(int kind = 0, int flags = 0);
    JZPI_PlatformBase(JZPI_PlatformBase const&) = delete;
    JZPI_PlatformBase& operator=(JZPI_PlatformBase const&) = delete;
    virtual ~JZPI_PlatformBase();

    int setFocus(char const* instance) { return m_info->setFocus(instance); }
    uint64_t getLastError() const { return m_lastError; }
    std::string getLastErrorMsg() const { return m_lastErrorMsg; }

    // C texts owned by the object (valid while it lives); null on failure, with the
    // last error set.
    char const* getBaseHomeDirectory();
    char const* getDrevoxTempDirectory();
    char const* getKelvanerHostName();
    char const* getBaseVersion();
    // True when there is no installation: the registry root does not exist (the
    // state root's registry directory is made first when JZ_SUITE_ROOT is set).
    bool invalidJZPlatform();

protected:
    // Keeps the text of one accessor (a slot per accessor: a text stays valid until
    // the same accessor is asked again or the object dies).
    char const* Keep(int slot, std::string value);
    char const* Fail(uint64_t error, std::string const& message);

    JZPlatformInfo* m_info = nullptr;   // owned
    uint64_t m_lastError = 0;
    std::string m_lastErrorMsg;
    std::map<int, std::string> m_texts;
};

class JZPI_Base : public JZPI_PlatformBase {
public:
    JZPI_Base() = default;
    unsigned getPlatformType();
    char const* getHomeDirectory();    // the base home directory
};

class JZPI_Focus {
public:
    // The process's focus instance ("Instance001").
    static char const* getFocus();
    // This host's client name; the flag is accepted and not used. The text lives
    // as long as the process.
    static char const* getFocusClientName(bool physical);
};

class JZPI_CommClient : public JZPI_PlatformBase {
public:
    explicit JZPI_CommClient(EvEvent* logger = nullptr);
    // The job-results root of the client (the local suite keeps one for all clients).
    char const* getJobResultsDirectory(char const* clientName);

private:
    EvEvent* m_logger = nullptr;
};

class JZPI_EventManager : public JZPI_PlatformBase {
public:
    JZPI_EventManager() = default;
    int setFocus(char const* instance) { return m_info->setFocus(instance); }
    char const* getLogFilesDirectory();
};

class JZPI_Session : public JZPI_PlatformBase {
public:
    JZPI_Session(int kind = 0, int flags = 0) : JZPI_PlatformBase(kind, flags) {}
    int setFocus(char const* instance) { return m_info->setFocus(instance); }
    int getAttachTimeOut(bool fromSettings);
};
