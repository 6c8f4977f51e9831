// The block-level library's device-configuration handler.
#include "programs/blocklevel/device_config_handler.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace nuvblocklevel {

namespace {

char const* const kTag = "JzBlkLvl::DeviceConfigHandler";

uint64_t JobIdFromArguments(std::vector<std::string> const& arguments) {
    for (size_t i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == "-j") return std::strtoull(arguments[i + 1].c_str(), nullptr, 10);
    }
    return EvEvent().getJobId();
}

}  // namespace

DeviceConfigHandler::DeviceConfigHandler(std::vector<std::string> const& arguments)
    : m_jobId(JobIdFromArguments(arguments)), m_directory(JobResultsDirectory(m_jobId)) {}

DeviceConfigHandler::~DeviceConfigHandler() = default;

std::string DeviceConfigHandler::BitmapFileName(std::string const& device) {
    std::string name = device;
    std::string::size_type slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.empty()) name = "device";
    return name + ".bmp";
}

CFzError DeviceConfigHandler::guard(char const* call, std::string const& args) {
    nuvsuite::CallFault fault;
    if (!nuvsuite::EnterCall("blocklevel", call, args, &fault))
        return FXErrorUtil::ErrorErrNo(FZ_LOC, fault.code, "%s", fault.text.c_str());
    return CFzError::Success();
}

CFzError DeviceConfigHandler::prepareDirectory() {
    if (m_jobId == 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "no job: the device configuration has no home");
    if (m_directory.empty()) return FXErrorUtil::ErrorErrNo(FZ_LOC, ENOENT, "no job-results directory");
    return CFzDirectory::Create(m_directory, true);
}

CFzError DeviceConfigHandler::appendText(std::string const& text, bool truncate) {
    CFzError error = prepareDirectory();
    if (error.IsError()) return error;
    std::string const path = m_directory + "/" + ConfigFileName();
    CFzFile file;
    int const flags = O_WRONLY | O_CREAT | (truncate ? O_TRUNC : O_APPEND);
    error = file.Open(path, flags, 0644);
    if (error.IsError()) return error;
    uint32_t written = 0;
    error = file.Write(text.data(), static_cast<uint32_t>(text.size()), &written);
    if (!error.IsError() && written != text.size())
        error = FXErrorUtil::ErrorErrNo(FZ_LOC, EIO, "short write to [%s]", path.c_str());
    CFzError closeError = file.Close();
    return error.IsError() ? error : closeError;
}

void DeviceConfigHandler::SetAppendDeviceConfig(bool append) {
    // A faulted call leaves the setting as it was and fails the configuration
    // it was meant for (the next ProcessDeviceConfig), which has a result to say so.
    m_appendError = guard("DeviceConfigHandler::SetAppendDeviceConfig", append ? "1" : "0");
    if (!m_appendError.IsError()) m_append = append;
}

CFzError DeviceConfigHandler::Write(bool metadataEnabled, bool initial) {
    std::string const args = std::string("metadata=") + (metadataEnabled ? "1" : "0") +
                             " initial=" + (initial ? "1" : "0") + " job=" + std::to_string(m_jobId);
    CFzError error = guard("DeviceConfigHandler::Write", args);
    if (error.IsError()) return error;
    m_metadata = metadataEnabled;
    std::string const text = "version\t1\njob\t" + std::to_string(m_jobId) + "\nmetadata\t" +
                             (metadataEnabled ? "1" : "0") + "\n";
    return appendText(text, initial && !m_append);
}

CFzError DeviceConfigHandler::writeBitmap(SMVolBlock const& volume, int extentSizeMB) {
    BitmapHeader header;
    header.jobId = m_jobId;
    header.extentSizeMB = static_cast<uint64_t>(extentSizeMB);
    struct statvfs fs{};
    if (statvfs(volume.sourcePath.c_str(), &fs) == 0) {
        uint64_t const bytes = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
        uint64_t const extent = header.extentSizeMB * 1024 * 1024;
        header.extentCount = (bytes + extent - 1) / extent;
    }
    std::string data(reinterpret_cast<char const*>(&header), sizeof header);
    std::string bits((header.extentCount + 7) / 8, static_cast<char>(0xFF));
    if (header.extentCount % 8 != 0 && !bits.empty())
        bits.back() = static_cast<char>((1u << (header.extentCount % 8)) - 1);
    data += bits;
    return FXFile::WriteWhole(m_directory + "/" + BitmapFileName(volume.sourceDevice), data, 0644);
}

CFzError DeviceConfigHandler::ProcessDeviceConfig(std::vector<SMVolBlock>& volumes, int extentSizeMB,
                                                  JZBkpLevel level, int engineType, bool postSnap) {
    char const* const phase = postSnap ? "POST_SNAP" : "PRE_SNAP";
    std::string const args = std::string("phase=") + phase + " volumes=" + std::to_string(volumes.size()) +
                             " extent=" + std::to_string(extentSizeMB) + " level=" + std::to_string(level) +
                             " engine=" + std::to_string(engineType) + " job=" + std::to_string(m_jobId);
    CFzError error = guard("DeviceConfigHandler::ProcessDeviceConfig", args);
    if (error.IsError()) return error;
    if (m_appendError.IsError()) {
        error = m_appendError;
        m_appendError = CFzError::Success();
        return error.Push(FZ_LOC, "the append setting of the device configuration was not taken");
    }
    if (extentSizeMB <= 0) return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "extent size %d MB", extentSizeMB);

    std::string text = std::string("phase\t") + phase + "\tlevel\t" + std::to_string(level) + "\tengine\t" +
                       std::to_string(engineType) + "\textent\t" + std::to_string(extentSizeMB) + "\tfullran\t" +
                       (GetFullRanInCurrCycle() ? "1" : "0") + "\n";
    for (SMVolBlock const& volume : volumes) {
        if (volume.sourcePath.empty() || volume.sourceDevice.empty())
            return FXErrorUtil::ErrorErrNo(FZ_LOC, EINVAL, "volume without a path or a device");
        text += "volume\t" + volume.sourcePath + "\t" + volume.sourceDevice + "\t" + volume.fsType + "\t" +
                volume.mountOptions + "\t" + std::to_string(volume.appTypeId) + "\t" + std::to_string(volume.appId) +
                "\t" + std::to_string(volume.brannoxId) + "\n";
    }
    error = appendText(text, false);
    if (error.IsError()) return error;
    if (postSnap) {
        for (SMVolBlock const& volume : volumes) {
            error = writeBitmap(volume, extentSizeMB);
            if (error.IsError()) return error;
        }
    }
    EvEvent event(m_jobId);
    EvDebug::DebugLvl(&event, 2, kTag, "%s: %zu volume(s) configured", phase, volumes.size());
    return CFzError::Success();
}

}  // namespace nuvblocklevel
