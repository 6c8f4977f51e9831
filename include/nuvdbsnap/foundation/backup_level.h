// JZBkpLevel: the job's backup level, a 32-bit value of the suite.
#pragma once

#include <cstdint>

typedef int32_t JZBkpLevel;
