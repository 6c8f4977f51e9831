// The error library: detail records, Push, AsString and the FXErrorUtil makers
// (the out-of-line parts of the foundation's error value).
#include "nuvdbsnap/foundation/error.h"
#include "nuvdbsnap/platform/suite/format.h"
#include "nuvdbsnap/platform/suite/error_detail.h"

#include <boost/make_shared.hpp>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

FXErrorFrame MakeFrame(FXCodeLocation const& loc, std::string text) {
    FXErrorFrame f;
    f.file = loc.m_file ? loc.m_file : "";
    f.function = loc.m_function ? loc.m_function : "";
    f.line = loc.m_line;
    f.text = std::move(text);
    return f;
}

CFzError Make(FXErrorKind kind, int64_t number, FXCodeLocation const& loc, std::string text) {
    auto detail = boost::make_shared<FXErrorPrivate>();
    detail->kind = kind;
    detail->number = number;
    detail->frames.push_back(MakeFrame(loc, std::move(text)));
    return CFzError(FXErrorCodeFor(kind, number), detail);
}

bool Is(CFzError const& error, FXErrorKind kind, int64_t number) {
    FXErrorPrivate const* d = error.Detail();
    return error.IsError() && d != nullptr && d->kind == kind && d->number == number;
}

char const* KindName(FXErrorKind kind) {
    switch (kind) {
        case FXErrorKind::Win32: return "Win32";
        case FXErrorKind::ErrNo: return "errno";
        case FXErrorKind::JZResult: return "result";
        default: return "code";
    }
}

// "<kind> <number>[ (<strerror>)]"
std::string Head(CFzError const& e) {
    FXErrorPrivate const* d = e.Detail();
    char buf[128];
    if (d == nullptr || d->kind == FXErrorKind::None) {
        snprintf(buf, sizeof buf, "code %d", e.GetErrorCode());
        return buf;
    }
    snprintf(buf, sizeof buf, "%s %lld", KindName(d->kind), static_cast<long long>(d->number));
    std::string head = buf;
    if (d->kind == FXErrorKind::ErrNo && d->number > 0) {
        char tmp[128];
        head += " (";
        head += strerror_r(static_cast<int>(d->number), tmp, sizeof tmp);
        head += ")";
    }
    return head;
}

}  // namespace

int32_t FXErrorCodeFor(FXErrorKind kind, int64_t number) {
    uint32_t code = 0x80000000u | (static_cast<uint32_t>(kind) & 0x7u) << 28 |
                    (static_cast<uint32_t>(number) & 0x0FFFFFFFu);
    return static_cast<int32_t>(code);
}

CFzError::~CFzError() {}

CFzError& CFzError::Push(FXCodeLocation const& loc) {
    if (!m_detail) m_detail = boost::make_shared<FXErrorPrivate>();
    m_detail->frames.push_back(MakeFrame(loc, std::string()));
    return *this;
}

CFzError& CFzError::Push(FXCodeLocation const& loc, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = nuvsuite::FormatV(format, ap);
    va_end(ap);
    if (!m_detail) m_detail = boost::make_shared<FXErrorPrivate>();
    m_detail->frames.push_back(MakeFrame(loc, std::move(text)));
    return *this;
}

// Default: "<head>: <origin text>[; <pushed text>]...".
std::string CFzError::AsString() const { return AsString(eErrorFormatDefault); }

std::string CFzError::AsString(EErrorOutputFormat format) const {
    if (!IsError() && !m_detail) return m_code == 0 ? "Success" : "code " + std::to_string(m_code);
    std::string out = Head(*this);
    std::vector<FXErrorFrame> const empty;
    std::vector<FXErrorFrame> const& frames = m_detail ? m_detail->frames : empty;
    bool first = true;
    for (FXErrorFrame const& f : frames) {
        if (f.text.empty()) continue;
        out += first ? ": " : "; ";
        out += f.text;
        first = false;
        if (format == eErrorFormatShort) break;
    }
    if (format == eErrorFormatChain) {
        for (FXErrorFrame const& f : frames) {
            out += "\n  at " + f.function + " (" + f.file + ":" + std::to_string(f.line) + ")";
            if (!f.text.empty()) out += ": " + f.text;
        }
    }
    return out;
}

CFzError FXErrorUtil::ErrorWin32(FXCodeLocation const& loc, unsigned code) {
    return Make(FXErrorKind::Win32, code, loc, std::string());
}

CFzError FXErrorUtil::ErrorWin32(FXCodeLocation const& loc, unsigned code, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = nuvsuite::FormatV(format, ap);
    va_end(ap);
    return Make(FXErrorKind::Win32, code, loc, std::move(text));
}

CFzError FXErrorUtil::ErrorErrNo(FXCodeLocation const& loc, int err, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = nuvsuite::FormatV(format, ap);
    va_end(ap);
    return Make(FXErrorKind::ErrNo, err, loc, std::move(text));
}

CFzError FXErrorUtil::ErrorJZResult(FXCodeLocation const& loc, int result, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = nuvsuite::FormatV(format, ap);
    va_end(ap);
    return Make(FXErrorKind::JZResult, result, loc, std::move(text));
}

bool FXErrorUtil::IsWin32(CFzError const& error, unsigned code) {
    return Is(error, FXErrorKind::Win32, code);
}
bool FXErrorUtil::IsErrNo(CFzError const& error, int err) { return Is(error, FXErrorKind::ErrNo, err); }
bool FXErrorUtil::IsJZResult(CFzError const& error, int result) {
    return Is(error, FXErrorKind::JZResult, result);
}
