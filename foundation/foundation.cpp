// Out-of-line anchors of the foundation types that the library provides.
#include "nuvdbsnap/foundation/error.h"
