// The self-contained updater: the executable, the package appended unchanged, and the 8-byte
// trailer that says where the package begins.
#pragma once

#include <cstdint>

// Length of the updater built from an executable of executableSize bytes and a package of
// packageSize bytes, through outputSize. 0 when it does not fit 32 bits (the trailer's offsets
// could not say where the package begins) or when the package is empty.
int UpdaterLayout(uint64_t executableSize, uint64_t packageSize, uint32_t& outputSize);

// Writes the trailer (packageOffset, "PINE") into the 8 bytes at trailer.
void WriteTrailer(unsigned char* trailer, uint32_t packageOffset);

// Win32 only. Writes outputPath as executablePath + packagePath + trailer, copying each input
// once in bounded chunks (ReadFile, WriteFile), so inputs of any size copy in the same memory.
// On failure (an input that cannot be read, an output that cannot be created or written, a
// full disk) shows the build error with the output's name on the status line and removes an
// output it created. Returns 1 on success.
int BuildUpdater(const char* executablePath, const char* packagePath, const char* outputPath);
