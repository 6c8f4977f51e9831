// The failure report of the in-process snapshot roads: the client's error code
// and text logged, then handed to the caller's callback (when there is one)
// with error type -1 and the road's tag.
#pragma once

#include "nuvdbsnap/engine/snap_util_types.h"
#include "nuvdbsnap/platform/base/log.h"

#include <string>

namespace nuvengine {

// `Client` offers getErrCodeAndStr(std::string&) and getErrCode(). Returns -1.
template <class Client>
int ReportSnapFailure(Client& client, EvEvent* logger, char const* tag, char const* operation,
                      char const* callbackTag, ErrorCallback callback, void* context) {
    std::string text;
    (void)client.getErrCodeAndStr(text);
    int const code = client.getErrCode();
    EvDebug::Debug(logger, tag, "%s failed with the following error\n ErrorCode:%d: %s ", operation, code,
                   text.c_str());
    if (callback != nullptr) callback(context, -1, callbackTag, code, text.c_str());
    return -1;
}

}  // namespace nuvengine
