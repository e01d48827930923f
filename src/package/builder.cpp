#include "package/builder.h"

#include <cstring>

#include "package/format.h"
#include "package/pe_image.h"

namespace {

// Appends count bytes of source from offset to sink through buffer. The bytes that fall on
// [clearFrom, clearFrom + clearSize) in the source are written as zeros.
int CopyRange(const ByteSource& source, uint32_t offset, uint32_t count, uint32_t clearFrom,
              uint32_t clearSize, const ByteSink& sink, unsigned char* buffer,
              uint32_t bufferSize) {
  while (count > 0) {
    const uint32_t step = count < bufferSize ? count : bufferSize;
    if (!source.read(source.context, offset, buffer, step)) return 0;
    // The overlap of this chunk with the range to clear, in 64 bits so that no end wraps.
    const uint64_t chunkEnd = uint64_t{offset} + step;
    const uint64_t clearEnd = uint64_t{clearFrom} + clearSize;
    const uint64_t from = clearFrom > offset ? clearFrom : offset;
    const uint64_t to = clearEnd < chunkEnd ? clearEnd : chunkEnd;
    if (from < to) std::memset(buffer + (from - offset), 0, to - from);
    if (!sink.write(sink.context, buffer, step)) return 0;
    offset += step;
    count -= step;
  }
  return 1;
}

}  // namespace

int UpdaterLayout(uint64_t executableSize, uint64_t packageSize, uint32_t& paddingSize,
                  uint32_t& outputSize) {
  if (packageSize == 0 || executableSize > UINT32_MAX || packageSize > UINT32_MAX) return 0;
  const uint64_t trailerAt = executableSize + packageSize;
  const uint64_t padding = (8 - trailerAt % 8) % 8;
  const uint64_t total = trailerAt + padding + kTrailerSize;
  if (total > UINT32_MAX) return 0;
  paddingSize = static_cast<uint32_t>(padding);
  outputSize = static_cast<uint32_t>(total);
  return 1;
}

void WriteTrailer(unsigned char* trailer, uint32_t packageOffset) {
  WriteLE32(trailer, packageOffset);
  std::memcpy(trailer + 4, kTrailerMagic, sizeof kTrailerMagic);
}

int PlanUpdater(const ByteSource& executable, const ByteSource& package, UpdaterPlan& plan) {
  if (!executable.read || !package.read) return 0;
  plan.executableSize = executable.length;
  plan.securityEntry = 0;
  CertificateTable table;
  if (ReadCertificateTable(executable, table) && table.size != 0) {
    // The output is unsigned: its security entry is cleared, or the reader would take the output
    // for a signed file and look for the trailer in front of a table that is not there. A table
    // that ends the executable is left out; anything else the entry names stays as bytes.
    plan.securityEntry = table.entryOffset;
    if (CertificateTableAtEnd(executable, table)) plan.executableSize = table.offset;
  }
  plan.packageSize = package.length;
  return UpdaterLayout(plan.executableSize, plan.packageSize, plan.paddingSize, plan.outputSize);
}

int CopyUpdater(const ByteSource& executable, const ByteSource& package, const UpdaterPlan& plan,
                const ByteSink& sink, unsigned char* buffer, uint32_t bufferSize) {
  const uint32_t clearSize = plan.securityEntry ? 8 : 0;
  if (!CopyRange(executable, 0, plan.executableSize, plan.securityEntry, clearSize, sink, buffer,
                 bufferSize))
    return 0;
  if (!CopyRange(package, 0, plan.packageSize, 0, 0, sink, buffer, bufferSize)) return 0;
  // Padding and trailer: at most 15 bytes, written in one piece.
  unsigned char tail[16] = {};
  WriteTrailer(tail + plan.paddingSize, plan.executableSize);
  return sink.write(sink.context, tail, plan.paddingSize + kTrailerSize);
}
