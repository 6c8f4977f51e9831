// JZBkpLevel: the job's backup level, an in-house enumeration of the suite
// with a 32-bit underlying type (the job type of the job manager). The
// exported entry points and the interfaces that carry a backup level name it
// in their signatures.
#pragma once

#include <cstdint>

enum JZBkpLevel : int32_t {};
