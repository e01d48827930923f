// zlib's checksums, defined by the program itself so that the linker takes neither of zlib's
// objects for them: crc32.o is some 8 KB of tables and code, adler32.o some 2 KB of unrolled
// loops and functions the program never calls. Inflate calls crc32 only for gzip streams (the
// program's are zlib streams, so this correct stand-in never runs in practice), and adler32 for
// every zlib stream and the delta coder's check.
#include <zlib.h>

#include "runtime/adler32.h"
#include "runtime/crc32.h"

extern "C" uLong crc32(uLong crc, const Bytef* buf, uInt len) {
  return Crc32(static_cast<uint32_t>(crc), buf, len);
}

extern "C" uLong adler32(uLong adler, const Bytef* buf, uInt len) {
  return Adler32(static_cast<uint32_t>(adler), buf, len);
}
