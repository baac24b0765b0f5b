// Splitting of a command line into its arguments, with the Windows command-line rules, so that the
// command lines the agent builds (program path, then arguments quoted by the caller) mean the same on
// every platform and no shell ever interprets them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits commandLine into arguments. Returns the arguments (empty for a blank line); never fails.
//
// The first token is the program and follows the program-name rule: when it begins with a quote it
// runs to the next quote, otherwise to the first blank or tab; backslashes in it are plain characters.
// The other tokens follow the argument rules:
// - blanks and tabs outside quotes separate arguments; a quote toggles the quoted state;
// - 2n backslashes before a quote give n backslashes and the quote toggles; 2n+1 backslashes before a
//   quote give n backslashes and a literal quote; backslashes not before a quote are plain characters;
// - inside quotes, two quotes in a row give one literal quote and the quoted state continues;
// - "" on its own is an empty argument.
// Blanks before the program are skipped.
std::vector<std::wstring> TernSplitCommandLine(std::wstring_view commandLine);
