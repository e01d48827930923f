#include "package/builder.h"

#include <cstring>

#include "package/format.h"

int UpdaterLayout(uint64_t executableSize, uint64_t packageSize, uint32_t& outputSize) {
  if (packageSize == 0) return 0;
  const uint64_t total = executableSize + packageSize + kTrailerSize;
  if (executableSize > UINT32_MAX || packageSize > UINT32_MAX || total > UINT32_MAX) return 0;
  outputSize = static_cast<uint32_t>(total);
  return 1;
}

void WriteTrailer(unsigned char* trailer, uint32_t packageOffset) {
  WriteLE32(trailer, packageOffset);
  std::memcpy(trailer + 4, kTrailerMagic, sizeof kTrailerMagic);
}
