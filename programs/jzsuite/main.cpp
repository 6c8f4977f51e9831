// jzsuite: the admin command of the local suite.
#include "commands.h"

#include "nuvdbsnap/platform/base/log.h"
#include "nuvdbsnap/platform/base/tree_claim.h"
#include "nuvdbsnap/platform/freeze/freeze_guard.h"
#include "nuvdbsnap/platform/indexing/index_store.h"
#include "nuvdbsnap/platform/snapmgr/loop_volumes.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace jzsuite {

int Fail(int code, std::string const& text) {
    std::fprintf(stderr, "jzsuite: %s\n", text.c_str());
    return code;
}

std::string Usage(std::string const& command) {
    static std::map<std::string, std::string> const usage = {
        {"init", "jzsuite init [--root DIR]"},
        {"set", "jzsuite set SECTION KEY VALUE [--instance I]"},
        {"declare", "jzsuite declare KIND col=value ..."},
        {"remove", "jzsuite remove KIND key=value ...   (a declared row, by its whole key)"},
        {"list", "jzsuite list KIND [--job N] [--json]"},
        {"job", "jzsuite job new --app ID [--type T] [--json]\n"
                "jzsuite job show N [--json]\n"
                "jzsuite job quit N"},
        {"fault", "jzsuite fault add SERVICE CALL --code C --text T [--count N] [--match S]\n"
                  "jzsuite fault remove ID\n"
                  "jzsuite fault clear"},
        {"journal", "jzsuite journal [--service S] [--json]"},
        {"volume", "jzsuite volume create NAME --size S --fs btrfs|xfs   (prints the volume's path)\n"
                   "jzsuite volume remove NAME"},
        {"snapshot", "jzsuite snapshot unmount ID\n"
                     "jzsuite snapshot delete ID   (refused while it is mounted)"},
        {"readiness", "jzsuite readiness PROGRAM --instance NAME --user USER"},
        {"index", "jzsuite index runs [--job N] [--json]\n"
                  "jzsuite index entries --run R [--json]\n"
                  "jzsuite index browse PATH-OR-PATTERN --app A [--job J] [--json]"},
        {"subclient", "jzsuite subclient APP [--brannox B] [--json]   (the files of its subclient directory)"},
    };
    auto found = usage.find(command);
    if (found != usage.end()) return "usage: " + found->second + "\n";
    std::string all = "usage:\n";
    for (char const* c : {"init", "set", "declare", "remove", "list", "job", "fault", "journal", "index", "volume",
                          "snapshot", "readiness", "subclient"}) {
        std::string const& text = usage.at(c);
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            all += "  " + text.substr(start, end - start) + "\n";
            start = end + 1;
        }
    }
    return all;
}

void ThawDeadFreezes() {
    struct stat st {};
    if (stat(nuvsuite::CataloguePath().c_str(), &st) != 0) return;  // no suite here yet
    for (std::string const& line : nuvfreeze::ThawDeadFreezes()) std::fprintf(stderr, "jzsuite: %s\n", line.c_str());
}

int UsageError(std::string const& command, std::string const& text) {
    std::fprintf(stderr, "jzsuite: %s\n%s", text.c_str(), Usage(command).c_str());
    return 2;
}

}  // namespace jzsuite

int main(int argc, char** argv) {
    using namespace jzsuite;
    if (argc < 2) return UsageError("", "no command given");
    std::string const command = argv[1];
    Words words(argv + 2, argv + argc);
    if (command == "-h" || command == "--help" || command == "help") {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    static std::map<std::string, int (*)(Words const&)> const commands = {
        {"init", CmdInit},       {"set", CmdSet},     {"declare", CmdDeclare}, {"list", CmdList},
        {"job", CmdJob},         {"fault", CmdFault}, {"journal", CmdJournal}, {"index", CmdIndex},
        {"volume", CmdVolume},   {"remove", CmdRemove}, {"snapshot", CmdSnapshot}, {"readiness", CmdReadiness},
        {"subclient", CmdSubclient},
    };
    auto found = commands.find(command);
    if (found == commands.end()) return UsageError("", "unknown command '" + command + "'");
    ThawDeadFreezes();
    // What a killed run left (half-made volumes, snapshots of dead creates, open
    // index runs of dead feeds, temporary files of dead restores) is taken
    // down next; the fault and journal commands leave the state as it is.
    struct stat st {};
    if (command != "fault" && command != "journal" && stat(nuvsuite::CataloguePath().c_str(), &st) == 0) {
        EvEvent event;
        nuvsnapmgr::SweepLeftovers(&event);
        CFzError e = nuvindexing::SweepAbandonedRuns();
        if (e.IsError())
            std::fprintf(stderr, "jzsuite: index runs of killed feeds not swept: %s\n", e.AsString().c_str());
        e = nuvbase::SweepAbandonedClaims();
        if (e.IsError())
            std::fprintf(stderr, "jzsuite: temporary files of killed restores not swept: %s\n", e.AsString().c_str());
    }
    return found->second(words);
}
