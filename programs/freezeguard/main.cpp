// jzfreezeguard: the guard of one file-system freeze, started by the freeze
// guard service beside the process that freezes (see freeze_guard.h). Its
// descriptor 3 is its channel to that process. It leaves the session of the
// process that started it, so that signals meant for that process's group
// never end it, and writes nothing to the inherited standard error.
//
//   jzfreezeguard MOUNT_POINT LIMIT_SECONDS ROW OWNER_PID
#include "nuvdbsnap/platform/freeze/freeze_guard.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

bool Number(char const* text, long long min, long long* value) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min) return false;
    *value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long long limit = 0, row = 0, owner = 0;
    if (argc != 5 || argv[1][0] != '/' || !Number(argv[2], 1, &limit) || !Number(argv[3], 1, &row) ||
        !Number(argv[4], 1, &owner)) {
        std::fprintf(stderr, "usage: jzfreezeguard MOUNT_POINT LIMIT_SECONDS ROW OWNER_PID\n");
        return 2;
    }
    setsid();
    if (std::freopen("/dev/null", "w", stderr) == nullptr) return 1;
    return nuvfreeze::RunGuard(3, argv[1], static_cast<int>(limit), row, static_cast<int>(owner));
}
