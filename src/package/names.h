// Comparison and safety of the 8-bit names used in packages (entry names, section keys,
// translation-table names, folder and removal lists).
#pragma once

// 1 when a and b are equal as NUL-terminated strings with the ASCII letters A-Z folded onto
// a-z; every other byte (Cyrillic letters of Windows-1251 included) must match exactly.
int NamesEqual(const char* a, const char* b);

// 1 when the relative name stays inside the program folder: no component is "..", with '\' or
// '/' as separator (nor dots and blanks that Windows would trim to ".."), and there is no ':' (a
// drive or an alternate stream). A single leading backslash is allowed (it reads as the program
// folder itself); an empty name is allowed.
int IsSafeRelativeName(const char* name);
