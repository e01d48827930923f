// Conversion between UTF-8 (what vendors write in manifests and what hosts use for file names)
// and Windows-1251 (what the updater shows and compares byte for byte).
#pragma once

#include <string>

// Converts UTF-8 text to Windows-1251. Returns false, with error naming the first offending
// character and its byte offset, for malformed UTF-8, a NUL, or a character Windows-1251 lacks.
bool Utf8ToCp1251(const std::string& utf8, std::string& out, std::string& error);

// Converts Windows-1251 text to UTF-8. The one byte without a character (0x98) becomes U+FFFD.
std::string Cp1251ToUtf8(const std::string& cp1251);
