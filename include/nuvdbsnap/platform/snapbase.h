// The snapshot base class of the snapshot utility.
#pragma once
#include "nuvdbsnap/platform/snapbase/snap_util_base.h"
