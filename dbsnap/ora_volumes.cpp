// Reading the Oracle volume-type file (contract in ora_volumes.h).
#include "ora_volumes.h"

#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/msg/messages.h"

#include <fstream>

int NuvReadOraVolumes(std::string const& directory, EvEvent* ev, char const* tag, std::vector<std::string>* volumes) {
    std::string const path = directory + "/OraVolumeType.jzf";
    std::ifstream in(path);
    if (!in.is_open()) return 0;
    char line[1024];
    bool stopped = false;  // a line too long, or a read error
    while (in.good()) {
        in.getline(line, 1023);  // at most 1022 characters
        if (in.fail()) {
            stopped = !(in.eof() && in.gcount() == 0);  // else: nothing after the last line
            break;
        }
        Nuv::OraVolumeDataType message;
        (void)message.unserialize(line);
        volumes->push_back(message.getstring(1, 1));
    }
    if (!stopped && in.eof() && !in.bad()) {
        EvDebug::DebugLvl(ev, 2, tag, "Read from existing file done.");
        return 0;
    }
    EvDebug::Error(ev, tag, "Failed while reading file [%s]:%d", path.c_str(), static_cast<int>(GetLastError()));
    return -1;
}
