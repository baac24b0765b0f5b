// The encoded form of the SAP administrator's password (attribute SAPAdminPassword).
//
// This is obfuscation, not encryption: anyone with this code can decode it. It keeps the password out
// of plain sight in configuration files and reliably rejects a damaged or foreign text. Format:
//   "KP1" + hex(plain[i] XOR key[i]) + hex8(CRC-32 of the plain bytes)   (upper-case hex)
// where key is a fixed keystream. See docs/password-encoding.md.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Encodes plain. Returns false (out untouched) when plain holds a byte below 33 or equal to 127, or when
// the encoded form would exceed kTernMaxEncodedPassword characters.
bool TernEncodePassword(std::string_view plain, std::string& out);

inline constexpr size_t kTernMaxEncodedPassword = 4095;

// Decodes the NUL-terminated text in buffer (capacity bytes) in place.
// Returns 0 on success, -2 when the text is not a valid encoded password (shorter than 3 characters,
// bad prefix, bad hex, checksum mismatch, or a decoded byte below 33 or equal to 127), -1 when called
// wrongly (null buffer, zero capacity, or no terminator within capacity). On failure the buffer is
// left as it was.
int TernDecodePassword(char* buffer, size_t capacity);

// Overwrites n bytes at p in a way the compiler does not optimise away.
void TernSecureZero(void* p, size_t n);
