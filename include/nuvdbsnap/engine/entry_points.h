// The exported snapshot door: five functions over one process-wide
// NuvSnapUtil (in process, no job-control client, no host). Call order:
// initializeNuvSnapUtil, addMountPoint per mount point, createSnapArchiveFiles,
// createSnapShot, finalizeNuvSnapUtil. Without an instance createSnapArchiveFiles
// and createSnapShot return -1 and addMountPoint returns 0. The door never
// prepares: its create picks up a prepare made in another process of the same
// job from the job's snapshot-info file. Its job id is the process's job
// context (environment variable JZ_JOB_ID). Not thread-safe: one job thread.
#pragma once

#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/foundation/archive_records.h"
#include "nuvdbsnap/foundation/backup_level.h"

#include <map>
#include <set>
#include <string>

class ApplicationId;
class JZArchive;
class SMVolSnapInfo;

// Builds the instance when there is none, then starts it (again); a failed
// start-up is logged and the instance stays.
void initializeNuvSnapUtil(int engineType, JZBkpLevel backupLevel, ApplicationId* application, int snapType,
                           bool verbose);
// 1 when the mount point was recorded, else 0.
int addMountPoint(char const* mountPoint);
// 0 or -1 (see NuvSnapUtil::createSnapArchiveFiles).
int createSnapArchiveFiles(JZArchive& archive, CreateArgs_t& request, SMVolSnapInfo* out,
                           std::map<std::string, std::set<std::string>>* mountFiles);
// 0 or -1; the first argument is accepted and not read.
int createSnapShot(int const& reserved, ErrorCallback callback, void* context, bool const& flag);
// Destroys the instance (its destructor's rule applies); a second call does nothing.
void finalizeNuvSnapUtil();
