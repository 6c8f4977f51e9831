// The name that an ASM disk group takes on a snapshot. The catalogue's
// ASMDiskGroup derives from ASMDiskGroupNaming, so callers write
// ASMDiskGroup::getSnapDGName.
#pragma once

#include <string>

namespace nuvsnapmgr {

class ASMDiskGroupNaming {
public:
    // The snapshot name of the disk group named by sourcePath ("+GROUP" or
    // "+GROUP/..."; a leading '+' is optional): "<GROUP>_S<id>_<index>", upper
    // case. type tells what id is (the snap job, or with 1 the SM volume id);
    // it does not change the name. Empty (logged) when sourcePath names no
    // group or the fault table fails the call ("snapmgr", "getSnapDGName").
    static std::string getSnapDGName(int const& type, std::string const& sourcePath, unsigned int const& brannoxId,
                                     long long const& id, unsigned long const& index);
};

}  // namespace nuvsnapmgr
