// CFzString, FXString and the string concatenations.
#include "nuvdbsnap/platform/base/strings.h"
#include "nuvdbsnap/platform/suite/format.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

CFzString::CFzString(char const* text) { Assign(text, text ? strlen(text) : 0); }
CFzString::CFzString(char const* text, size_t length) { Assign(text, text ? length : 0); }
CFzString::CFzString(std::string const& text) { Assign(text.data(), text.size()); }
CFzString::CFzString(CFzString const& other) { Assign(other.c_str(), static_cast<size_t>(other.m_length)); }
CFzString::CFzString(CFzString&& other) noexcept
    : m_buffer(std::move(other.m_buffer)), m_length(other.m_length) {
    other.m_length = 0;
}

CFzString& CFzString::operator=(CFzString const& other) {
    if (this != &other) Assign(other.c_str(), static_cast<size_t>(other.m_length));
    return *this;
}

CFzString& CFzString::operator=(CFzString&& other) noexcept {
    if (this != &other) {
        m_buffer = std::move(other.m_buffer);
        m_length = other.m_length;
        other.m_length = 0;
    }
    return *this;
}

CFzString& CFzString::operator=(char const* text) {
    std::string copy = text ? text : "";  // text may point into this string
    Assign(copy.data(), copy.size());
    return *this;
}

void CFzString::Assign(char const* text, size_t length) {
    CAutoMemory<char> fresh;
    if (length > 0) {
        fresh.Allocate(length + 1);          // size > length: room for the NUL
        memcpy(fresh.Ptr(), text, length);
        fresh.Ptr()[length] = '\0';
    }
    m_buffer = std::move(fresh);
    m_length = length;
}

bool operator==(CFzString const& a, CFzString const& b) {
    return a.length() == b.length() && memcmp(a.c_str(), b.c_str(), static_cast<size_t>(a.length())) == 0;
}

void FXString::RemoveRight(std::string& text, std::string const& suffix) {
    if (suffix.empty()) return;
    while (text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
        text.erase(text.size() - suffix.size());
    }
}

void FXString::TrimRight(std::string& text, std::string const& set) {
    size_t end = text.find_last_not_of(set);
    text.erase(end == std::string::npos ? 0 : end + 1);
}

void FXString::TrimLeft(std::string& text, std::string const& set) {
    size_t start = text.find_first_not_of(set);
    text.erase(0, start == std::string::npos ? text.size() : start);
}

void FXString::Trim(std::string& text, std::string const& set) {
    TrimRight(text, set);
    TrimLeft(text, set);
}

std::string FXString::FormatV(char const* format, va_list ap) { return nuvsuite::FormatV(format, ap); }

std::string FXString::Format(char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string out = FormatV(format, ap);
    va_end(ap);
    return out;
}

std::vector<std::string> FXString::Split(std::string const& text, std::string const& delimiters,
                                         bool keepEmpty) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t pos = text.find_first_of(delimiters, start);
        std::string part = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        if (keepEmpty || !part.empty()) parts.push_back(part);
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return parts;
}

std::string operator+(std::string const& s, char const* p) {
    std::string out = s;
    if (p != nullptr) out.append(p);
    return out;
}

std::string operator+(std::string const& s, int n) {
    char buf[16];
    snprintf(buf, sizeof buf, "%d", n);
    return s + static_cast<char const*>(buf);
}
