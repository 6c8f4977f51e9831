// A platform service cannot see a subsystem's headers.
#include "nuvdbsnap/engine/entry_points.h"
