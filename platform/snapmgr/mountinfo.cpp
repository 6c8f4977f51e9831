#include "mountinfo.h"

#include "sm_paths.h"

#include <fstream>
#include <sstream>

namespace nuvsnapmgr {
namespace {

std::string Unescape(std::string const& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' &&
            s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::string const& text) {
    std::vector<MountEntry> table;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        std::string word;
        while (words >> word) w.push_back(word);
        // id parent major:minor root mount-point options [optional...] - fstype source super-options
        size_t dash = 0;
        for (size_t i = 6; i < w.size(); ++i)
            if (w[i] == "-") {
                dash = i;
                break;
            }
        if (w.size() < 10 || dash == 0 || dash + 2 >= w.size()) continue;
        MountEntry e;
        e.device = w[2];
        e.root = Unescape(w[3]);
        e.mountPoint = Unescape(w[4]);
        e.options = w[5];
        e.fsType = Unescape(w[dash + 1]);
        e.source = Unescape(w[dash + 2]);
        e.superOptions = dash + 3 < w.size() ? w[dash + 3] : std::string();
        table.push_back(e);
    }
    return table;
}

std::string ReadSelfMountInfo() {
    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FindMountForPath(std::vector<MountEntry> const& table, std::string const& path, MountEntry* out) {
    std::string p = NormalisePath(path);
    if (p.empty() || p[0] != '/') return false;
    size_t best = std::string::npos;
    size_t bestLen = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        std::string mp = NormalisePath(table[i].mountPoint);
        if (!PathHolds(mp, p)) continue;
        if (best == std::string::npos || mp.size() >= bestLen) {
            best = i;
            bestLen = mp.size();
        }
    }
    if (best == std::string::npos) return false;
    if (out) *out = table[best];
    return true;
}

std::vector<std::string> MountPointsShowing(std::vector<MountEntry> const& table, std::string const& dir) {
    std::vector<std::string> out;
    std::string const real = NormalisePath(dir);
    MountEntry holder;
    if (real.empty() || real[0] != '/' || !FindMountForPath(table, real, &holder)) return out;
    // The directory as its file system names it: the holder's root and the rest of the path.
    std::string const point = NormalisePath(holder.mountPoint);
    std::string const rest = point == "/" ? real : real.substr(point.size());
    std::string within = holder.root == "/" ? rest : holder.root + rest;
    if (within.empty()) within = "/";
    for (auto const& e : table)
        if (e.device == holder.device && NormalisePath(e.root) == NormalisePath(within) &&
            NormalisePath(e.mountPoint) != real)
            out.push_back(NormalisePath(e.mountPoint));
    return out;
}

bool IsMountPoint(std::string const& path) {
    std::string p = NormalisePath(path);
    for (auto const& e : ParseMountInfo(ReadSelfMountInfo()))
        if (NormalisePath(e.mountPoint) == p) return true;
    return false;
}

}  // namespace nuvsnapmgr
