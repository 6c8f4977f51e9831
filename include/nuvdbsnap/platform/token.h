// The SDK token library of the local suite.
#pragma once

#include "nuvdbsnap/platform/token/token.h"
