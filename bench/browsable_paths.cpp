// The browsable paths of a job written and read back: the browsable-path file
// and the directory-change text for 100,000 and 1,000,000 entries. Each road
// is the whole road (fill the list, write the file, read it back into the
// list, write the directory-change text, read it back); sync(2) before each.
// Five runs with the order of the two sizes rotated; median, min and max per
// size, and the growth of the median (target: at most 12x for 10x entries).
#include "catalogue/translator_internal.h"
#include "nuvdbsnap/catalogue/db_path_translator.h"
#include "bench/round_stats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A database tree: one directory entry per 50 files, each file with an
// operating-system path.
void Fill(size_t count) {
    std::vector<browseablePath_t>& list = nuvcatalogue::PathList();
    list.clear();
    list.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        browseablePath_t entry = browseablePath_t();
        std::string const dir = "/ORCL/TS" + std::to_string(i / 50);
        entry.isDir = i % 50 == 0 ? 1 : 0;
        entry.phonyPath = entry.isDir ? dir : dir + "/file" + std::to_string(i) + ".dbf";
        entry.osPath = "/u01/oradata/ts" + std::to_string(i / 50) + "/file" + std::to_string(i) + ".dbf";
        entry.size = 8192 * (i % 1000);
        entry.afile.brannoxId = 2;
        entry.afile.archGroupId = 3;
        entry.afile.archFileId = static_cast<uint32_t>(100 + i % 7);
        list.push_back(std::move(entry));
    }
}

double Road(size_t count, std::string const& dir) {
    sync();
    auto const start = std::chrono::steady_clock::now();
    Fill(count);
    DBPathTranslator translator;
    translator.m_appType = 22;
    std::string const file = dir + "/browsable.txt";
    {
        std::ofstream out(file);
        if (translator.writeBrowseablePathToFile(out, dir) != 0) exit(2);
    }
    nuvcatalogue::PathList().clear();
    {
        std::ifstream in(file);
        std::string line;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) translator.addToBrowsablePath(line, ',', dir);
    }
    if (nuvcatalogue::PathList().size() != count) exit(3);
    std::string const dirChange = dir + "/dirchange.txt";
    FILE* out = fopen(dirChange.c_str(), "w");
    if (out == nullptr || translator.appendBrowsablePathToDirChange(out) != 0 || fclose(out) != 0) exit(4);
    size_t files = 0;
    {
        std::ifstream in(dirChange);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty() && line[0] == '\t') ++files;
    }
    if (files != count - (count + 49) / 50) exit(5);
    auto const end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int const runs = argc > 1 ? std::max(5, atoi(argv[1])) : 5;
    char templ[] = "/tmp/nuv-bench-browsable-XXXXXX";
    if (mkdtemp(templ) == nullptr) return 1;
    std::string const dir = templ;
    setenv("JZ_SUITE_ROOT", (dir + "/suite").c_str(), 0);
    setenv("JZ_LOG_FILE", (dir + "/bench.log").c_str(), 0);
    size_t const sizes[2] = {100000, 1000000};
    std::vector<double> times[2];
    for (int run = 0; run < runs; ++run) {
        for (int k = 0; k < 2; ++k) {
            int const which = (run + k) % 2;  // rotate the order
            times[which].push_back(Road(sizes[which], dir));
        }
    }
    nuvbench::Stat const small = nuvbench::Summary(times[0]);
    nuvbench::Stat const large = nuvbench::Summary(times[1]);
    double const growth = large.median / small.median;
    printf("browsable paths, write and read back (file and directory-change text), %d runs\n", runs);
    printf("  %8zu entries: median %.3f s (min %.3f, max %.3f)\n", sizes[0], small.median, small.min, small.max);
    printf("  %8zu entries: median %.3f s (min %.3f, max %.3f)\n", sizes[1], large.median, large.min, large.max);
    printf("  growth for 10x entries: %.2fx (target: at most 12x) %s\n", growth, nuvbench::Target(growth <= 12.0));
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return nuvbench::ExitStatus();
}
