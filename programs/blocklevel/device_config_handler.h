// The block-level library's device-configuration handler of one job. It keeps
// the job's device configuration in "BlockDeviceConfig.jzf" and, after the
// snap, one disk bitmap "<device name>.bmp" per volume, both in the job's
// job-results directory (<job-results root>/JZ_JobResults/2/0/<job id>).
// Every call journals ("blocklevel", "<call>", args) and obeys the fault table
// (the fault's code is the errno of the error returned: 16 = the volume belongs
// to more than one subclient).
#pragma once

#include "nuvdbsnap/foundation/device_config.h"

#include <string>
#include <vector>

namespace nuvblocklevel {

// One set bit per extent: with no change tracking in the local suite, every
// extent of the volume is marked for the backup.
struct BitmapHeader {
    char magic[8] = {'J', 'Z', 'B', 'M', 'P', '1', 0, 0};
    uint64_t jobId = 0;
    uint64_t extentSizeMB = 0;
    uint64_t extentCount = 0;
};

class DeviceConfigHandler : public JzDeviceConfigHandler {
public:
    // arguments: the job's command line; "-j <id>" names the job, else the
    // process's job context (JZ_JOB_ID).
    explicit DeviceConfigHandler(std::vector<std::string> const& arguments);
    ~DeviceConfigHandler() override;

    CFzError Write(bool metadataEnabled, bool initial) override;
    CFzError ProcessDeviceConfig(std::vector<SMVolBlock>& volumes, int extentSizeMB, JZBkpLevel level,
                                 int engineType, bool postSnap) override;
    void SetAppendDeviceConfig(bool append) override;

    uint64_t jobId() const { return m_jobId; }
    std::string const& jobResultsDirectory() const { return m_directory; }
    static char const* ConfigFileName() { return "BlockDeviceConfig.jzf"; }
    // "<last path component of the device>.bmp" ("/dev/loop3" -> "loop3.bmp").
    static std::string BitmapFileName(std::string const& device);

private:
    CFzError guard(char const* call, std::string const& args);
    CFzError prepareDirectory();
    CFzError appendText(std::string const& text, bool truncate);
    CFzError writeBitmap(SMVolBlock const& volume, int extentSizeMB);

    uint64_t m_jobId = 0;
    std::string m_directory;
    bool m_append = false;
    CFzError m_appendError;  // a faulted SetAppendDeviceConfig, reported by the next ProcessDeviceConfig
    bool m_metadata = false;
};

}  // namespace nuvblocklevel
