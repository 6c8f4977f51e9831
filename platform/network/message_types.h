// The XDR record of each message type the network layer carries.
#pragma once

#include <rpc/rpc.h>

#include <cstddef>

namespace nuvnet {

struct XdrMessageType {
    unsigned long type;
    xdrproc_t proc;       // encodes, decodes and frees the record
    std::size_t size;     // bytes of the C record
    char const* name;
};

// The entry of `type`, or null for a type the layer does not know.
XdrMessageType const* FindXdrMessageType(unsigned long type);

}  // namespace nuvnet
