#include "nuvdbsnap/platform/suite/format.h"

#include <cstdio>

namespace nuvsuite {

std::string FormatV(char const* format, va_list ap) {
    if (format == nullptr) return std::string();
    va_list copy;
    va_copy(copy, ap);
    char small[1024];
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_copy(copy, ap);
    vsnprintf(&out[0], out.size(), format, copy);
    va_end(copy);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace nuvsuite
