// The tree of files the snapshot benchmarks copy, their temporary
// directories and their times (no suite calls: the benchmarks built against
// earlier commits use it too).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace nuvbench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// `files` files of 1-64 KiB (no two alike), 100 to a directory.
inline void MakeTree(std::string const& root, int files) {
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<int> size(1024, 64 * 1024);
    std::vector<char> data(64 * 1024 + 1024);
    for (auto& c : data) c = static_cast<char>(gen());
    for (int i = 0; i < files; ++i) {
        std::string dir = root + "/d" + std::to_string(i / 100);
        if (i % 100 == 0) std::filesystem::create_directories(dir);
        int n = size(gen);
        int fd = ::open((dir + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, data.data() + (i % 1024), static_cast<size_t>(n)) != n) {
            std::perror("write");
            std::exit(1);
        }
        ::close(fd);
    }
}

// A new temporary directory under `parent` ("" on failure).
inline std::string MakeTemp(std::string const& parent, std::string const& name) {
    std::string tmpl = parent + "/" + name + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

}  // namespace nuvbench
