// Native reads of the oratab and the process table (contract in host_files.h).
#include "host_files.h"

#include "nuvdbsnap/platform/base/strings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <memory>

namespace nuvagentutil {

namespace {

bool ReadText(std::string const& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool AllDigits(char const* s) {
    if (*s == '\0') return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// argv[0] of every process (the names background processes give themselves).
bool ProcessNames(std::vector<std::string>* names, std::string* error) {
    std::string const proc = HostPath("/proc");
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(proc.c_str()), closedir);
    if (!dir) {
        *error = "cannot open " + proc + ": " + strerror(errno);
        return false;
    }
    while (dirent* entry = readdir(dir.get())) {
        if (!AllDigits(entry->d_name)) continue;
        std::string cmdline;
        if (!ReadText(proc + "/" + entry->d_name + "/cmdline", &cmdline)) continue;  // ended meanwhile
        std::string name = cmdline.substr(0, cmdline.find('\0'));
        // A process may set its whole command line as one text: its first word.
        name = name.substr(0, name.find(' '));
        if (!name.empty()) names->push_back(name);
    }
    return true;
}

}  // namespace

std::string HostPath(std::string const& path) {
    char const* root = std::getenv("JZ_PROBE_ROOT");
    if (root == nullptr || *root == '\0') return path;
    std::string prefixed = root;
    while (!prefixed.empty() && prefixed.back() == '/') prefixed.pop_back();
    return prefixed + path;
}

bool RunningOracleInstances(std::string const& home, std::vector<std::string>* names, std::string* error) {
    names->clear();
    std::string const oratab = HostPath("/etc/oratab");
    std::string text;
    if (!ReadText(oratab, &text)) {
        *error = "cannot read " + oratab + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> processes;
    if (!ProcessNames(&processes, error)) return false;
    for (std::string const& line : FXString::Split(text, "\n")) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields = FXString::Split(line, ":", true);
        if (fields.size() < 2 || fields[0].empty() || fields[1] != home) continue;
        std::string const& sid = fields[0];
        bool const runs = std::any_of(processes.begin(), processes.end(), [&sid](std::string const& p) {
            return p == "ora_pmon_" + sid || p == "xe_pmon_" + sid;
        });
        if (runs && std::find(names->begin(), names->end(), sid) == names->end()) names->push_back(sid);
    }
    return true;
}

bool HostPidOfInit(std::string* pid, std::string* source, std::string* error) {
    *source = HostPath("/proc/1/sched");
    std::ifstream in(*source);
    std::string line;
    if (!in.is_open() || !std::getline(in, line)) {
        *error = "cannot read the first line";
        return false;
    }
    std::string::size_type open = line.find('(');
    std::string::size_type comma = open == std::string::npos ? open : line.find(',', open + 1);
    if (comma == std::string::npos) {
        *error = "no process id in [" + line + "]";
        return false;
    }
    *pid = line.substr(open + 1, comma - open - 1);
    FXString::Trim(*pid, " \t\r\n");
    if (pid->empty()) {
        *error = "no process id in [" + line + "]";
        return false;
    }
    return true;
}

}  // namespace nuvagentutil
