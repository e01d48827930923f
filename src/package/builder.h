// The self-contained updater: the executable, the package appended unchanged, zero bytes up to
// a multiple of 8, and the 8-byte trailer that says where the package begins. The portable
// layout and copy below are shared by the updater's build mode and by pinepack wrap, so that
// both write the same bytes.
#pragma once

#include <cstdint>

#include "package/package.h"

// Sizes of an updater built from an executable part of executableSize bytes and a package of
// packageSize bytes: paddingSize zero bytes after the package, so that outputSize (executable,
// package, padding, trailer) is a multiple of 8 and signing the output adds no padding of its
// own in front of its certificate table. 0 when the package is empty or the output would not fit
// 32 bits (the trailer could not say where the package begins).
int UpdaterLayout(uint64_t executableSize, uint64_t packageSize, uint32_t& paddingSize,
                  uint32_t& outputSize);

// Writes the trailer (packageOffset, "PINE") into the 8 bytes at trailer.
void WriteTrailer(unsigned char* trailer, uint32_t packageOffset);

// How an updater is made from an executable and a package.
struct UpdaterPlan {
  // Bytes copied from the executable: all of it, or, when it is signed (its certificate table
  // at its end), everything before the table. The package begins here.
  uint32_t executableSize;
  // File offset of the executable's security directory entry, cleared in the copy so that the
  // output is an unsigned image ready to be signed; 0 when the entry is empty or absent.
  uint32_t securityEntry;
  uint32_t packageSize;
  uint32_t paddingSize;
  uint32_t outputSize;
};

// Plans the updater for the executable and the package read through these sources (the
// executable's PE headers are read to find a certificate table). 1 on success; 0 when
// UpdaterLayout refuses the sizes or the executable cannot be read.
int PlanUpdater(const ByteSource& executable, const ByteSource& package, UpdaterPlan& plan);

// Writes the planned updater into sink in order: the executable part (its security directory
// entry cleared when the plan says so), the package, the padding, the trailer. Reads and writes
// through buffer (bufferSize bytes, from 1 to kExtractChunk), so inputs of any size copy in the
// same memory. 1 on success; 0 on the first read or write that fails.
int CopyUpdater(const ByteSource& executable, const ByteSource& package, const UpdaterPlan& plan,
                const ByteSink& sink, unsigned char* buffer, uint32_t bufferSize);

// Win32 only. Writes outputPath as the updater made from executablePath and packagePath
// (PlanUpdater, CopyUpdater), through kExtractChunk bytes of memory whatever the sizes.
// On failure (an input that cannot be read, an output that cannot be created or written, a
// full disk) shows the build error with the output's name on the status line and removes an
// output it created. Returns 1 on success.
int BuildUpdater(const char* executablePath, const char* packagePath, const char* outputPath);
