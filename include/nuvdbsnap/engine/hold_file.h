// Debugging hold files: a plain file under /tmp whose presence makes an
// exchange wait. Only a regular file owned by root or by this process's user
// counts; anything else (a link, a directory, another user's file) is ignored
// with a log line, so no other local user can stall a job.
#pragma once

class EvEvent;

namespace nuvengine {

// The helper exchange's hold file (the restore uses it too).
constexpr char const* kSnapUtilHoldFile = "/tmp/NuvSnapUtil.debug";

// True while `path` is a hold file that counts (see above).
bool HoldFileHolds(char const* path, EvEvent* logger, char const* tag);

}  // namespace nuvengine
