// The suite's string helpers: CFzString (an owned text whose c_str is never null),
// FXString (trim, format, split), the two string concatenations and the identity
// casts for printf formats.
#pragma once

#include <cstdarg>

#include "nuvdbsnap/foundation/memory.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

// An owned text. The buffer always holds length + 1 characters (a NUL at the
// end), so c_str of a non-empty string is never null; an empty string gives "".
class CFzString {
public:
    CFzString() = default;
    CFzString(char const* text);            // null gives the empty string
    CFzString(char const* text, size_t length);
    CFzString(std::string const& text);
    CFzString(CFzString const& other);
    CFzString(CFzString&& other) noexcept;
    CFzString& operator=(CFzString const& other);
    CFzString& operator=(CFzString&& other) noexcept;
    CFzString& operator=(char const* text);
    ~CFzString() = default;

    char const* c_str() const {
        static char const kEmpty[1] = {'\0'};
        return m_length == 0 ? kEmpty : m_buffer.Ptr_const();
    }
    operator char const*() const { return c_str(); }
    uint64_t length() const { return m_length; }
    bool empty() const { return m_length == 0; }
    std::string str() const { return std::string(c_str(), static_cast<size_t>(m_length)); }

private:
    void Assign(char const* text, size_t length);

    CAutoMemory<char> m_buffer;   // the text and its NUL
    uint64_t m_length = 0;        // characters before the NUL
};

bool operator==(CFzString const& a, CFzString const& b);
inline bool operator!=(CFzString const& a, CFzString const& b) { return !(a == b); }

class FXString {
public:
    // Removes every trailing repetition of `suffix` (an empty suffix changes nothing).
    static void RemoveRight(std::string& text, std::string const& suffix);
    // Removes the characters of `set` from the end / the start / both ends.
    static void TrimRight(std::string& text, std::string const& set);
    static void TrimLeft(std::string& text, std::string const& set);
    static void Trim(std::string& text, std::string const& set);
    static std::string ToString(std::string const& text) { return text; }
    static std::string Format(char const* format, ...) __attribute__((format(printf, 1, 2)));
    // The same over a va_list (left as it was: the list is copied).
    static std::string FormatV(char const* format, va_list ap);
    // Splits at each character of `delimiters`; empty parts are dropped unless keepEmpty.
    static std::vector<std::string> Split(std::string const& text, std::string const& delimiters,
                                          bool keepEmpty = false);
};

// s followed by p (a null p adds nothing).
std::string operator+(std::string const& s, char const* p);
// s followed by n formatted with "%d".
std::string operator+(std::string const& s, int n);

namespace jzcast {
template <class T>
inline long long lld(T value) {
    static_assert(std::is_integral<T>::value, "lld takes an integer");
    return static_cast<long long>(value);
}
template <class T>
inline unsigned long long llu(T value) {
    static_assert(std::is_integral<T>::value, "llu takes an integer");
    return static_cast<unsigned long long>(value);
}
}  // namespace jzcast
