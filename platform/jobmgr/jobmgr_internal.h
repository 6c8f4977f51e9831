// Shared pieces of the job manager's units.
#pragma once

#include "nuvdbsnap/platform/jobmgr/jobstore.h"

#include <cstdint>
#include <string>

namespace nuvjobmgr {
namespace detail {

int64_t NowSeconds();

// The job's row for a client that must act on it: false with *error set when
// the job is 0, unknown, or (with mustBeOpen) already ended, or when `token`
// is non-empty and not the job's token.
bool CheckJob(int64_t jobId, char const* token, bool mustBeOpen, JobInfo* job, std::string* error);

}  // namespace detail
}  // namespace nuvjobmgr
