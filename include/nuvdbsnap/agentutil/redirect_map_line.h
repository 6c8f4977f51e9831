// The redirect map line: one mapping of a redirect map file, the form every
// writer of such a file uses and every reader splits.
//
//   "<source>","<destination>"\n
//
// Both paths are written byte for byte (no escaping); a path that holds a line
// break cannot be written, nor a source path that holds `","`, since a quoted
// line is split at its first `","`.
#pragma once

#include <string>

namespace nuvagentutil {

// The line of one mapping, with its line feed.
std::string FormatRedirectMapLine(std::string const& source, std::string const& destination);

// True when `path` holds a line feed or a carriage return (it cannot stand in a line).
bool HasLineBreak(std::string const& path);

// Why the mapping cannot stand in a line, or null when it can: a path holds a
// line break, or the source holds `","` (every reader would split the line
// there, before the real separator). A writer refuses the whole map then.
char const* UnmappableReason(std::string const& source, std::string const& destination);

// Splits one line (without its line feed). A line that begins with a double
// quote and holds `","` is split there: the source is what lies between the
// first quote and the separator, the destination what follows it without one
// closing quote. Any other line is split at its first comma and each side loses
// its first double quote and, when it had one, its last. False (outputs
// untouched) when no separator is found or nothing follows it.
bool SplitRedirectMapLine(std::string const& line, std::string& source, std::string& destination);

}  // namespace nuvagentutil
