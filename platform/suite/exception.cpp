// JzException: owns copies of its texts; the destructor is its key function, so
// its type information lives once, in this library, and a program that links the
// library catches it by reference.
#include "nuvdbsnap/foundation/error.h"

namespace {
std::string Text(char const* p) { return p ? std::string(p) : std::string(); }
}  // namespace

JzException::JzException(char const* function, char const* message, char const* file, int line, int err)
    : m_message(Text(message)), m_file(Text(file)), m_line(line), m_errno(err), m_function(Text(function)) {}

JzException::JzException(char const* function, std::string const& message, char const* file, int line,
                         int err)
    : m_message(message), m_file(Text(file)), m_line(line), m_errno(err), m_function(Text(function)) {}

JzException::~JzException() {}

std::string JzException::formatError() const {
    return m_function + ": " + m_message + " (" + m_file + ":" + std::to_string(m_line) + ", errno " +
           std::to_string(m_errno) + ")";
}
