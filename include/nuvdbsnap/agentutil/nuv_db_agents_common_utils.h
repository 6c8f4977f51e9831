// NuvDBAgentsCommonUtils: the helpers that database agents call, all static.
// Results are 0 on success and 1 on failure unless a member says otherwise.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <cstdint>
#include <list>
#include <map>
#include <string>

class EvEvent;

// The data-path choices of a self-submitted job, read from its media-parameters file.
struct DataPathOption {
    bool dataPathGiven = false;  // set when any of the four names was read
    std::string storagePolicy;
    std::string dataMover;
    std::string library;
    std::string drivePool;
};

// The job manager's answer to a job submission.
enum JZJobSubmitError : int32_t {};

class NuvDBAgentsCommonUtils {
public:
    NuvDBAgentsCommonUtils(EvEvent* ev, unsigned long appType) : m_ev(ev), m_appType(appType) {}
    ~NuvDBAgentsCommonUtils() = default;

    // --- Redirect-restore map ("DbRedirectMapFile.jzf" in the job's job-results directory).

    // The job's map file path; 1 (path untouched) without an event, a job id or
    // a job-results root.
    [[nodiscard]] static int GetDBRedirectRstMapFilePath(EvEvent* ev, std::string& path);
    // Writes the job's map from its restore task's redirect options (MySQL 104,
    // PostgreSQL 125) once per job across processes, and points the task at it.
    // The map appears complete, with the task options set, or not at all.
    [[nodiscard]] static int ProcessRedirectRstOptions(EvEvent* ev, unsigned long appType);
    // Adds the job's map to `map` (source -> destination; a later line wins).
    [[nodiscard]] static int ParseRedirectMapFile(EvEvent* ev, std::map<std::string, std::string>& map);
    // Splits one redirect item at its first "|#15!"; always 0; both outputs stay
    // untouched when the item holds no usable separator.
    static int ParseRedirectPath(std::string const& item, std::string& source, std::string& destination);

    // --- Job submission inputs.

    // Reads the media-parameters file (sections "[sp]", "[sarnel]", "[library]",
    // "[drivepool]" and, when tokenFile is given, "[JzFzcmdTokenFile]"; each a
    // header line and one value line, of any length). 0 also when no file is
    // configured; 1 for a null record or an unreadable file.
    [[nodiscard]] static int ParseMediaParamsInputFile(EvEvent* ev, DataPathOption* options, std::string path,
                                                       std::string* tokenFile);
    // The command-line token from a token file through the SDK token library;
    // always 0, the token untouched on any failure. The token never reaches the log.
    static int GetFZSDKToken(EvEvent* ev, std::string key, std::string tokenFile, std::string& token);
    // The text of a submit result; always 0. message points at a constant text.
    static int CheckThirdPartyJobSubmitErrors(EvEvent* ev, JZJobSubmitError code, char*& message);

    // --- Host and proxy probes.

    // Every file under the directory (DBSnapBackup::ReadFilesFromDir with an empty prefix).
    [[nodiscard]] static int ReadFilesFromDir(std::string const& directory, std::list<std::string>& files);
    // The owner's user name of the file (links followed); Win32-kind 1627 on failure.
    [[nodiscard]] static CFzError GetFileOwner(EvEvent* ev, std::string path, std::string& owner,
                                               std::string& reserved);
    static bool IsCloudDatabaseClient(unsigned long const& clientId);
    // The database install directory on the proxy (proxyClientId looked up when 0):
    // 0, or the failing call's code.
    [[nodiscard]] static int GetDatabaseHomePathOnProxy(unsigned long const& clientId, unsigned long const& appType,
                                                        std::string const& version, unsigned long& proxyClientId,
                                                        std::string& installDir);
    // The first Oracle instance of the proxy's Oracle home whose monitor runs and
    // that the proxy client has: 0 (instanceId 0 when none), -1 when the host
    // files cannot be read, or the install-directory request's code. Reads the
    // oratab and the process table natively (under $JZ_PROBE_ROOT when set).
    [[nodiscard]] static int GetProxyOracleInstanceId(unsigned long const& clientId, std::string const& version,
                                                      unsigned long& instanceId);
    // True when process 1 of this process's namespace is not process 1 of the host;
    // false when that cannot be told.
    static bool IsLinuxContainer();

    // --- PostgreSQL job-error decision rules as XML; 0, or 1 when they cannot be serialised.
    [[nodiscard]] static int GetPostgresJobDecisionXML(std::string& xml);

private:
    EvEvent* m_ev;
    unsigned long m_appType;
};

// The destination becomes a copy of the source.
void ConvertqwStr2Str(std::string const& source, std::string& destination);

// The settings section of an application type; section untouched for a type without one.
void getSectionName(unsigned long appType, std::string& section);
