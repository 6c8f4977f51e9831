// The embedded local suite: every service the library calls.
#pragma once
#include "nuvdbsnap/platform/appmgr.h"
#include "nuvdbsnap/platform/archive.h"
#include "nuvdbsnap/platform/base.h"
#include "nuvdbsnap/platform/freeze.h"
#include "nuvdbsnap/platform/indexing.h"
#include "nuvdbsnap/platform/jobmgr.h"
#include "nuvdbsnap/platform/msg.h"
#include "nuvdbsnap/platform/network.h"
#include "nuvdbsnap/platform/restorefiles.h"
#include "nuvdbsnap/platform/snapbase.h"
#include "nuvdbsnap/platform/snapmgr.h"
#include "nuvdbsnap/platform/suite.h"
