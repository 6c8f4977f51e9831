// The local-suite scene that agent-side tests start from: this host's focus
// client, one subclient, application and job in a fresh state root (the job
// is the process's job context, JZ_JOB_ID), declared volumes and settings, and
// readers of the call journal.
#pragma once

#include "nuvdbsnap/platform/appmgr/application.h"
#include "support/suite_root.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvtest {

// A volume of the snapshot manager at `path` ("fstype:options" mount options).
void DeclareVolume(std::string const& path, std::string const& device, std::string const& fsType,
                   std::string const& options);
// A value of the settings registry (default instance).
void SetSetting(std::string const& section, std::string const& key, std::string const& value);

// Copies a program built into out/bin/basehome into the state root's base home directory.
void InstallBaseHomeProgram(char const* program);

// The journal's calls of one service and call, as their argument texts.
std::vector<std::string> JournalArgs(std::string const& service, std::string const& call);
// The journal's "service.call" names in order, of the given services.
std::vector<std::string> JournalCalls(std::vector<std::string> const& services);
// The parts of `text` between the separators (n separators give n + 1 parts).
std::vector<std::string> SplitAt(std::string const& text, char separator);
// The argument vector of a journalled process run ("a\x1f" "b" -> {a, b}).
inline std::vector<std::string> SplitArgv(std::string const& text) { return SplitAt(text, '\x1f'); }

class JobScene : public ::testing::Test {
protected:
    // Declares the focus client; makes <base>/data with one file.
    void SetUp() override;

    // Declares the application (with its subclient) and a new job for it.
    void DeclareApp(int appType, bool blockLevel = false, bool metadata = false);

    // The job's job-results directory.
    std::string JobResultsDir() const;

    ScopedSuiteRoot m_root;
    std::string m_clientName;
    unsigned long m_clientId = 0;
    unsigned long m_subclientId = 0;
    unsigned long m_appId = 0;
    int m_appType = 0;
    std::unique_ptr<ApplicationId> m_application;
    int64_t m_jobId = 0;
    std::string m_jobToken;
    std::string m_data;
};

}  // namespace nuvtest
