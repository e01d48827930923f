// Comparison and safety of the 8-bit names used in packages (entry names, section keys,
// translation-table names, folder and removal lists).
#pragma once

// 1 when a and b are equal as NUL-terminated strings with the ASCII letters A-Z folded onto
// a-z; every other byte (Cyrillic letters of Windows-1251 included) must match exactly.
int NamesEqual(const char* a, const char* b);

// The order of a and b under the same folding: negative, 0 (exactly when NamesEqual) or
// positive, by the folded bytes as unsigned values, so that sorting by it puts equal names
// side by side.
int CompareNames(const char* a, const char* b);

// 1 when the relative name stays inside the program folder: no component is "..", with '\' or
// '/' as separator (nor dots and blanks that Windows would trim to ".."), and there is no ':' (a
// drive or an alternate stream). A single leading backslash is allowed (it reads as the program
// folder itself); an empty name is allowed.
int IsSafeRelativeName(const char* name);

// 1 when the relative name can name a file that the update writes (a file entry's name, a name
// on disk in :XlatNamesTable): it is safe (IsSafeRelativeName), it ends in a file name of its
// own (not empty, not a lone "\" nor a trailing separator, nor only dots and blanks, which
// Windows trims away), and no component is a Windows device name: CON, PRN, AUX, NUL, COM1 to
// COM9 or LPT1 to LPT9 (or COM and LPT with the superscripts 1, 2, 3 of the Western code pages,
// the bytes 0xB9, 0xB2, 0xB3), in any letter case, alone or before an extension ("nul.txt",
// "Com1 .log").
int IsFileName(const char* name);
