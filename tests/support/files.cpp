#include "support/files.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace nuvtest {

void WriteFile(std::string const& path, std::string const& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadFile(std::string const& path) {
    g_ptrLogWriter->Flush();   // a log read back holds every line this process wrote before
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(std::string const& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string MakeDir(std::string const& path) {
    ::mkdir(path.c_str(), 0755);
    return path;
}

void InstallBaseHomeProgram(std::string const& program) {
    std::string const target = nuvsuite::StatePath("basehome") + "/" + program;
    {
        std::ifstream in(std::string(NUV_OUT_DIR) + "/bin/basehome/" + program, std::ios::binary);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
    }
    ::chmod(target.c_str(), 0755);
}

}  // namespace nuvtest
