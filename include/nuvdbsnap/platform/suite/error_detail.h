// The detail record behind a CFzError: what kind of number made it (Win32-style
// code, errno, suite result code), that number, and the chain of sites and texts
// that the error collected on its way up (the origin first, then each Push).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FXErrorKind : int { None = 0, Win32 = 1, ErrNo = 2, JZResult = 3 };

struct FXErrorFrame {
    std::string file;
    std::string function;
    int line = 0;
    std::string text;  // may be empty (a Push without a text)
};

class FXErrorPrivate {
public:
    FXErrorKind kind = FXErrorKind::None;
    int64_t number = 0;                 // the number the maker was given, unchanged
    std::vector<FXErrorFrame> frames;   // frames[0] is the origin
};

// The negative code that a maker stores for a kind and number: the sign bit is
// always set, the kind sits in bits 28-30 and the low 28 bits of the number
// below it. The exact number is kept in the detail record for IsWin32/IsErrNo.
int32_t FXErrorCodeFor(FXErrorKind kind, int64_t number);
