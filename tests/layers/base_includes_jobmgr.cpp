// The base library lies below the job manager: it cannot see its headers.
#include "nuvdbsnap/platform/jobmgr/jobclient.h"
