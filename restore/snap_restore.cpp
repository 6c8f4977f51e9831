// The restore object and its driver: constructors, Init, the per-job work of
// a restore (task values, job token file, redirect decision, map file,
// physical source paths) and the choice of road.
#include "nuvdbsnap/restore/snap_restore.h"

#include "nuvdbsnap/agentutil/redirect_map_line.h"
#include "nuvdbsnap/platform/appmgr/client.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/suite.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/appmgr/nuv_backup.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/jobmgr/task_files.h"
#include "nuvdbsnap/platform/suite/host.h"
#include "nuvdbsnap/restore/redirect_paths.h"

#include "destination_client.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

long long NuvSnapRestore::destBrannoxId = 2;
JzRstInitParams NuvSnapRestore::jzRstInitParams;
bool NuvSnapRestore::m_redirectRestore = false;

namespace {

char const kCtorTag[] = "IdxRestore::IdxRestore";
char const kDriverTag[] = "IdxRestore::restoreData";
char const kTokenFile[] = "/tmp/jobtoken.txt";

constexpr uint32_t kUserNameOption = 0x4322B07D;
constexpr uint32_t kMapFilePathOption = 0x32179489;
constexpr uint32_t kStoragePathOption = 0x6F88ADAD;
constexpr uint32_t kDestDirTaskFile = 150002;

bool IsSap(uint64_t appType) { return appType == 61 || appType == 135; }
bool IsOracle(uint64_t appType) { return appType == 22 || appType == 80; }
bool IsDb2(uint64_t appType) { return appType == 37 || appType == 62 || appType == 103; }

// The redirect statics and the restore statics are process-wide: one restore
// at a time works on them.
std::mutex& StaticsMutex() {
    static std::mutex m;
    return m;
}

std::string ClientNameOf(std::string const& mangled) {
    std::string host, client;
    int port = 0, brannox = 0;
    if (DemangleHostName(mangled.c_str(), host, client, port, brannox) != 0) return "";
    return client;
}

std::string MangledHostOf(unsigned long clientId) {
    std::string mangled;
    JZClient client(clientId);
    if (client.getNetworkHostnameMangled(mangled, nullptr) != 0) mangled.clear();
    return mangled;
}

}  // namespace

NuvSnapRestore::NuvSnapRestore(EvEvent* event, std::string srcClient, std::string destClient,
                               std::string restoreType, char const** srcPaths, int numSrcPaths, char const** destPaths,
                               int numDestPaths, unsigned long restoreFlags, long long jobIdArg,
                               unsigned long rstValueA, unsigned long appType, unsigned long destBrannox,
                               unsigned long rstValueB, char* userName, char* password, unsigned long destClientId,
                               bool logRestoredFiles, int const& stripLevel, bool const& fullRestore,
                               JZJobCtrlClient* /*jobCtrlClient*/) {
    m_fullRestore = fullRestore;
    m_event = event;
    m_logRestoredFiles = logRestoredFiles;
    m_srcClient = std::move(srcClient);
    m_destClient = std::move(destClient);
    m_restoreType = std::move(restoreType);
    m_restoreFlags = restoreFlags;
    m_stripLevel = stripLevel;
    m_destClientId = destClientId;
    std::lock_guard<std::mutex> guard(StaticsMutex());
    destBrannoxId = static_cast<long long>(destBrannox);
    EvDebug::Debug(m_event, kCtorTag, "m_fullRestore=[%d] StripLevel=[%d]", m_fullRestore ? 1 : 0, m_stripLevel);
    m_destClientName = ClientNameOf(m_destClient);

    EvRstTask task(static_cast<long long>(jobId()), 0, nullptr, false);
    if (!m_fullRestore) restoreFiles.setFocusClientName(m_destClientName);
    TmTaskFiles files(static_cast<long long>(jobId()));
    bool const toNewPlace = (m_restoreFlags & 0x8) != 0;
    if (toNewPlace && destPaths != nullptr && numDestPaths > 0 && destPaths[0] != nullptr) {
        EvDebug::Debug(m_event, kCtorTag, "DestDir = [%s]", destPaths[0]);
        (void)files.setTaskFile(TaskFile(kDestDirTaskFile, destPaths[0], kDestDirTaskFile), nullptr);
    } else if (!toNewPlace && IsSap(appType)) {
        (void)files.setTaskFile(TaskFile(kDestDirTaskFile, "", kDestDirTaskFile), nullptr);
    }
    if (userName != nullptr && userName[0] != '\0') (void)task.setOptionString(kUserNameOption, userName, nullptr);
    if (password != nullptr && password[0] != '\0') (void)task.setPassword(password, nullptr);

    m_redirect = false;
    if (IsSap(appType) && !toNewPlace && destPaths != nullptr) {
        int const n = std::min(numSrcPaths, numDestPaths);
        for (int i = 0; i < n; ++i) {
            if (destPaths[i] == nullptr || destPaths[i][0] == '\0') continue;
            EvDebug::Debug(m_event, kCtorTag, "m_redirectRestore == true, destPath[%d]=[%s] len=%d", i, destPaths[i],
                           static_cast<int>(std::strlen(destPaths[i])));
            m_redirect = true;
            break;
        }
    }
    m_redirectRestore = m_redirect;

    jzRstInitParams.srcPaths = const_cast<char**>(srcPaths);
    jzRstInitParams.numSrcPaths = srcPaths != nullptr ? numSrcPaths : 0;
    jzRstInitParams.destPaths = const_cast<char**>(destPaths);
    jzRstInitParams.numDestPaths = destPaths != nullptr ? numDestPaths : 0;
    jzRstInitParams.jobId = jobIdArg;
    jzRstInitParams.rstValueA = rstValueA;
    jzRstInitParams.appType = appType;
    jzRstInitParams.destBrannoxId = destBrannox;
    jzRstInitParams.rstValueB = rstValueB;
    jzRstInitParams.userName = userName;
    jzRstInitParams.password = password;
    jzRstInitParams.destClientId = destClientId;
}

NuvSnapRestore::NuvSnapRestore(EvEvent* event, bool fullRestore, JZJobCtrlClient* jobCtrlClient,
                               unsigned long restoreFlags) {
    m_event = event;
    m_fullRestore = fullRestore;
    m_jobCtrlClient = jobCtrlClient;
    m_redirect = false;
    EvRstTask task(static_cast<long long>(jobId()), 0, nullptr, false);
    uint64_t srcId = 0, destId = 0;
    (void)task.getSourceClientId(srcId, nullptr);
    (void)task.getDestinationClientId(destId, nullptr);
    m_srcClient = MangledHostOf(static_cast<unsigned long>(srcId));
    if (destId != 0) {
        m_destClient = MangledHostOf(static_cast<unsigned long>(destId));
    } else {
        EvDebug::Debug(m_event, "NuvSnapRestore::NuvSnapRestore", "Setting it to source client [%s] since destClientId is 0",
                       m_srcClient.c_str());
        m_destClient = m_srcClient;
        destId = srcId;
    }
    m_destClientId = static_cast<unsigned long>(destId);
    m_destClientName = ClientNameOf(m_destClient);
    m_restoreFlags = restoreFlags;
    restoreFiles.setFocusClientName(m_destClientName);
    if (!m_fullRestore && jobCtrlClient != nullptr) {
        restoreFiles.setJobControlClient(jobCtrlClient);
        restoreFiles.setDoNotFinishJobCtrl(true);
    }
}

NuvSnapRestore::~NuvSnapRestore() = default;

uint64_t NuvSnapRestore::jobId() const { return m_event != nullptr ? m_event->getJobId() : 0; }

void NuvSnapRestore::failed(char const* tag, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string const text = FXString::FormatV(format, ap);
    va_end(ap);
    EvDebug::Error(m_event, tag, "%s", text.c_str());
    noteCause(text);
}

int NuvSnapRestore::Init(JZJobCtrlClient* jobCtrlClient) {
    m_jobCtrlClient = jobCtrlClient;
    if (!m_fullRestore) {
        restoreFiles.setJobControlClient(jobCtrlClient);
        restoreFiles.setDoNotFinishJobCtrl(true);
    }
    return m_errorFlag != 0 ? -1 : 1;
}

bool& NuvSnapRestore::isRedirectRestore() { return m_redirectRestore; }

int GetDrevoxBaseTempPath(char* buffer, int length) {
    if (buffer == nullptr || length <= 0) return -1;
    buffer[0] = '\0';
    JZPI_Base base;
    char const* dir = base.getDrevoxTempDirectory();
    if (dir == nullptr || dir[0] == '\0') return -1;
    std::string text = std::string(dir) + "/";
    if (text.size() + 1 > static_cast<size_t>(length)) return -1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return 0;
}

int NuvSnapRestore::computeStripLevel(char const* path, int& level) {
    char const tag[] = "::computeStripLevel";
    if (path == nullptr) {
        EvDebug::Debug(nullptr, tag, "File path empty. Return. Use the default value passed by caller");
        return 1;
    }
    std::string parent = CFzPath::GetParent(path).c_str();
    if (parent.empty()) return 1;
    EvDebug::Debug(nullptr, tag, "Source file path=[%s] Parent=[%s]", path, parent.c_str());
    level = parent.size() == 1 ? 0 : static_cast<int>(std::count(parent.begin(), parent.end(), '/'));
    return 0;
}

int NuvSnapRestore::restoreData(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles,
                                ErrorCallback callback, void* context) {
    return restoreData(snapJobId, flag, archFiles, jzRstInitParams, callback, context, std::string());
}

int NuvSnapRestore::restoreData(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles,
                                JzRstInitParams& params, ErrorCallback callback, void* context,
                                std::string const& extendedOptions) {
    long long const job = static_cast<long long>(jobId());
    uint64_t saved = 0;
    {
        EvRstTask task(job, 0, nullptr, false);
        (void)task.getDestinationClientId(saved, nullptr);
    }
    m_failureText.clear();
    DestinationClientRestorer restorer(job, saved, !m_jobPrepared && m_destClientId != saved);
    if (!m_jobPrepared) {
        int rc = prepareJob(snapJobId, {&archFiles}, extendedOptions, params);
        if (rc != 0) return rc;
    }
    return runRoad(snapJobId, flag, archFiles, params, callback, context, extendedOptions);
}

namespace {

struct Resolved {
    std::string path;
    bool ok = false;
};

// The physical path of every data file of a snapshot archive file, in the
// lists' order. Each file is its own call of the symbolic-link service; many
// files are spread over a few threads (each journals its calls in one batch).
std::vector<Resolved> ResolvePhysicalPaths(std::vector<std::list<ArchFileInfo>*> const& lists) {
    struct Item {
        std::string const* given;
        ArchFileInfo const* af;
    };
    std::vector<Item> items;
    for (std::list<ArchFileInfo>* archFiles : lists)
        for (ArchFileInfo const& af : *archFiles)
            if (af.archFileKind == 0)
                for (DataFileInfo const& df : af.dataFiles) items.push_back(Item{&df.srcPath, &af});
    std::vector<Resolved> out(items.size());
    auto work = [&](size_t from, size_t to) {
        nuvsuite::JournalBatch batch;
        PhysicalPathBatch paths;  // the files of a directory come together: it is resolved once
        for (size_t i = from; i < to; ++i) {
            Item const& item = items[i];
            if (NuvSymLink::m_mountSrcTransMap.empty()) {
                out[i].ok = paths.getPhysicalPath(*item.given, out[i].path);
            } else {
                out[i].ok = paths.getPhysicalPath(*item.given, out[i].path, NuvSymLink::m_mountSrcTransMap,
                                                  static_cast<long long>(item.af->snapJobId),
                                                  static_cast<int>(item.af->brannoxId));
            }
        }
    };
    size_t constexpr kPerThread = 2048;
    size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), 8);
    threads = std::min(threads, (items.size() + kPerThread - 1) / kPerThread);
    if (threads <= 1) {
        work(0, items.size());
        return out;
    }
    std::vector<std::thread> workers;
    size_t const chunk = (items.size() + threads - 1) / threads;
    for (size_t from = 0; from < items.size(); from += chunk) {
        size_t const to = std::min(items.size(), from + chunk);
        try {
            workers.emplace_back(work, from, to);
        } catch (std::system_error const&) {
            work(from, to);  // no thread to be had: this one does the share
        }
    }
    for (std::thread& t : workers) t.join();
    return out;
}

}  // namespace

int NuvSnapRestore::prepareJob(long long snapJobId, std::vector<std::list<ArchFileInfo>*> const& lists,
                               std::string const& extendedOptions, JzRstInitParams const& params) {
    long long const job = static_cast<long long>(jobId());
    char const* const userName = params.userName;
    // Nothing is restored onto the root directory: refused before anything is written.
    for (std::list<ArchFileInfo>* archFiles : lists)
        for (ArchFileInfo const& af : *archFiles)
            for (DataFileInfo const& df : af.dataFiles) {
                std::string const& target = df.destPath.empty() ? df.srcPath : df.destPath;
                if (nuvrestorefiles::IsRootDirectory(target)) {
                    failed(kDriverTag, "Destination [%s] of [%s] is the root directory: refused", target.c_str(),
                           df.srcPath.c_str());
                    return kRestoreDestinationRoot;
                }
            }
    for (int i = 0; params.destPaths != nullptr && i < params.numDestPaths; ++i) {
        if (params.destPaths[i] == nullptr || !nuvrestorefiles::IsRootDirectory(params.destPaths[i])) continue;
        char const* source = params.srcPaths != nullptr && i < params.numSrcPaths && params.srcPaths[i] != nullptr
                                 ? params.srcPaths[i]
                                 : "";
        failed(kDriverTag, "Destination [%s] of [%s] is the root directory: refused", params.destPaths[i], source);
        return kRestoreDestinationRoot;
    }
    EvRstTask task(job, 0, nullptr, false);
    (void)task.setStripLevel(static_cast<uint64_t>(m_stripLevel), nullptr);
    uint64_t saved = 0, appType = 0;
    (void)task.getDestinationClientId(saved, nullptr);
    (void)task.getAppTypeId(appType, nullptr);
    EvDebug::Error(m_event, kDriverTag, "savedClientId:%ld, m_destClientId to which task is now set:%ld snapJobId=%lld",
                   static_cast<long>(saved), static_cast<long>(m_destClientId), snapJobId);

    // The job token: written whole (a temporary file renamed into place, links
    // never followed), readable by its owner only.
    char const* token = m_jobCtrlClient != nullptr ? m_jobCtrlClient->GetJobToken() : nullptr;
    (void)FXFile::WriteWhole(kTokenFile, token != nullptr ? token : "", 0600);

    std::lock_guard<std::mutex> guard(StaticsMutex());
    if (RedirectPathSearch::m_listJobId != job) RedirectPathSearch::ResetForJob(job);
    auto& list = RedirectPathSearch::redirectPathList;
    list.setint64(nuvredirect::kAppType, nuvredirect::kAppType, static_cast<int64_t>(appType));

    bool const multiplexed =
        !extendedOptions.empty() && CExtendedOptions(extendedOptions).getOptionAsInt("DBRestoreFromMultiplexedBackup") == 1;

    if (!IsSap(appType) && !multiplexed) {
        m_redirect = false;
        if (appType == 5) {
            EvDebug::Debug(m_event, kDriverTag, "Skipping redirect path for now");
        } else {
            if (RedirectPathSearch::m_redirectRestoreFlag == 0) {
                list = Nuv::OracleDB2DatabasePaths();
                list.setint64(nuvredirect::kAppType, nuvredirect::kAppType, static_cast<int64_t>(appType));
                NuvBackup request;
                int rc = request.getOracleDB2RedirectRestorePaths(static_cast<uint32_t>(appType), job, list, snapJobId);
                if (rc != 0 || (list.isSet(nuvredirect::kErrorCode) && list.getint64(nuvredirect::kErrorCode) != 0)) {
                    failed(kDriverTag,
                           "Failed to fetch the Redirect restore Paths from KV. Please check the client & KV logs");
                    return -8;
                }
            }
            auto* entries = list.getlistobject<Nuv::OracleDB2DatafilePath>(nuvredirect::kEntries, nuvredirect::kEntries);
            if (RedirectPathSearch::m_redirectRestoreFlag == 0 && (entries == nullptr || entries->empty())) {
                EvDebug::Debug(m_event, kDriverTag, "Redirect path list is empty, may not be a redirect restore");
            } else if (IsDb2(appType)) {
                for (auto& e : *entries) {
                    if (e.getint64(nuvredirect::kPathType) == 5) continue;
                    std::string const& s = e.getstringByRef(nuvredirect::kSourcePath);
                    std::string const& d = e.getstringByRef(nuvredirect::kDestPath);
                    if (s == d) continue;
                    EvDebug::Debug(m_event, kDriverTag, "relocateDb [src=%s] [dest=%s]", s.c_str(), d.c_str());
                    EvDebug::Debug(m_event, kDriverTag, "Redirect path list is Set. It is a redirect restore");
                    m_redirect = true;
                    break;
                }
            } else if (entries != nullptr && !entries->empty()) {
                m_redirect = true;
                EvDebug::Debug(m_event, kDriverTag, "Redirect path list is Set. It is a redirect restore");
            }
        }
    }
    m_redirectRestore = m_redirect;

    if (!(appType == 103 && !m_redirect)) (void)task.setDestinationClientId(m_destClientId, nullptr);

    std::string mapPath;
    std::string mapText;
    std::map<std::string, std::string> mapped;  // destination -> source
    bool duplicate = false, unwritable = false;
    auto addLine = [&](std::string const& source, std::string const& dest) {
        if (char const* why = nuvagentutil::UnmappableReason(source, dest)) {
            failed(kDriverTag, "[%s] -> [%s] %s and cannot be mapped", source.c_str(), dest.c_str(), why);
            unwritable = true;
            return;
        }
        mapText += nuvagentutil::FormatRedirectMapLine(source, dest);
        if (dest.empty()) return;
        auto seen = mapped.emplace(dest, source);
        if (!seen.second && seen.first->second != source) {
            failed(kDriverTag, "[%s] and [%s] are both mapped to [%s]", seen.first->second.c_str(), source.c_str(),
                   dest.c_str());
            duplicate = true;
        }
    };
    if (m_redirect) {
        char temp[1025];
        if (GetDrevoxBaseTempPath(temp, sizeof temp) != 0) {
            failed(kDriverTag, "No temporary directory for the restore's map file");
            return 1;
        }
        mapPath = std::string(temp) + FXString::Format("tmp_%u_%lld", 2u, job);
        EvDebug::DebugLvl(m_event, 2, kDriverTag, "Setting restore option RESTOREMAPFILES_MAP_FILE_PATH [%lu] = [%s]",
                          static_cast<unsigned long>(kMapFilePathOption), mapPath.c_str());
    } else if (IsSap(appType)) {
        (void)task.setOptionString(kMapFilePathOption, std::list<std::string>{""}, nullptr);
        EvDebug::Debug(m_event, kDriverTag,
                       "Not a redirect restore. Unset any mapped file path present in restore task from previous phases");
    } else if (IsDb2(appType)) {
        (void)task.setOptionBool(kStoragePathOption, false, nullptr);
        EvDebug::Debug(m_event, kDriverTag, "Non Redirect in place restore... unset the storage path option.");
    }

    auto* entries = list.getlistobject<Nuv::OracleDB2DatafilePath>(nuvredirect::kEntries, nuvredirect::kEntries);
    if (IsDb2(appType) && m_redirect && entries != nullptr)
        for (auto& e : *entries) addLine(e.getstringByRef(nuvredirect::kSourcePath), e.getstringByRef(nuvredirect::kDestPath));

    nuvsuite::JournalBatch batch;  // the per-file calls journalled in one transaction
    std::vector<Resolved> const resolved = multiplexed ? std::vector<Resolved>() : ResolvePhysicalPaths(lists);
    size_t nextResolved = 0;
    for (std::list<ArchFileInfo>* archFiles : lists) {
        if (multiplexed) break;
        for (ArchFileInfo& af : *archFiles) {
            for (DataFileInfo& df : af.dataFiles) {
                std::string const given = df.srcPath;
                if (IsOracle(appType) && entries != nullptr && !entries->empty()) {
                    RedirectPathSearch search(given, df.pathType, df.destPath, df.resultType);
                    bool matched = false;
                    for (auto& e : *entries)
                        if (search(e)) {
                            matched = true;
                            break;
                        }
                    if (!matched) df.destPath = given;
                }
                if (af.archFileKind == 0) {
                    size_t const k = nextResolved++;
                    if (!resolved[k].ok) {
                        bool const plain = NuvSymLink::m_mountSrcTransMap.empty();
                        if (plain)
                            failed(kDriverTag, "Path:%s - Failed to get a physicalPath", given.c_str());
                        else
                            failed(kDriverTag, "Path:%s - Failed to get a physicalPath2", given.c_str());
                        return plain ? -6 : -7;
                    }
                    std::string const& physical = resolved[k].path;
                    df.srcPath = physical;
                    if (df.destPath == given) df.destPath = physical;
                }
                // A file going back to its place finds its directories and links laid out as they were.
                if (df.destPath.empty() || df.destPath == df.srcPath)
                    NuvSymLink::createDirAndSymLinks(given, static_cast<long long>(af.snapJobId),
                                                     static_cast<int>(af.brannoxId), userName != nullptr ? userName : "");
                if (IsOracle(appType) && m_redirect && !df.destPath.empty()) {
                    addLine(df.srcPath, df.destPath);
                } else if (IsSap(appType) && m_redirect) {
                    addLine(df.srcPath, df.destPath.empty()
                                            ? std::string()
                                            : CFzPath::Append(df.destPath, CFzPath::GetBaseName(df.srcPath).c_str()).c_str());
                }
            }
        }
    }
    if (unwritable) return 1;
    if (duplicate) return kRestoreDestinationCollision;
    if (m_redirect) {
        if (FXFile::WriteWhole(mapPath, mapText, 0600).IsError()) {
            failed(kDriverTag, "Failed to open file [%s], errno=[%d]", mapPath.c_str(), errno);
            return 1;
        }
        (void)task.setOptionString(kMapFilePathOption, std::list<std::string>{mapPath}, nullptr);
    }
    return 0;
}

int NuvSnapRestore::runRoad(long long snapJobId, bool flag, std::list<ArchFileInfo>& archFiles,
                            JzRstInitParams& params, ErrorCallback callback, void* context,
                            std::string const& extendedOptions) {
    EvRstTask task(static_cast<long long>(jobId()), 0, nullptr, true);
    uint64_t appType = 0;
    (void)task.getAppTypeId(appType, nullptr);
    int const n = params.srcPaths != nullptr && params.numSrcPaths > 0 ? params.numSrcPaths : 0;
    std::vector<int> levels(static_cast<size_t>(n) + 1, m_stripLevel);
    if (IsSap(appType) && !m_fullRestore) {
        for (int i = 0; i < n; ++i) {
            if (computeStripLevel(params.srcPaths[i], levels[static_cast<size_t>(i)]) != 0)
                levels[static_cast<size_t>(i)] = m_stripLevel;
            EvDebug::DebugLvl(m_event, 2, kDriverTag, "StripLevel=[%d] SourcePath=[%s]", levels[static_cast<size_t>(i)],
                              params.srcPaths[i] ? params.srcPaths[i] : "");
        }
    }
    m_countsBrannoxId = params.destBrannoxId != 0 ? static_cast<long long>(params.destBrannoxId) : 0;
    if (m_fullRestore) return fullRestore(archFiles);
    int ok = restoreFiles.init_v3(m_srcClient, m_destClient, m_restoreType, params.srcPaths, levels.data(), n,
                                  params.destPaths, params.destPaths != nullptr ? params.numDestPaths : 0,
                                  m_restoreFlags, 0, 0, params.jobId != 0 ? params.jobId : static_cast<long long>(jobId()),
                                  params.rstValueA, params.appType, params.destBrannoxId, params.rstValueB,
                                  params.userName, params.password, nullptr, nullptr, nullptr, 0, params.destClientId,
                                  "", "", 0, 0, extendedOptions.empty() ? nullptr : extendedOptions.c_str());
    if (ok != 1) {
        noteCause(restoreFiles.getErrorString());
        failed(kDriverTag, "InitV3 initialization failed ");
        m_errorFlag = 1;
        return -10;
    }
    return partialRestore(snapJobId, flag, archFiles, params, callback, context);
}
