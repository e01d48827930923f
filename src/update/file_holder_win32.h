// Which program holds a file open, as the Restart Manager tells it, for the question that asks
// the user to close it. rstrtmgr.dll is loaded from System32 only when asked, so that the
// product's imports stay as they are and a system without it (or one that cannot tell) only
// loses the name. Win32 only.
#pragma once

#include <cstddef>

// Writes " (name)" for the first program that the Restart Manager finds holding the file at
// path (a full path, ANSI) into out (outSize bytes, in the ANSI code page); out is "" when it
// finds none or cannot tell.
void FileHolderName(const char* path, char* out, size_t outSize);
