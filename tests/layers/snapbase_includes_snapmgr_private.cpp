// A service cannot reach another service's private headers.
#include "snapmgr/sm_paths.h"
