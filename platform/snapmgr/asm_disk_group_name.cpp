// ASMDiskGroupNaming::getSnapDGName.
#include "nuvdbsnap/platform/snapmgr/asm_disk_group_name.h"

#include "nuvdbsnap/platform/snapmgr/sm_errors.h"
#include "sm_call.h"

#include <cctype>

namespace nuvsnapmgr {

std::string ASMDiskGroupNaming::getSnapDGName(int const& type, std::string const& sourcePath,
                                              unsigned int const& brannoxId, long long const& id,
                                              unsigned long const& index) {
    int errCode = 0;
    std::string errText;
    SMCall call("ASMDiskGroupNaming::getSnapDGName",
                "type=" + std::to_string(type) + " source=" + sourcePath + " brannox=" + std::to_string(brannoxId) +
                    " id=" + std::to_string(id) + " index=" + std::to_string(index),
                nullptr, &errCode, &errText);
    if (call.Faulted()) return std::string();
    size_t start = sourcePath.empty() || sourcePath[0] != '+' ? 0 : 1;
    std::string group = sourcePath.substr(start, sourcePath.find('/', start) - start);
    if (group.empty()) {
        call.Fail(SM_ERR_INTERNAL, "no disk group named in [" + sourcePath + "]");
        return std::string();
    }
    for (char& c : group) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return group + "_S" + std::to_string(id) + "_" + std::to_string(index);
}

}  // namespace nuvsnapmgr
