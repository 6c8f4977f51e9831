// The redirect-restore map of a job: written once per job from the restore
// task's options, under a named mutex per job, and read back into a map.
#include "nuvdbsnap/agentutil/nuv_db_agents_common_utils.h"
#include "nuvdbsnap/agentutil/redirect_map_line.h"
#include "nuvdbsnap/platform/appmgr/instance.h"
#include "nuvdbsnap/platform/base/cnamed_mutex.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <list>
#include <unistd.h>

namespace {

constexpr char kMapFileName[] = "DbRedirectMapFile.jzf";
constexpr char kItemSeparator[] = "|#15!";

constexpr unsigned long kMySQL = 104;
constexpr unsigned long kPostgreSQL = 125;

// Restore-task option ids.
constexpr uint32_t kMySQLRedirectEnabled = 0x16E40911;
constexpr uint32_t kMySQLRedirectPaths = 0x772D60C8;
constexpr uint32_t kPostgresRedirectEnabled = 0x16CEAE7E;
constexpr uint32_t kPostgresRedirectPaths = 0x5E16B8EB;
constexpr uint32_t kUseMapFile = 0x0C245FF7;              // RESTOREMAPFILES_USE_MAP_FILE
constexpr uint32_t kMapFilePath = 0x32179489;             // RESTOREMAPFILES_MAP_FILE_PATH
constexpr uint32_t kRestoreUnmappedFiles = 0x5092FD1D;    // RESTOREMAPFILES_RESTORE_UNMAPPED_FILES

std::string EmbedDoubleQuotes(std::string const& text) { return "\"" + text + "\""; }

// Removes the first double quote and, only when there was one, the last that remains.
std::string RemoveDoubleQuotes(std::string& text) {
    std::string::size_type first = text.find('"');
    if (first != std::string::npos) {
        text.erase(first, 1);
        std::string::size_type last = text.rfind('"');
        if (last != std::string::npos) text.erase(last, 1);
    }
    return text;
}

bool HasJob(EvEvent* ev, char const* tag) {
    if (ev != nullptr && static_cast<int64_t>(ev->getJobId()) >= 1) return true;
    if (ev != nullptr) EvDebug::Error(ev, tag, "Unable to obtain job ID");
    return false;
}

}  // namespace

namespace nuvagentutil {

std::string FormatRedirectMapLine(std::string const& source, std::string const& destination) {
    return EmbedDoubleQuotes(source) + "," + EmbedDoubleQuotes(destination) + "\n";
}

bool HasLineBreak(std::string const& path) { return path.find_first_of("\r\n") != std::string::npos; }

char const* UnmappableReason(std::string const& source, std::string const& destination) {
    if (HasLineBreak(source) || HasLineBreak(destination)) return "holds a line break";
    if (source.find("\",\"") != std::string::npos) return "has a source that holds \",\"";
    return nullptr;
}

bool SplitRedirectMapLine(std::string const& line, std::string& source, std::string& destination) {
    static char const kQuotedSeparator[] = "\",\"";
    std::string::size_type quoted = line.empty() || line[0] != '"' ? std::string::npos : line.find(kQuotedSeparator, 1);
    if (quoted != std::string::npos) {
        std::string rest = line.substr(quoted + 3);
        if (!rest.empty() && rest.back() == '"') rest.pop_back();
        source = line.substr(1, quoted - 1);
        destination = rest;
        return true;
    }
    std::string::size_type comma = line.find(',');
    if (comma == std::string::npos || comma + 1 >= line.size()) return false;
    std::string left = line.substr(0, comma);
    std::string right = line.substr(comma + 1);
    source = RemoveDoubleQuotes(left);
    destination = RemoveDoubleQuotes(right);
    return true;
}

}  // namespace nuvagentutil

int NuvDBAgentsCommonUtils::GetDBRedirectRstMapFilePath(EvEvent* ev, std::string& path) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::GetDBRedirectRstMapFilePath";
    if (!HasJob(ev, kTag)) return 1;
    uint64_t brannoxId = 2;
    uint64_t fromTask = 0;
    EvRstTask task(static_cast<long long>(ev->getJobId()), 0, nullptr, false);
    if (task.getBrannoxId(fromTask, nullptr) == 0 && fromTask > 0) brannoxId = fromTask;  // 0 names no Brannox
    std::string directory = JobResultsDirectory(ev->getJobId(), static_cast<int>(brannoxId));
    if (directory.empty()) {
        EvDebug::Error(ev, kTag, "No job-results root: the redirect map file has no place");
        return 1;
    }
    (void)FXPath::Append(directory, kMapFileName);
    path = directory;
    EvDebug::DebugLvl(ev, 2, kTag, "DB redirect restore map file path [%s]", path.c_str());
    return 0;
}

int NuvDBAgentsCommonUtils::ParseRedirectPath(std::string const& item, std::string& source,
                                              std::string& destination) {
    std::string work = item;
    std::string::size_type first = item.find('"');
    if (first != std::string::npos) {
        std::string::size_type last = item.rfind('"');
        std::string::size_type end = last == first ? item.size() : last;
        work = item.substr(first + 1, end - first - 1);
        if (work.empty()) return 0;  // an empty quoted part holds no usable separator
        work.erase(0, 1);
    }
    std::string::size_type at = work.find(kItemSeparator);
    std::string::size_type const separatorLength = sizeof(kItemSeparator) - 1;
    if (at != std::string::npos && at + separatorLength < work.size()) {
        source = work.substr(0, at);
        destination = work.substr(at + separatorLength);
    }
    return 0;
}

int NuvDBAgentsCommonUtils::ProcessRedirectRstOptions(EvEvent* ev, unsigned long appType) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::ProcessRedirectRstOptions";
    if (!HasJob(ev, kTag)) return 1;
    long long const jobId = static_cast<long long>(ev->getJobId());
    uint32_t enabledId = 0, itemsId = 0;
    if (appType == kMySQL) {
        enabledId = kMySQLRedirectEnabled;
        itemsId = kMySQLRedirectPaths;
    } else if (appType == kPostgreSQL) {
        enabledId = kPostgresRedirectEnabled;
        itemsId = kPostgresRedirectPaths;
    } else {
        // Other applications have no redirect options of their own: option 0 is nobody's.
        EvDebug::Debug(ev, kTag, "Redirect restore option is not enabled");
        return 0;
    }

    EvRstTask task(jobId, 0, nullptr, false);
    bool enabled = false;
    if (task.getOptionBool(enabledId, enabled, nullptr) != 0) {
        EvDebug::Error(ev, kTag, "Unable to get redirectEnabled option from restore task object");
        return 0;
    }
    if (!enabled) {
        EvDebug::Debug(ev, kTag, "Redirect restore option is not enabled");
        return 0;
    }
    EvDebug::Debug(ev, kTag, "Redirect restore option is enabled");

    std::string const mutexName = "DB_REDIRECT_" + std::to_string(jobId);
    CNamedMutex mutex(mutexName.c_str(), nullptr, false);
    if (mutex.getErrorCode() != 0) {
        EvDebug::Error(ev, kTag, "failed to construct synch/mutex, error [%s]|pid=%d", mutex.getErrorText(),
                       static_cast<int>(getpid()));
        return 1;
    }
    std::string mapFile;
    int locked = mutex.lock(-1, true);
    if (locked < 0) {
        if (mutex.getErrorCode() != CNamedMutex::kErrTimedOut)
            EvDebug::Error(ev, kTag, "failed to acquire lock on synch/mutex, error [%s]|pid=%d", mutex.getErrorText(),
                           static_cast<int>(getpid()));
        // Without the lock only a map that another writer completed counts.
        return GetDBRedirectRstMapFilePath(ev, mapFile) == 0 && CFzPath::Exists(mapFile.c_str()) == 1 ? 0 : 1;
    }
    EvDebug::Debug(ev, kTag, "Mutex.lock returned %d|pid=%d", locked, static_cast<int>(getpid()));
    EvDebug::DebugLvl(ev, 2, kTag, "lock acquired");

    if (GetDBRedirectRstMapFilePath(ev, mapFile) != 0) return 1;
    // What a writer that died midway left of the map goes first (the lock is ours).
    if (FXStagedFile::RemoveDeadWritersTemporaries(mapFile) > 0)
        EvDebug::Debug(ev, kTag, "Removed what an interrupted writer left of [%s]", mapFile.c_str());
    if (CFzPath::Exists(mapFile.c_str()) == 1) {
        EvDebug::Debug(ev, kTag, "Redirect map file [%s] already exists.", mapFile.c_str());
        return 0;
    }

    std::list<std::string> items;
    if (task.getOptionString(itemsId, items, nullptr) != 0) {
        EvDebug::Error(ev, kTag, "Unable to read the redirect paths option from restore task object");
        return 1;
    }
    std::string content;
    for (std::string const& item : items) {
        std::string source, destination;
        EvDebug::DebugLvl(ev, 2, kTag, "Redirect Item [%s]", item.c_str());
        (void)ParseRedirectPath(item, source, destination);
        EvDebug::Debug(ev, kTag, "Redirect Path [%s] -> [%s] ", source.c_str(), destination.c_str());
        if (char const* why = nuvagentutil::UnmappableReason(source, destination)) {
            EvDebug::Error(ev, kTag, "Redirect path %s and cannot be mapped: [%s]", why, item.c_str());
            return 1;
        }
        content += nuvagentutil::FormatRedirectMapLine(source, destination);
    }

    if (appType == kPostgreSQL) {
        uint64_t sourceId = 0, destinationId = 0;
        (void)task.getInstanceId(sourceId, nullptr);
        (void)task.getDestinationInstanceId(destinationId, nullptr);
        std::string sourceDir, destinationDir;
        {
            PostgreSQLInstance instance(sourceId);
            (void)instance.getWriteAheadArchiveLogDir(sourceDir, nullptr);
        }
        if (destinationId == 0) {
            destinationDir = sourceDir;
        } else {
            PostgreSQLInstance instance(destinationId);
            (void)instance.getWriteAheadArchiveLogDir(destinationDir, nullptr);
        }
        if (sourceDir.empty() || destinationDir.empty()) {
            EvDebug::Error(ev, kTag, "No write-ahead-log archive directory for instance [%llu] -> [%llu]: [%s] -> [%s]",
                           static_cast<unsigned long long>(sourceId), static_cast<unsigned long long>(destinationId),
                           sourceDir.c_str(), destinationDir.c_str());
            return 1;
        }
        if (char const* why = nuvagentutil::UnmappableReason(sourceDir, destinationDir)) {
            EvDebug::Error(ev, kTag, "Write-ahead-log archive directory %s and cannot be mapped: [%s] -> [%s]", why,
                           sourceDir.c_str(), destinationDir.c_str());
            return 1;
        }
        content += nuvagentutil::FormatRedirectMapLine(sourceDir, destinationDir);
    }

    // The map is staged beside its place and renamed in only once it is
    // complete on disk and the task points at it.
    FXStagedFile staged;
    CFzError e = CFzDirectory::Create(CFzPath::GetParent(mapFile).c_str(), true);
    if (!e.IsError()) e = staged.Write(mapFile, content, 0644);
    if (e.IsError()) {
        EvDebug::Error(ev, kTag, "Unable to open file [%s] for writing. Errno - [%d]", mapFile.c_str(), errno);
        EvDebug::Error(ev, kTag, "%s", e.AsString().c_str());
        return 1;
    }
    // Tests hold a writer here, its map staged but not in place, with the fault
    // ("agentutil", "hold", <map file>).
    HoldWhereFaulted("agentutil", mapFile);
    if (task.setOptionBool(kUseMapFile, true, nullptr) != 0) {
        EvDebug::Error(ev, kTag, "EvRstTask::setOptionBool - RESTOREMAPFILES_USE_MAP_FILE  failed");
        return 1;
    }
    if (task.setOptionString(kMapFilePath, std::list<std::string>{mapFile}, nullptr) != 0) {
        EvDebug::Error(ev, kTag, "EvRstTask::setOptionString - RESTOREMAPFILES_MAP_FILE_PATH failed");
        return 1;
    }
    if (task.setOptionBool(kRestoreUnmappedFiles, true, nullptr) != 0) {
        EvDebug::Error(ev, kTag, "EvRstTask::setOptionBool - RESTOREMAPFILES_RESTORE_UNMAPPED_FILES  failed");
        return 1;
    }
    e = staged.Commit();
    if (e.IsError()) {
        EvDebug::Error(ev, kTag, "Unable to put redirect map file [%s] in place: %s", mapFile.c_str(),
                       e.AsString().c_str());
        return 1;
    }
    return 0;
}

int NuvDBAgentsCommonUtils::ParseRedirectMapFile(EvEvent* ev, std::map<std::string, std::string>& map) {
    static char const kTag[] = "NuvDBAgentsCommonUtils::ParseRedirectMapFile";
    std::string mapFile;
    (void)GetDBRedirectRstMapFilePath(ev, mapFile);
    EvDebug::DebugLvl(ev, 2, kTag, "mapFile [%s]", mapFile.c_str());
    std::ifstream in;
    if (!mapFile.empty()) in.open(mapFile);
    if (!in.is_open()) {
        int err = mapFile.empty() ? ENOENT : errno;
        EvDebug::Error(ev, kTag, "Unable open file [%s] for reading. Errno [%d]", mapFile.c_str(), err);
        return 1;
    }
    std::string line;
    while (std::getline(in, line)) {
        EvDebug::DebugLvl(ev, 2, kTag, "Line buf [%s]", line.c_str());
        std::string source, destination;
        if (!nuvagentutil::SplitRedirectMapLine(line, source, destination)) continue;
        EvDebug::DebugLvl(ev, 2, kTag, "[%s] -> [%s]", source.c_str(), destination.c_str());
        map[source] = destination;
    }
    return 0;
}
