// Splitting a volume's mount options "fstype:options" into the file-system type
// and the options. The split is at the first ':': a file-system type never
// holds one, while the options may (SELinux contexts do).
#pragma once

#include <string>

namespace nuvengine {

struct MountOptions {
    std::string fsType;   // "" when the text holds no ':'
    std::string options;  // the whole text when it holds no ':'
};

inline MountOptions SplitMountOptions(std::string const& text) {
    MountOptions parts;
    std::string::size_type colon = text.find(':');
    if (colon == std::string::npos) {
        parts.options = text;
    } else {
        parts.fsType = text.substr(0, colon);
        parts.options = text.substr(colon + 1);
    }
    return parts;
}

}  // namespace nuvengine
