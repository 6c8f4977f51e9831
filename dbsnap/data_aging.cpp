// Data-aging records: the aged archive files of each application are appended
// to the work files of its subclient directory under both lock files.
#include "nuvdbsnap/dbsnap/nuv_snap_util_db.h"

#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/platform_info.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTag[] = "NuvSnapUtilDb::createDeleteIndexEntry";
constexpr size_t kPathBuffer = 1025;  // a path with its file name must fit in 1024 characters

bool Exists(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void LogElements(EvEvent* event, OraSnapDataAging_t const& list, char const* when) {
    for (uint32_t i = 0; i < list.count; ++i) {
        OraSnapDataAgingElement_t const& e = list.elements[i];
        EvDebug::DebugLvl(event, 2, kTag,
                          "%s AppId = %d jobId = %lld brannoxId = %lu filetype = %d archiveFileId = %lu "
                          "archiveType = %d",
                          when, e.AppId, static_cast<long long>(e.jobId), static_cast<unsigned long>(e.brannoxId),
                          e.filetype, static_cast<unsigned long>(e.archiveFileId), e.archiveType);
    }
}

// The work files and locks of one application's group of elements. Closing
// (explicitly or on destruction) closes both files, removes a work file that
// this group made and left empty, and then releases the locks.
class GroupFiles {
public:
    explicit GroupFiles(EvEvent* event) : m_event(event) {}
    ~GroupFiles() { close(); }
    GroupFiles(GroupFiles const&) = delete;
    GroupFiles& operator=(GroupFiles const&) = delete;

    // 0 when both work files are open under both locks, else the result to return.
    int open(std::string const& dir) {
        m_tapeLock.reset(new FileLock(dir + "/dataAging_tape.lck", m_event));
        if (m_tapeLock->isLocked()) m_snapLock.reset(new FileLock(dir + "/dataAging_snap.lck", m_event));
        if (!m_tapeLock->isLocked() || !m_snapLock || !m_snapLock->isLocked()) {
            EvDebug::Error(m_event, kTag,
                           "Failed to get the lock for writing. Please check if any backup job is running");
            return -1;
        }
        for (Work* w : {&m_tape, &m_snap}) {
            w->path = dir + (w == &m_tape ? "/dataAging_tape.wrk" : "/dataAging_snap.wrk");
            w->existed = Exists(w->path);
            w->file = fopen(w->path.c_str(), "a");
            if (w->file == nullptr) {
                EvDebug::Error(m_event, kTag, "Failed to open the data aging file fopen returned with %d", errno);
                return -1;
            }
        }
        return 0;
    }

    // 0, or -1 when the record could not be written.
    int write(OraSnapDataAgingElement_t const& e, int version) {
        Work* w = e.archiveType == 2 ? &m_snap : e.archiveType == 4 ? &m_tape : nullptr;
        if (w == nullptr) return 0;
        int const result =
            fprintf(w->file, "%d|%d|%lld|%lu|%d|%lu|%d|%d|%d|%d\n", e.field1, e.AppId,
                    static_cast<long long>(e.jobId), static_cast<unsigned long>(e.brannoxId), e.filetype,
                    static_cast<unsigned long>(e.archiveFileId), e.archiveType, e.field8, e.field9, version);
        if (result <= 0 || fflush(w->file) != 0) {
            int const err = errno;
            EvDebug::Error(m_event, kTag, "Failed while writing to the file %s with retCode %d and errno is %d ",
                           w->path.c_str(), result, err);
            return -1;
        }
        w->written = true;
        return 0;
    }

    void close() {
        for (Work* w : {&m_tape, &m_snap}) {
            if (w->file != nullptr) {
                fclose(w->file);
                w->file = nullptr;
                if (!w->existed && !w->written) ::unlink(w->path.c_str());
            }
            *w = Work();
        }
        m_snapLock.reset();
        m_tapeLock.reset();
    }

private:
    struct Work {
        std::string path;
        FILE* file = nullptr;
        bool existed = false;
        bool written = false;
    };

    EvEvent* m_event;
    std::unique_ptr<FileLock> m_tapeLock;
    std::unique_ptr<FileLock> m_snapLock;
    Work m_tape;
    Work m_snap;
};

}  // namespace

int NuvSnapUtilDb::compareSnapDataAgingAppId(void const* a, void const* b) {
    int const left = static_cast<OraSnapDataAgingElement_t const*>(a)->AppId;
    int const right = static_cast<OraSnapDataAgingElement_t const*>(b)->AppId;
    return left < right ? -1 : left > right ? 1 : 0;
}

int NuvSnapUtilDb::createDeleteIndexEntry(EvEvent* event, OraSnapDataAging_t& list, ErrorCallback, void*) {
    EvDebug::Debug(event, kTag, "Enter function ....");
    if (list.count == 0 || list.elements == nullptr) {
        EvDebug::Error(event, kTag,
                       " OraSnapDataAgingElement_t element list is empty could be a communication issue between KV "
                       "and client ");
        return -1;
    }
    EvDebug::DebugLvl(event, 2, kTag, "Number of elements in function is %d", static_cast<int>(list.count));
    LogElements(event, list, " Before sort");
    // Stable: the elements of one application keep the order the server gave them.
    std::stable_sort(list.elements, list.elements + list.count,
                     [](OraSnapDataAgingElement_t const& a, OraSnapDataAgingElement_t const& b) {
                         return compareSnapDataAgingAppId(&a, &b) < 0;
                     });
    LogElements(event, list, " After sort");

    JZPI_PlatformBase platform(4);
    char const* baseVersion = platform.getBaseVersion();
    if (baseVersion == nullptr) {
        EvDebug::Error(event, kTag, "Drevox Base Version is NULL, error is %lu, errorMessage is %s",
                       static_cast<unsigned long>(platform.getLastError()), platform.getLastErrorMsg().c_str());
        return -1;
    }
    int const version = atoi(baseVersion);

    GroupFiles group(event);
    for (uint32_t i = 0; i < list.count; ++i) {
        OraSnapDataAgingElement_t const& e = list.elements[i];
        if (i == 0 || e.AppId != list.elements[i - 1].AppId) {
            group.close();
            char dir[kPathBuffer] = {};
            int result = GetSubclientDir(static_cast<unsigned>(e.brannoxId), static_cast<unsigned>(e.AppId), dir);
            if (result != 0) {
                EvDebug::Error(event, kTag, "Failed to create JobResultsDir GetSubclientDir returned with error %d",
                               result);
                return result;
            }
            result = CreateSubclientDir(dir);
            if (result != 0) {
                EvDebug::Error(event, kTag, "creating BCD dir %s failed with retVal = %d", dir, result);
                EvDebug::Error(event, kTag, "Failed creating Directory %s", dir);
                return result;
            }
            if (group.open(dir) != 0) return -1;
        }
        if (group.write(e, version) != 0) return -1;
    }
    group.close();
    return 0;
}
