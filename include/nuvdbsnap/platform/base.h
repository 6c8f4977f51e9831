// Every header of the base library.
#pragma once

#include "nuvdbsnap/platform/base/cnamed_mutex.h"
#include "nuvdbsnap/platform/base/critical_section.h"
#include "nuvdbsnap/platform/suite/error_detail.h"
#include "nuvdbsnap/platform/base/files.h"
#include "nuvdbsnap/platform/base/jzfile.h"
#include "nuvdbsnap/platform/base/library.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/named_mutex.h"
#include "nuvdbsnap/platform/base/paths.h"
#include "nuvdbsnap/platform/base/platform_info.h"
#include "nuvdbsnap/platform/base/process.h"
#include "nuvdbsnap/platform/base/registry.h"
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/base/symlink.h"
#include "nuvdbsnap/platform/base/thread.h"
