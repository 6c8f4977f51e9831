// The suite's ground lies below the base library: it cannot see its headers.
#include "nuvdbsnap/platform/base/log.h"
