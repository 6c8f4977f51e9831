// The snapshot manager and its clients.
#pragma once
#include "nuvdbsnap/platform/snapmgr/snapmgr.h"
