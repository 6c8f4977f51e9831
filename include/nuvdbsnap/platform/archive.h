// The archive manager of the local suite: snapshot archive files of jobs.
#pragma once

#include "nuvdbsnap/platform/archive/armgr_client.h"
#include "nuvdbsnap/platform/archive/jzarchive.h"
#include "nuvdbsnap/platform/archive/records.h"
#include "nuvdbsnap/platform/archive/status.h"
