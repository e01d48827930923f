#include "package/inflate_stream.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

// The stream's bytes as inflateBack reads them, and its output on the way to the caller's.
struct Inflation {
  const ByteSource* source;
  unsigned char* input;
  uint32_t chunk;
  uint32_t offset;     // of the next byte to read
  uint32_t inputLeft;  // bytes of the stream's room not yet read
  InflatedOut out;
  void* context;
  uLong adler;  // of the output so far
};

unsigned ReadChunk(void* context, z_const unsigned char** buffer) {
  auto& f = *static_cast<Inflation*>(context);
  const uint32_t count = f.inputLeft < f.chunk ? f.inputLeft : f.chunk;
  if (count == 0 || !f.source->read(f.source->context, f.offset, f.input, count)) return 0;
  f.offset += count;
  f.inputLeft -= count;
  *buffer = f.input;
  return count;
}

// Nonzero stops inflateBack.
int PassOn(void* context, unsigned char* data, unsigned count) {
  auto& f = *static_cast<Inflation*>(context);
  f.adler = adler32(f.adler, data, count);
  return !f.out(f.context, data, count);
}

// The next byte of the zlib header or trailer, which inflateBack does not read: from what is
// left of the last chunk, else from a new one. -1 when the room ends.
int NextByte(Inflation& f, z_stream& stream) {
  if (stream.avail_in == 0) {
    stream.avail_in = ReadChunk(&f, &stream.next_in);
    if (stream.avail_in == 0) return -1;
  }
  --stream.avail_in;
  return *stream.next_in++;
}

}  // namespace

// inflateBack rather than inflate: the same decoder without inflate's resumable state machine,
// some 10 KB less of the updater, and its window is the only output buffer.
int InflateZlibStream(const ByteSource& source, uint32_t offset, uint32_t length,
                      unsigned char* input, uint32_t chunk, InflatedOut out, void* context,
                      uint32_t* unread) {
  Inflation f = {&source, input, chunk, offset, length, out, context, adler32(0, Z_NULL, 0)};
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  // The zlib header: deflate (method 8) with a window of at most 32 KB, no preset dictionary,
  // and the check bits that make the two bytes a multiple of 31.
  const int method = NextByte(f, stream);
  const int flags = NextByte(f, stream);
  if (flags < 0 || (method & 0x0F) != 8 || (method >> 4) > 7 || (flags & 0x20) ||
      ((method << 8) | flags) % 31 != 0)
    return 0;
  auto* window = static_cast<unsigned char*>(std::malloc(1u << 15));
  if (!window) return 0;
  int ok = 0;
  if (inflateBackInit(&stream, 15, window) == Z_OK) {
    ok = inflateBack(&stream, ReadChunk, &f, PassOn, &f) == Z_STREAM_END;
    // The trailer: the Adler-32 of the output, most significant byte first.
    uLong trailer = 0;
    for (int i = 0; ok && i < 4; ++i) {
      const int byte = NextByte(f, stream);
      ok = byte >= 0;
      trailer = (trailer << 8) | static_cast<uLong>(byte);
    }
    ok = ok && trailer == f.adler;
    if (unread) *unread = stream.avail_in + f.inputLeft;
    inflateBackEnd(&stream);
  }
  std::free(window);
  return ok;
}
