// Small JSON text helpers of the local suite: quoting for listings and the
// string arrays in which catalogue rows keep queued event arguments.
#pragma once

#include <string>
#include <vector>

namespace nuvsuite {

// A JSON string literal (with the quotes). Control characters and bytes that
// are not valid UTF-8 are written as \u escapes, so the result is always valid JSON.
std::string JsonQuote(std::string const& text);

// ["a","b",...]
std::string JsonStringArray(std::vector<std::string> const& items);

// Reads a JSON array of strings (as JsonStringArray writes it). False, with
// *items cleared, for any other text.
[[nodiscard]] bool ParseJsonStringArray(std::string const& text, std::vector<std::string>* items);

}  // namespace nuvsuite
