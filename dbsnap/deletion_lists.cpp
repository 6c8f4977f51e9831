// Deletion lists of aged index entries: the data-aging records of one
// application and copy kind are merged into its text file and turned into one
// line per index entry of the aged archive files.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/indexing/connection.h"
#include "nuvdbsnap/platform/suite/host.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr char kDeleteTag[] = "NuvSnapUtilDb::deleteIndex";
constexpr char kFetchTag[] = "NuvSnapUtilDb::fetchIndexListForDeletion";
constexpr char kCleanTag[] = "NuvSnapUtilDb::cleanTapeDataAgingFile";
constexpr unsigned kQueryFlags = 0x12;
constexpr size_t kPathBuffer = 1025;

bool Exists(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

char const* KindName(TCacheTypeEnum kind) { return kind == TCACHE_SNAP ? "snap" : "tape"; }

std::string ClientNameOf(std::string const& indexHost) {
    std::string host, client;
    int port = 0, brannox = 0;
    (void)DemangleHostName(indexHost.c_str(), host, client, port, brannox);
    return client;
}

// The key and id lists of a run, with sets beside them so that a record is
// added in constant time however many are listed.
struct AgedEntries {
    std::list<_GetIndexSubclientInfo>& keys;
    std::list<unsigned long long>& ids;
    std::unordered_set<long long> jobIds;
    std::unordered_set<unsigned long long> idSet;

    AgedEntries(std::list<_GetIndexSubclientInfo>& keys, std::list<unsigned long long>& ids) : keys(keys), ids(ids) {
        for (auto const& k : keys) jobIds.insert(k.jobId);
        for (auto id : ids) idSet.insert(id);
    }
};

// Reads one record line (cut up in place) into the lists.
void ParseRecordLine(EvEvent* event, char* line, int appId, TCacheTypeEnum kind, AgedEntries& out) {
    EvDebug::Debug(event, kFetchTag, "Processing line %s", line);
    std::string const whole = line;
    // fields[1..10]; an empty field counts as missing.
    char* fields[12] = {};
    int count = 0;
    for (char* f = line; f != nullptr && count < 11;) {
        char* bar = strchr(f, '|');
        if (bar != nullptr) *bar = '\0';
        fields[++count] = f;
        f = bar != nullptr ? bar + 1 : nullptr;
    }
    bool const complete = count >= 7 && *fields[2] && *fields[3] && *fields[6] && *fields[7];
    if (!complete) {
        EvDebug::Error(event, kFetchTag, "skipping line %s", whole.c_str());
        return;
    }
    int const lineAppId = atoi(fields[2]);
    if (lineAppId != appId) {
        EvDebug::Error(event, kFetchTag, "AppId %d in the file is not the same as the one to be data aged %d ",
                       lineAppId, appId);
        return;
    }
    long long const jobId = strtoll(fields[3], nullptr, 0);
    if (jobId == 0) {
        EvDebug::Error(event, kFetchTag, "Skipping delete index as jobId is 0");
        return;
    }
    unsigned long long const archiveFileId = strtoull(fields[6], nullptr, 0);
    if (archiveFileId == 0) {
        EvDebug::Error(event, kFetchTag, "Skipping delete index as archiveFileId is 0");
        return;
    }
    int const archiveType = atoi(fields[7]);
    if (kind == TCACHE_SNAP && archiveType != 2) {
        EvDebug::Error(event, kFetchTag, "Error in entries a wrong archive type %d in snap", archiveType);
        return;
    }
    if (kind == TCACHE_TAPE && archiveType != 4) {
        EvDebug::Error(event, kFetchTag, "Error in entries a wrong archive type %d in tape", archiveType);
        return;
    }
    if (archiveType == 0) {
        EvDebug::Error(event, kFetchTag, "skipping line %s", whole.c_str());
        return;
    }
    if (out.jobIds.insert(jobId).second) {
        _GetIndexSubclientInfo key;
        key.appId = static_cast<uint32_t>(appId);
        key.cacheType = static_cast<uint32_t>(kind);
        key.time = 0;
        key.jobId = jobId;
        out.keys.push_back(key);
    }
    if (out.idSet.insert(archiveFileId).second) out.ids.push_back(archiveFileId);
}

// Appends every line of `from` to `to`; false (logged) when a file cannot be
// opened or a write fails.
bool AppendFile(EvEvent* event, char const* tag, std::string const& from, std::string const& to,
                char const* writeFailure) {
    std::ifstream in(from, std::ios::binary);
    if (!in) {
        EvDebug::Error(event, tag, "Error while opening the file %s for reading : errno %d", from.c_str(), errno);
        return false;
    }
    std::ofstream out(to, std::ios::binary | std::ios::app);
    if (!out) {
        EvDebug::Error(event, tag, "Error while opening the file %s for writing : errno %d", to.c_str(), errno);
        return false;
    }
    out << in.rdbuf();
    out.flush();
    if (!out || in.bad()) {
        EvDebug::Error(event, tag, writeFailure, from.c_str(), errno);
        return false;
    }
    return true;
}

}  // namespace

int NuvSnapUtilDb::fetchIndexListForDeletion(EvEvent* event, char* line, std::list<_GetIndexSubclientInfo>& keys,
                                             int const& appId, TCacheTypeEnum const& kind,
                                             std::list<unsigned long long>& archiveFileIds) {
    if (line == nullptr) return 0;
    AgedEntries entries(keys, archiveFileIds);
    ParseRecordLine(event, line, appId, kind, entries);
    return 0;
}

int NuvSnapUtilDb::cleanTapeDataAgingFile(EvEvent* event, unsigned int const& brannoxId, int const& appId,
                                          int const& appType, TCacheTypeEnum const&, std::string const& indexHost,
                                          std::string& deletionList) {
    std::ifstream in(deletionList, std::ios::binary);
    if (!in) {
        EvDebug::Error(event, kCleanTag, "Error while opening the file %s for reading : errno %d",
                       deletionList.c_str(), errno);
        return -1;
    }
    std::string const client = ClientNameOf(indexHost);
    long long groupJob = 0;
    std::list<std::string> patterns;
    // -1: the group's entries are still indexed, or the index cannot tell.
    auto stillIndexed = [&]() -> bool {
        if (groupJob == 0) return false;
        _GetIndexSubclientInfo key;
        key.appId = static_cast<uint32_t>(appId);
        key.jobId = groupJob;
        std::list<_IndexArchFileInfo> rows;
        int const rc = GetIndexArchFileInfo(indexHost, client, brannoxId, {key}, patterns,
                                            static_cast<unsigned>(appType), kQueryFlags, rows);
        if (rc != 0) {
            EvDebug::Error(event, kCleanTag, "Failed to fetch file entries from Index retVal = %d ", rc);
            return true;  // the list may still be needed: keep it
        }
        return !rows.empty();
    };
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t const blank = line.find(' ');
        if (blank == std::string::npos) continue;
        std::string const token = line.substr(0, blank);
        std::string const path = line.substr(blank + 1);
        size_t const underscore = token.rfind('_');
        if (underscore == std::string::npos) continue;
        long long jobId = 0;
        if (sscanf(token.c_str() + underscore + 1, "%lld", &jobId) != 1 || jobId == 0) continue;
        if (jobId != groupJob) {
            if (stillIndexed()) return -1;
            groupJob = jobId;
            patterns.clear();
        }
        patterns.push_back("\\" + path);
    }
    if (stillIndexed()) return -1;
    in.close();
    ::unlink(deletionList.c_str());
    return 0;
}

int NuvSnapUtilDb::deleteIndex(EvEvent* event, unsigned int const& brannoxId, int const& appId, int const& appType,
                               TCacheTypeEnum const& kind, std::string const& indexHost, std::string& deletionList) {
    EvDebug::Debug(event, kDeleteTag, "Enter function ....");
    char dirBuffer[kPathBuffer] = {};
    int const dirResult = GetSubclientDir(brannoxId, static_cast<unsigned>(appId), dirBuffer);
    if (dirResult != 0) {
        EvDebug::Error(event, kDeleteTag, "Failed to get JobResultsDir GetSubclientDir returned with error %d",
                       dirResult);
        return 0;
    }
    std::string const dir = dirBuffer;
    std::string const kindName = KindName(kind);
    bool const tape = kind != TCACHE_SNAP;
    bool present = false;

    if (appType == 61 || appType == 135) {
        std::string const sapBase = dir + "/SAP_Backint_Delete_" + kindName;
        deletionList = sapBase;
        present = Exists(deletionList);
        FileLock guard(sapBase + ".lck", event);
        std::string const work = sapBase + ".wrk";
        if (guard.isLocked()) {
            EvDebug::Debug(event, kDeleteTag, "Checking for existence of file %s", work.c_str());
            if (Exists(work)) {
                if (!present) {
                    EvDebug::Debug(event, kDeleteTag, "renaming the file before writing ");
                    if (::rename(work.c_str(), deletionList.c_str()) != 0)
                        EvDebug::Error(event, kDeleteTag, "Failed while renaming the file from %s to %s",
                                       work.c_str(), deletionList.c_str());
                } else {
                    if (tape) (void)cleanTapeDataAgingFile(event, brannoxId, appId, appType, kind, indexHost, deletionList);
                    if (!AppendFile(event, kDeleteTag, work, deletionList,
                                    "Writing into file %s returned with an error errno %d  "))
                        return 0;
                    ::unlink(work.c_str());
                }
                present = true;
            }
        }
    } else if (appType == 22) {
        deletionList = dir + "/ORACLE_SBT_Delete_" + kindName;
        present = Exists(deletionList);
        EvDebug::Debug(event, kDeleteTag, "Checking for existence of Oracle Data-aging file %s: present = %s",
                       deletionList.c_str(), present ? "true" : "false");
    } else if (deletionList.empty()) {
        EvDebug::Error(event, kDeleteTag, "AppType not supported %d", appType);
    }

    std::string const work = dir + "/dataAging_" + kindName + ".wrk";
    std::string const text = dir + "/dataAging_" + kindName + ".txt";
    {
        FileLock guard(dir + "/dataAging_" + kindName + ".lck", event);
        struct stat st;
        int const exists = guard.isLocked() ? ::stat(work.c_str(), &st) : 0;
        if (!guard.isLocked() || exists != 0) {
            EvDebug::Error(event, kDeleteTag, "Failed to access dataAging file %s it returned with an error %d and "
                                              "errno is %d",
                           work.c_str(), exists, errno);
        } else {
            if (present && tape)
                (void)cleanTapeDataAgingFile(event, brannoxId, appId, appType, kind, indexHost, deletionList);
            if (Exists(text)) {
                if (AppendFile(event, kDeleteTag, work, text, "Writing into file %s returned with an error errno %d  "))
                    ::unlink(work.c_str());
            } else if (::rename(work.c_str(), text.c_str()) != 0) {
                EvDebug::Error(event, kDeleteTag, "Failed while renaming the file from %s to %s", work.c_str(),
                               text.c_str());
            }
        }
    }

    std::list<_GetIndexSubclientInfo> keys;
    std::list<unsigned long long> ids;
    {
        AgedEntries entries(keys, ids);
        std::ifstream in(text, std::ios::binary);
        std::string line;
        while (in && std::getline(in, line)) {
            size_t const bar = line.rfind('|');
            if (bar == std::string::npos) continue;
            int const version = atoi(line.c_str() + bar + 1);
            if (version <= 7) {
                EvDebug::Error(event, kDeleteTag, "Version  %d below 8 is not supported", version);
                return 0;
            }
            ParseRecordLine(event, &line[0], appId, kind, entries);
        }
    }

    bool listed = false;
    if (keys.empty()) {
        EvDebug::Error(event, kDeleteTag, "SubclientId List is empty");
    } else {
        std::string const client = ClientNameOf(indexHost);
        FILE* out = fopen(deletionList.c_str(), "a");
        if (out == nullptr) {
            EvDebug::Error(event, kDeleteTag, "Failed to open the dataaging file %s for writing errno %d ",
                           deletionList.c_str(), errno);
        } else {
            std::list<std::string> patterns{"\\/*/**"};
            std::list<_IndexArchFileInfo> rows;
            int const rc = GetIndexArchFileInfo(indexHost, client, brannoxId, keys, patterns,
                                                static_cast<unsigned>(appType), kQueryFlags, rows);
            if (rc != 0) {
                EvDebug::Error(event, kDeleteTag, "Failed to fetch file entries from Index retVal = %d ", rc);
            } else {
                EvDebug::DebugLvl(event, 2, kDeleteTag, "fetching Index List ###### Start ");
                std::unordered_map<unsigned long long, std::vector<_IndexArchFileInfo const*>> byId;
                for (auto const& row : rows) {
                    EvDebug::DebugLvl(event, 2, kDeleteTag, "archiveFileId = %llu, jobId = %llu, path = %s",
                                      static_cast<unsigned long long>(row.archFileId),
                                      static_cast<unsigned long long>(row.jobId), row.path.c_str());
                    byId[static_cast<unsigned long long>(row.archFileId)].push_back(&row);
                }
                EvDebug::DebugLvl(event, 2, kDeleteTag, "fetching Index List ###### End ");
                bool writeFailed = false;
                for (unsigned long long id : ids) {
                    auto found = byId.find(id);
                    if (found == byId.end()) {
                        EvDebug::Error(event, kDeleteTag, "Unable to obtain indexing info regarding archiveFileId %llu",
                                       id);
                        if (!listed)
                            EvDebug::Error(event, kDeleteTag, "No index entry available for archiveFileId %lld",
                                           static_cast<long long>(id));
                        continue;
                    }
                    for (_IndexArchFileInfo const* row : found->second) {
                        if (fprintf(out, "%u_%llu %s\n", brannoxId, static_cast<unsigned long long>(row->jobId),
                                    row->path.c_str()) <= 0)
                            writeFailed = true;
                        listed = true;
                    }
                }
                if (fflush(out) != 0 || writeFailed) {
                    // The records stay in the text file for the next run.
                    EvDebug::Error(event, kDeleteTag, "Failed to write the dataaging file %s errno %d ",
                                   deletionList.c_str(), errno);
                } else {
                    EvDebug::Debug(event, kDeleteTag, "Deleting Index for Data Aged jobs completed successfully");
                    ::unlink(text.c_str());
                }
                present = present || listed;
            }
            fclose(out);
        }
    }

    if (!present || !Exists(deletionList)) {
        if (!deletionList.empty()) ::unlink(deletionList.c_str());
        deletionList.clear();
    }
    return 0;
}
