// The foundation types are header-only in this library (their out-of-line parts
// live in the platform's base library, which the platform services share); this
// unit compiles every foundation header once so that each stays self-contained.
#include "nuvdbsnap/foundation.h"
