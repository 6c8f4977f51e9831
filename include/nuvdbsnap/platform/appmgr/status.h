// Error numbers of the application manager. Its objects keep the suite's
// last-error record (nuvsuite::LastErrorRecord): every failing call stores a
// number and a text there, every successful lookup clears it.
// Every call that reads or writes the catalogue takes the suite's service-call
// step as ("appmgr", "<Class>::<method>", "key=value ..."): a fault's code is
// returned (or stored as the last error of a call that returns an object) and
// its text becomes the error string.
#pragma once

#include "nuvdbsnap/platform/suite/service_call.h"

namespace nuvappmgr {

enum AppMgrError : int {
    kAppMgrOk = 0,
    kAppMgrNotFound = 2,       // no such row (application, client, instance, ...)
    kAppMgrCatalogue = 5,      // the catalogue could not be read or written
    kAppMgrConflict = 16,      // stored content changed since the caller read it
    kAppMgrBadArgument = 22,   // refused input (empty name, wrong application type, ...)
    kAppMgrNotSupported = 95,  // operation the local suite does not offer
};


}  // namespace nuvappmgr
