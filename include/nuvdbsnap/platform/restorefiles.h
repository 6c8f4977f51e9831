// The restore-files service: the restore-files client JZRestoreFiles and the
// copy of files out of mounted snapshots that it and the file-restore program share.
#pragma once

#include "nuvdbsnap/platform/restorefiles/restore_files.h"
#include "nuvdbsnap/platform/restorefiles/snapshot_copy.h"
