// jzsuite fault add | clear, and jzsuite journal.
#include "cli_args.h"
#include "commands.h"

#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/json.h"
#include "nuvdbsnap/platform/suite/suite.h"

#include <cstdio>

namespace jzsuite {
namespace {

CFzError CatalogueReady() {
    std::vector<nuvsuite::CatRow> rows;
    return nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM faults", {}, &rows);
}

int FaultAdd(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"code", "text", "count", "match"}, {}, &args, &error)) return UsageError("fault", error);
    if (args.positional.size() != 2) return UsageError("fault", "SERVICE and CALL expected");
    int64_t code = 0;
    int64_t count = -1;
    if (!args.has("code")) return UsageError("fault", "--code expected");
    if (!ReadNumber("--code", args.get("code"), nuvsuite::AdminValue::kCode, &code, &error))
        return UsageError("fault", error);
    if (!args.has("text")) return UsageError("fault", "--text expected");
    if (args.has("count") &&
        (!ReadNumber("--count", args.get("count"), nuvsuite::AdminValue::kSigned, &count, &error) ||
         (count < -1 || count == 0)))
        return UsageError("fault", error.empty() ? "--count needs a positive number (or -1: always)" : error);
    CFzError e = CatalogueReady();
    if (e.IsError()) return Fail(1, e.AsString());
    nuvsuite::AddFault(args.positional[0], args.positional[1], static_cast<int>(code), args.get("text"),
                       static_cast<int>(count), args.get("match"));
    return 0;
}

}  // namespace

int CmdFault(Words const& words) {
    if (words.empty()) return UsageError("fault", "add, remove or clear expected");
    if (words[0] == "add") return FaultAdd(Words(words.begin() + 1, words.end()));
    if (words[0] == "remove") {
        int64_t id = 0;
        std::string error;
        if (words.size() != 2) return UsageError("fault", "remove takes one fault id");
        if (!ReadNumber("fault id", words[1], nuvsuite::AdminValue::kId, &id, &error))
            return UsageError("fault", error);
        CFzError e = CatalogueReady();
        if (e.IsError()) return Fail(1, e.AsString());
        if (!nuvsuite::RemoveFault(id)) return Fail(1, "no fault " + std::to_string(id));
        return 0;
    }
    if (words[0] == "clear") {
        if (words.size() != 1) return UsageError("fault", "clear takes no arguments");
        CFzError e = CatalogueReady();
        if (e.IsError()) return Fail(1, e.AsString());
        nuvsuite::ClearFaults();
        return 0;
    }
    return UsageError("fault", "unknown fault command '" + words[0] + "'");
}

int CmdJournal(Words const& words) {
    Args args;
    std::string error;
    if (!ParseArgs(words, {"service"}, {"json"}, &args, &error)) return UsageError("journal", error);
    if (!args.positional.empty()) return UsageError("journal", "unexpected word '" + args.positional[0] + "'");
    std::vector<nuvsuite::CatRow> probe;
    CFzError e = nuvsuite::Catalogue::Instance().Query("SELECT count(*) FROM journal", {}, &probe);
    if (e.IsError()) return Fail(1, e.AsString());
    auto entries = nuvsuite::ReadJournal(args.get("service"));
    std::string out;
    if (args.flag("json")) {
        out = "[";
        for (size_t i = 0; i < entries.size(); ++i) {
            auto const& j = entries[i];
            out += std::string(i ? ",\n " : "\n ") + "{\"id\": " + std::to_string(j.id) + ", \"time\": " +
                   std::to_string(j.time) + ", \"pid\": " + std::to_string(j.pid) + ", \"service\": " +
                   nuvsuite::JsonQuote(j.service) + ", \"call\": " + nuvsuite::JsonQuote(j.call) +
                   ", \"args\": " + nuvsuite::JsonQuote(j.args) + "}";
        }
        out += entries.empty() ? "]\n" : "\n]\n";
    } else {
        for (auto const& j : entries) {
            std::string argsText;
            for (char ch : j.args) argsText += ch == '\n' ? std::string("\\n") : std::string(1, ch);
            out += std::to_string(j.id) + "\t" + std::to_string(j.time) + "\t" + std::to_string(j.pid) + "\t" +
                   j.service + "\t" + j.call + "\t" + argsText + "\n";
        }
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace jzsuite
