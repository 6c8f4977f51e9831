// The foundation lies below the platform: it cannot see the platform's headers.
#include "nuvdbsnap/platform/suite/suite.h"
