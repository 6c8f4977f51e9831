// NuvDBAgentsCommonUtils: the helpers that database agents call, all static.
// Results are 0 on success and 1 on failure unless a member says otherwise.
#pragma once

#include <map>
#include <string>

class EvEvent;

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

private:
    EvEvent* m_ev;
    unsigned long m_appType;
};
