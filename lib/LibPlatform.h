// Platform constants that the platform-neutral code needs.
#pragma once

// The path separator: appended between a directory and a file name, trimmed from directory attributes,
// used to find the SAP root and the file-name part of a source path. A network path begins with two.
inline constexpr wchar_t kTernPathSep = L'/';
inline constexpr char kTernPathSepA = '/';
