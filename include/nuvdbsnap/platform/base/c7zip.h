// C7zip: packs files into archives with the system's 7-Zip program ("7zz",
// else "7z" or "7za" in PATH), run through JzProcess with an argument vector.
// Format 2 is the 7z format (the only one this wrapper makes). A file is
// stored under its own name unless the name map gives another one for its
// path. Every failure is a CFzError with the archive's path and the program's
// output.
#pragma once

#include "nuvdbsnap/foundation/error.h"

#include <map>
#include <string>
#include <vector>

class C7zip {
public:
    // homeDirectory: the suite's base home directory, searched first for the program.
    C7zip(std::string homeDirectory, int format);

    // Finds the archiver program; an error when there is none or the format is not 2.
    [[nodiscard]] CFzError Initialize();
    // Adds `files` to `archivePath` (made when absent); `names` maps a file's
    // path to its name inside the archive.
    [[nodiscard]] CFzError AddFilesToArchive(std::string const& archivePath, std::vector<std::string> const& files,
                                             std::map<std::string, std::string> const& names);

    std::string const& program() const { return m_program; }

private:
    std::string m_home;
    int m_format;
    std::string m_program;  // empty until Initialize found it
};
