// Error codes that the snapshot manager puts into a record (and returns from
// getErrCode) when one of its calls fails. 0 is success. An injected fault
// (fault table, service "snapmgr") carries the code it was given instead.
#pragma once

enum SMErrorCode {
    SM_SUCCESS = 0,
    SM_ERR_INTERNAL = 1,        // catalogue or system failure
    SM_ERR_INVALID_ARGUMENT = 2,
    SM_ERR_VOLUME = 3,          // a volume cannot be resolved or is unusable
    SM_ERR_NOT_PREPARED = 4,    // a volume has no SM volume id from a prepare
    SM_ERR_COPY = 5,            // the point-in-time copy failed
    SM_ERR_NOT_FOUND = 6,       // no such snapshot / mount / host
    SM_ERR_MOUNT = 7,
    SM_ERR_UNMOUNT = 8,
    SM_ERR_OUTSIDE_STATE_ROOT = 9,  // a path the suite did not make: refused
    SM_ERR_NOT_SUPPORTED = 10,
};
