// zlib's crc32, defined by the program itself so that the linker does not take zlib's crc32.o,
// which is some 8 KB of tables and code. Inflate calls it only for gzip streams; the program's
// are zlib streams (Adler-32), so this is a correct stand-in that never runs in practice.
#include <zlib.h>

#include "runtime/crc32.h"

extern "C" uLong crc32(uLong crc, const Bytef* buf, uInt len) {
  return Crc32(static_cast<uint32_t>(crc), buf, len);
}
