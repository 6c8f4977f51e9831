// The one printf formatter of the platform: the error value and the base
// library's FXString::Format both format through it.
#pragma once

#include <cstdarg>
#include <string>

namespace nuvsuite {

// The text of `format` over `ap` (the list is copied, so the caller's stays
// usable); a null format gives the empty text.
std::string FormatV(char const* format, va_list ap);

}  // namespace nuvsuite
