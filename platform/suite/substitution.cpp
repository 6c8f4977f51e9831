// Program substitutions: a test or the operator names a program to run in
// place of another (absolute paths on both sides).
#include "nuvdbsnap/platform/suite/admin.h"
#include "nuvdbsnap/platform/suite/catalogue.h"
#include "nuvdbsnap/platform/suite/suite.h"

namespace nuvsuite {
namespace {

SchemaPart s_substitutionSchema{"suite.substitutions", 1,
    "CREATE TABLE IF NOT EXISTS substitutions ("
    " program TEXT PRIMARY KEY, replacement TEXT NOT NULL)"};

AdminTable s_substitutionAdmin{"substitution", "substitutions", true, "program", {{"program", AdminValue::kPath}}};

}  // namespace

std::string SubstituteProgram(std::string const& program) {
    std::vector<CatRow> rows;
    if (Catalogue::Instance()
            .Query("SELECT replacement FROM substitutions WHERE program = ?", {program}, &rows)
            .IsError() ||
        rows.empty())
        return program;
    std::string replacement = AsText(rows[0][0]);
    return replacement.empty() ? program : replacement;
}

void SetSubstitution(std::string const& program, std::string const& replacement) {
    (void)Catalogue::Instance().Exec(
        "INSERT INTO substitutions(program, replacement) VALUES(?, ?)"
        " ON CONFLICT(program) DO UPDATE SET replacement = excluded.replacement",
        {program, replacement});
}

void ClearSubstitutions() {
    (void)Catalogue::Instance().Exec("DELETE FROM substitutions");
}

}  // namespace nuvsuite
