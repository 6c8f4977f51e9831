// File helpers of the tests: whole-file read and write, existence, directories,
// base-home programs.
#pragma once

#include <string>

namespace nuvtest {

// Writes `text` as the whole file (its missing parent directories are made).
void WriteFile(std::string const& path, std::string const& text);
// The whole file; empty when it cannot be read. The logger's lines kept in
// memory are written first, so a log file read holds every line logged before.
std::string ReadFile(std::string const& path);
// True when the path names an entry (links not followed).
bool Exists(std::string const& path);
// Makes the directory (one level); returns the path.
std::string MakeDir(std::string const& path);
// Copies a built program of the base home ("archiveIndex", ...) into the
// state root's base home directory, executable.
void InstallBaseHomeProgram(std::string const& program);

}  // namespace nuvtest
