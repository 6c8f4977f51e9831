// The error value that every fallible operation returns, the record of the site
// where an error arose, and the small error accessors of the platform layer.
// Inline members live here; Push, AsString and the FXErrorUtil makers belong to
// the base library (platform/base).
#pragma once

#include <boost/shared_ptr.hpp>
#include <cerrno>
#include <cstdint>
#include <string>

class FXErrorPrivate;  // the chain of sites and texts; defined by the base library

// Site of an error: borrowed texts, valid for the one call it is handed to.
class FXCodeLocation {
public:
    FXCodeLocation(char const* file, char const* function, int line)
        : m_file(file), m_function(function), m_line(line) {}
    ~FXCodeLocation() {}

    char const* m_file = nullptr;
    char const* m_function = nullptr;
    int m_line = 0;
};

// The site of the current line, as error makers and Push expect it.
#define FZ_LOC FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)

enum EErrorOutputFormat { eErrorFormatDefault = 0, eErrorFormatShort = 1, eErrorFormatChain = 2 };

// 0 = success, negative = failure, positive = no failure. Copies share the detail record.
class CFzError {
public:
    CFzError() : m_code(0) {}
    CFzError(CFzError const& other) : m_code(other.m_code), m_detail(other.m_detail) {}
    CFzError& operator=(CFzError const& other) {
        m_code = other.m_code;
        m_detail = other.m_detail;  // self-assignment keeps the same record
        return *this;
    }
    ~CFzError();

    static CFzError Success() { return CFzError(); }
    bool IsError() const { return m_code < 0; }
    int32_t GetErrorCode() const { return m_code; }

    // Appends the site (and a printf-style text) to the chain; returns *this.
    CFzError& Push(FXCodeLocation const& loc);
    CFzError& Push(FXCodeLocation const& loc, char const* format, ...)
        __attribute__((format(printf, 3, 4)));

    // The whole chain as one text for a log line.
    std::string AsString() const;
    std::string AsString(EErrorOutputFormat format) const;

    // Used by the base library's makers; not for callers.
    CFzError(int32_t code, boost::shared_ptr<FXErrorPrivate> detail)
        : m_code(code), m_detail(std::move(detail)) {}
    FXErrorPrivate const* Detail() const { return m_detail.get(); }
    long DetailUseCount() const { return m_detail.use_count(); }

private:
    int32_t m_code = 0;
    boost::shared_ptr<FXErrorPrivate> m_detail;
};

// Makers and tests of the base library. Every maker yields a negative code,
// whatever number it is given.
class FXErrorUtil {
public:
    static CFzError ErrorWin32(FXCodeLocation const& loc, unsigned code);
    static CFzError ErrorWin32(FXCodeLocation const& loc, unsigned code, char const* format, ...)
        __attribute__((format(printf, 3, 4)));
    static CFzError ErrorErrNo(FXCodeLocation const& loc, int err, char const* format, ...)
        __attribute__((format(printf, 3, 4)));
    static CFzError ErrorJZResult(FXCodeLocation const& loc, int result, char const* format, ...)
        __attribute__((format(printf, 3, 4)));

    static bool IsWin32(CFzError const& error, unsigned code);
    static bool IsErrNo(CFzError const& error, int err);
    static bool IsJZResult(CFzError const& error, int result);
};

// The calling thread's errno, zero-extended.
inline uint32_t GetLastError() { return static_cast<uint32_t>(errno); }

// The exception of the replication road: owns copies of its texts.
class JzException {
public:
    JzException(char const* function, char const* message, char const* file, int line, int err);
    JzException(char const* function, std::string const& message, char const* file, int line, int err);
    JzException(JzException const&) = default;
    JzException& operator=(JzException const&) = default;
    virtual ~JzException();

    char const* getMessage() const { return m_message.c_str(); }
    char const* getFileName() const { return m_file.c_str(); }
    int getLineNum() const { return m_line; }
    int getErrno() const { return m_errno; }

    // "<function>: <message> (<file>:<line>, errno <n>)"
    std::string formatError() const;

private:
    std::string m_message;
    std::string m_file;
    int m_line = 0;
    int m_errno = 0;
    std::string m_function;
};
