// Registry of the tables the admin command can list and fill, and the rules
// by which it reads the values an operator types.
#include "nuvdbsnap/platform/suite/admin.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace nuvsuite {
namespace {

struct AdminRegistry {
    std::mutex mutex;
    std::vector<AdminTable const*> tables;
};

AdminRegistry& TheAdminRegistry() {
    static AdminRegistry* s_registry = new AdminRegistry();  // lives past static destruction
    return *s_registry;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A whole number: an optional '-' (when `negative`), then decimal digits, or
// "0x" and hex digits (when `hex`). Nothing else, not even a blank.
bool ReadNumber(std::string const& text, bool negative, bool hex, int64_t* value, std::string* why) {
    std::string const shown = "'" + text + "'";
    if (text.empty()) {
        *why = "a number is needed, not an empty value";
        return false;
    }
    bool const minus = text[0] == '-';
    if (minus && !negative) {
        *why = shown + " is negative";
        return false;
    }
    std::string digits = text.substr(minus ? 1 : 0);
    int base = 10;
    if (hex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    bool ok = !digits.empty();
    for (char c : digits) ok = ok && (base == 16 ? IsHexDigit(c) : IsDigit(c));
    if (!ok) {
        *why = shown + " is no whole " + (hex ? "decimal or 0x hex " : "decimal ") + "number";
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long magnitude = std::strtoull(digits.c_str(), &end, base);
    if (errno == ERANGE || magnitude > (minus ? 9223372036854775808ULL : 9223372036854775807ULL)) {
        *why = shown + " is out of range";
        return false;
    }
    *value = minus ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool InRange(int64_t v, int64_t low, int64_t high, std::string const& text, std::string* why) {
    if (v >= low && v <= high) return true;
    *why = "'" + text + "' is out of range (" + std::to_string(low) + " .. " + std::to_string(high) + ")";
    return false;
}

bool ReadPath(std::string const& text, std::string* why) {
    if (text.empty() || text[0] != '/') {
        *why = "'" + text + "' is no absolute path";
        return false;
    }
    if (text == "/") return true;
    bool const clean = text.back() != '/' && text.find("//") == std::string::npos &&
                       (text + "/").find("/./") == std::string::npos && (text + "/").find("/../") == std::string::npos;
    if (!clean) {
        *why = "'" + text + "' is no normalised path (no trailing '/', \"//\", \".\" or \"..\")";
        return false;
    }
    if (text.find('\0') != std::string::npos || text.find('\n') != std::string::npos) {
        *why = "a path holds no line break";
        return false;
    }
    return true;
}

}  // namespace

AdminTable::AdminTable(char const* kind_, char const* table_, bool declarable_, char const* orderBy_,
                       std::vector<AdminColumn> columns_, AdminRowCheck check_)
    : kind(kind_), table(table_), declarable(declarable_), orderBy(orderBy_), columns(std::move(columns_)),
      check(check_) {
    AdminRegistry& r = TheAdminRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.tables.push_back(this);
}

AdminColumn const* AdminTable::Column(std::string const& column) const {
    for (AdminColumn const& c : columns)
        if (column == c.name) return &c;
    return nullptr;
}

std::vector<AdminTable const*> const& AdminTables() {
    // Registration happens during static initialisation (of this library or of
    // a library loaded later); callers read the list afterwards.
    return TheAdminRegistry().tables;
}

AdminTable const* FindAdminTable(std::string const& kind) {
    AdminRegistry& r = TheAdminRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (AdminTable const* t : r.tables) {
        if (t->kind && kind == t->kind) return t;
    }
    return nullptr;
}

bool ParseAdminValue(AdminValue rule, std::string const& text, CatValue* value, std::string* why) {
    int64_t n = 0;
    switch (rule) {
    case AdminValue::kText:
    case AdminValue::kJsonArray:
    case AdminValue::kLines:
        *value = text;
        return true;
    case AdminValue::kInteger:
        if (!ReadNumber(text, true, false, &n, why)) return false;
        break;
    case AdminValue::kId:
        if (!ReadNumber(text, false, false, &n, why) || !InRange(n, 1, 4294967295LL, text, why)) return false;
        break;
    case AdminValue::kUnsigned:
        if (!ReadNumber(text, false, false, &n, why) || !InRange(n, 0, 4294967295LL, text, why)) return false;
        break;
    case AdminValue::kNatural:
        if (!ReadNumber(text, false, false, &n, why) || !InRange(n, 0, INT32_MAX, text, why)) return false;
        break;
    case AdminValue::kSigned:
        if (!ReadNumber(text, true, false, &n, why) || !InRange(n, INT32_MIN, INT32_MAX, text, why)) return false;
        break;
    case AdminValue::kCode:
        if (!ReadNumber(text, true, true, &n, why) || !InRange(n, INT32_MIN, 4294967295LL, text, why)) return false;
        n = static_cast<int32_t>(static_cast<uint32_t>(n));
        break;
    case AdminValue::kFlag: {
        static char const* const kOff[] = {"0", "false", "no", "off"};
        static char const* const kOn[] = {"1", "true", "yes", "on"};
        for (char const* w : kOff)
            if (text == w) return *value = int64_t(0), true;
        for (char const* w : kOn)
            if (text == w) return *value = int64_t(1), true;
        *why = "'" + text + "' is no flag (0/1, false/true, no/yes, off/on)";
        return false;
    }
    case AdminValue::kPath:
        if (!ReadPath(text, why)) return false;
        *value = text;
        return true;
    case AdminValue::kFsType: {
        bool ok = !text.empty();
        for (char c : text) ok = ok && (IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                        c == '.' || c == '_' || c == '-');
        if (!ok) {
            *why = "'" + text + "' is no file-system type (letters, digits, '.', '_', '-')";
            return false;
        }
        *value = text;
        return true;
    }
    }
    *value = n;
    return true;
}

bool ParseNumberArgument(std::string const& argument, std::string const& text, int64_t low, int64_t high,
                         int64_t* value, std::string* error) {
    std::string why;
    int64_t n = 0;
    if (!ReadNumber(text, low < 0, false, &n, &why) || !InRange(n, low, high, text, &why)) {
        *error = argument + ": " + why;
        return false;
    }
    *value = n;
    return true;
}

}  // namespace nuvsuite
