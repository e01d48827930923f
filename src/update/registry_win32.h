// The registry reader of target discovery. Win32 only.
#pragma once

#include <windows.h>

// Reads value valueName of key keyPath below root into buffer (kRegistryBufferSize bytes, the
// caller's): at most kRegistryDataSize bytes of data, the rest of the buffer NUL, so the data
// always reads as a string that ends inside the buffer. valueType receives the registry type
// read (REG_SZ, REG_DWORD, ...), 0 unless the read succeeded. Unless quiet, a failure is shown
// on the status line (key open error with keyPath, or value read error with valueName).
// 1 when the value was read; 0 otherwise, with buffer the empty string.
int ReadRegistryValue(HKEY root, const char* keyPath, const char* valueName, unsigned char* buffer,
                      DWORD& valueType, int quiet);
