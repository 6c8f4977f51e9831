// The entry of the block-level library. The handlers it hands out belong to the
// library and live until the process ends.
#include "nuvdbsnap/engine/block_level_entry.h"
#include "nuvdbsnap/platform/suite/service_call.h"
#include "programs/blocklevel/device_config_handler.h"

#include <memory>

namespace {

std::vector<std::unique_ptr<nuvblocklevel::DeviceConfigHandler>>& Handlers() {
    static std::vector<std::unique_ptr<nuvblocklevel::DeviceConfigHandler>> handlers;
    return handlers;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) JzDeviceConfigHandler* GetBlockDeviceConfigHandler(
    std::vector<std::string>& arguments) {
    std::string joined;
    for (auto const& a : arguments) joined += (joined.empty() ? "" : " ") + a;
    if (!nuvsuite::EnterCall("blocklevel", "GetBlockDeviceConfigHandler", joined)) return nullptr;
    Handlers().push_back(std::make_unique<nuvblocklevel::DeviceConfigHandler>(arguments));
    return Handlers().back().get();
}
