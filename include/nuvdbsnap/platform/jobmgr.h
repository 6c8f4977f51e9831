// The job manager of the local suite.
#pragma once

#include "nuvdbsnap/platform/jobmgr/bkptask.h"
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
#include "nuvdbsnap/platform/jobmgr/jobctrl.h"
#include "nuvdbsnap/platform/jobmgr/jobstore.h"
#include "nuvdbsnap/platform/jobmgr/jobtypes.h"
#include "nuvdbsnap/platform/jobmgr/rsttask.h"
#include "nuvdbsnap/platform/jobmgr/task_files.h"
