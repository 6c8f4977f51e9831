// The jzsuite commands. Each takes the words after its name, prints its
// result on stdout and its complaints on stderr, and returns the exit code:
// 0 done, 1 failed, 2 usage error.
#pragma once

#include <string>
#include <vector>

namespace jzsuite {

using Words = std::vector<std::string>;

int CmdInit(Words const& words);
int CmdSet(Words const& words);
int CmdDeclare(Words const& words);
int CmdList(Words const& words);
int CmdJob(Words const& words);
int CmdFault(Words const& words);
int CmdJournal(Words const& words);
int CmdVolume(Words const& words);
int CmdIndex(Words const& words);
int CmdReadiness(Words const& words);
int CmdSubclient(Words const& words);

// Prints "jzsuite: <text>" on stderr and returns code.
int Fail(int code, std::string const& text);
// The usage text of one command, or of all.
std::string Usage(std::string const& command = "");
int UsageError(std::string const& command, std::string const& text);
// Thaws the freezes left by processes that are gone, one line each on stderr.
void ThawDeadFreezes();

}  // namespace jzsuite
