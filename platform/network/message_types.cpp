#include "message_types.h"

#include "nuvwire/snap_wire.h"

namespace nuvnet {
namespace {

// The snapshot helper's requests and replies (prepare, snap, delete).
XdrMessageType const kTypes[] = {
    {0x20000402, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilRequest), sizeof(NuvSnapUtilRequest), "prepare request"},
    {0x20000403, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilReply), sizeof(NuvSnapUtilReply), "prepare reply"},
    {0x200003d2, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilRequest), sizeof(NuvSnapUtilRequest), "snap request"},
    {0x200003d3, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilReply), sizeof(NuvSnapUtilReply), "snap reply"},
    {0x200004f7, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilRequest), sizeof(NuvSnapUtilRequest), "delete request"},
    {0x200004f8, reinterpret_cast<xdrproc_t>(xdr_NuvSnapUtilReply), sizeof(NuvSnapUtilReply), "delete reply"},
};

}  // namespace

XdrMessageType const* FindXdrMessageType(unsigned long type) {
    for (XdrMessageType const& t : kTypes)
        if (t.type == type) return &t;
    return nullptr;
}

}  // namespace nuvnet
