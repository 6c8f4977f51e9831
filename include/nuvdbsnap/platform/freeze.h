// The freeze guard of the local suite.
#pragma once
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
