// The Oracle volume-type file "OraVolumeType.jzf" of a subclient directory:
// one serialised Nuv::OraVolumeDataType message a line (at most 1022
// characters), the volume's path in field (1,1).
#pragma once

#include <string>
#include <vector>

class EvEvent;

// Appends the volume path of each line of `<directory>/OraVolumeType.jzf` to
// `volumes` (an empty line gives an empty entry). A missing file appends
// nothing and is no failure. -1 after "Failed while reading file [%s]:%d" when
// the reading stops before the end of the file (a read error, a longer line).
int NuvReadOraVolumes(std::string const& directory, EvEvent* ev, char const* tag, std::vector<std::string>* volumes);
