// jzsuite subclient: the files of an application's subclient directory (the
// data-aging work, text and lock files, deletion lists, ...).
//   jzsuite subclient APP [--brannox B] [--json]
#include "cli_args.h"
#include "commands.h"
#include "table_output.h"

#include "nuvdbsnap/platform/base/files.h"

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

namespace jzsuite {

int CmdSubclient(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"brannox"}, {"json"}, &args, &error) || args.positional.size() != 1)
        return UsageError("subclient", error.empty() ? "one application id is needed" : error);
    long long app = 0, brannox = 2;
    if (!ParseInteger(args.positional[0], &app) || app <= 0)
        return UsageError("subclient", "the application id must be a positive number");
    if (args.has("brannox") && !ParseInteger(args.get("brannox"), &brannox))
        return UsageError("subclient", "--brannox needs a number");
    char dir[1025];
    int const rc = GetSubclientDir(static_cast<unsigned>(brannox), static_cast<unsigned>(app), dir);
    if (rc != 0) return Fail(1, "no subclient directory for application " + std::to_string(app));
    Table t;
    t.columns = {"file", "size", "lines"};
    CFzDirectory walk;
    if (!walk.Open(dir, "*", true).IsError()) {
        bool done = false;
        SFzDirEntry entry;
        while (!walk.GetEntry(&entry, done).IsError() && !done) {
            std::string const path = std::string(dir) + "/" + entry.name.c_str();
            struct stat st;
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            std::ifstream in(path);
            int64_t lines = 0;
            for (std::string line; std::getline(in, line);) ++lines;
            t.rows.push_back(nuvsuite::CatRow{std::string(entry.name.c_str()), int64_t(st.st_size), lines});
        }
        (void)walk.Close();
    }
    if (!args.flag("json")) std::printf("subclient directory %s\n", dir);
    std::fputs((args.flag("json") ? TableJson(t) + "\n" : TableText(t)).c_str(), stdout);
    return 0;
}

}  // namespace jzsuite
