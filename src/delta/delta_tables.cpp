// The applier of kDeltaWordsTables (delta.h): the words method run between the coded base and
// the coded result, the base's tables coded into the arena beforehand and the result's decoded
// on their way to the sink.
#include <cstring>

#include "delta/delta.h"
#include "delta/delta_run.h"
#include "delta/image_tables.h"
#include "delta/relocated_places.h"
#include "package/format.h"

namespace {

struct TablePlaces {
  uint32_t kind;
  uint32_t baseOffset, baseSize, baseCoded;
  uint32_t resultOffset, resultSize, resultCoded;
};

struct TablesRecord {
  uint32_t count;
  uint32_t size;  // bytes of the record
  TablePlaces tables[kImageTablesMax];
  uint64_t codedBaseSize, codedResultSize;
  uint32_t sectionCount;  // the relocated methods' base sections; 0 for the others
  ImageSection sections[kImageSectionsMax];
};

uint32_t Smaller(uint64_t a, uint64_t b) { return static_cast<uint32_t>(a < b ? a : b); }

// Reads and checks the record: known kinds, each image's tables inside it and in order, the
// coded base tables within kCodedTablesMax, the coded images within 32-bit sizes. 1 or 0.
int ReadTablesRecord(const DeltaStream& delta, const DeltaHeader& h, TablesRecord& r) {
  const uint32_t at = delta.offset + kDeltaHeaderSize;
  unsigned char bytes[kImageTablesMax * kTableRecordSize];
  if (!delta.source.read(delta.source.context, at, bytes, 4)) return 0;
  r.count = ReadLE32(bytes);
  if (r.count < 1 || r.count > kImageTablesMax) return 0;
  r.size = 4 + r.count * kTableRecordSize;
  if (h.bodySize < r.size + kDeflatedWordsBodyMin ||
      !delta.source.read(delta.source.context, at + 4, bytes, r.count * kTableRecordSize))
    return 0;
  uint64_t baseEnd = 0, resultEnd = 0, codedTables = 0;
  r.codedBaseSize = h.baseSize;
  r.codedResultSize = h.resultSize;
  for (uint32_t i = 0; i < r.count; ++i) {
    const unsigned char* p = bytes + i * kTableRecordSize;
    TablePlaces& t = r.tables[i];
    t = {ReadLE32(p),      ReadLE32(p + 4),  ReadLE32(p + 8), ReadLE32(p + 12),
         ReadLE32(p + 16), ReadLE32(p + 20), ReadLE32(p + 24)};
    if ((t.kind != kTableRelocations && t.kind != kTableExceptions) || t.baseOffset < baseEnd ||
        t.resultOffset < resultEnd)
      return 0;
    baseEnd = uint64_t{t.baseOffset} + t.baseSize;
    resultEnd = uint64_t{t.resultOffset} + t.resultSize;
    codedTables += t.baseCoded;
    r.codedBaseSize += uint64_t{t.baseCoded} - t.baseSize;
    r.codedResultSize += uint64_t{t.resultCoded} - t.resultSize;
  }
  r.sectionCount = 0;
  if (RelocatedMethod(h.method)) {
    // The sections after the tables, and room for the places beside the coded tables.
    unsigned char count[4];
    if (codedTables > kCodedTablesMax - PlacesRoom(h.method) ||
        !delta.source.read(delta.source.context, at + r.size, count, 4))
      return 0;
    r.sectionCount = ReadLE32(count);
    if (r.sectionCount < 1 || r.sectionCount > kImageSectionsMax) return 0;
    unsigned char sections[kImageSectionsMax * 12];
    if (h.bodySize < r.size + 4 + r.sectionCount * 12 + kDeflatedWordsBodyMin ||
        !delta.source.read(delta.source.context, at + r.size + 4, sections, r.sectionCount * 12))
      return 0;
    for (uint32_t i = 0; i < r.sectionCount; ++i)
      r.sections[i] = {ReadLE32(sections + 12 * i), ReadLE32(sections + 12 * i + 4),
                       ReadLE32(sections + 12 * i + 8)};
    r.size += 4 + r.sectionCount * 12;
  }
  return baseEnd <= h.baseSize && resultEnd <= h.resultSize && codedTables <= kCodedTablesMax &&
         r.codedBaseSize <= UINT32_MAX && r.codedResultSize <= UINT32_MAX;
}

// The coded base: the base's bytes with its tables replaced by their coded forms in memory, one
// after the other.
struct CodedBase {
  const ByteSource* base;
  const unsigned char* coded;
  const TablesRecord* record;
};

int ReadCodedBase(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  const auto* b = static_cast<const CodedBase*>(context);
  const TablesRecord& r = *b->record;
  const uint64_t end = uint64_t{offset} + count;
  uint64_t at = offset;
  // Stretches of the coded base in order: bytes as in the base (from rawAt), then a coded table
  // (from memory), ..., then the base's bytes after the last table.
  uint64_t codedAt = 0, rawAt = 0;
  const unsigned char* memory = b->coded;
  for (uint32_t i = 0; i <= r.count && at < end; ++i) {
    const uint64_t rawEnd = i < r.count ? r.tables[i].baseOffset : b->base->length;
    const uint64_t stretchEnd = codedAt + (rawEnd - rawAt);
    if (at < stretchEnd) {
      const uint32_t n = Smaller(end, stretchEnd) - static_cast<uint32_t>(at);
      if (!b->base->read(b->base->context, static_cast<uint32_t>(rawAt + (at - codedAt)), buffer,
                         n))
        return 0;
      buffer += n;
      at += n;
    }
    if (i == r.count) break;
    const uint64_t tableEnd = stretchEnd + r.tables[i].baseCoded;
    if (at < end && at < tableEnd) {  // the stretch before is read: at >= stretchEnd
      const uint32_t n = Smaller(end, tableEnd) - static_cast<uint32_t>(at);
      std::memcpy(buffer, memory + (at - stretchEnd), n);
      buffer += n;
      at += n;
    }
    memory += r.tables[i].baseCoded;
    codedAt = tableEnd;
    rawAt = rawEnd + r.tables[i].baseSize;
  }
  return at == end;
}

// The coded result on its way out: the bytes around the coded tables pass on as they are, each
// coded table is decoded first (and must end where its coded form ends).
struct DecodedResult {
  DeltaOutput* out;
  const TablesRecord* record;
  uint64_t position;                  // coded result bytes received
  uint64_t codedAt[kImageTablesMax];  // where each coded table starts in the coded result
  TableCoder coders[kImageTablesMax];
  TableOutput decoded;  // into kDecodedTablesBuffer bytes of the arena
};

int EmitDecoded(void* context, const unsigned char* bytes, uint32_t count) {
  return EmitResult(*static_cast<DeltaOutput*>(context), bytes, count);
}

int WriteCodedResult(void* context, const unsigned char* data, uint32_t count) {
  auto* d = static_cast<DecodedResult*>(context);
  while (count > 0) {
    // The table whose coded form holds the position, if any; else the bytes up to the next.
    uint32_t n = count;
    int table = -1;
    for (uint32_t i = 0; i < d->record->count; ++i) {
      const uint64_t start = d->codedAt[i], end = start + d->record->tables[i].resultCoded;
      if (d->position >= start && d->position < end) {
        table = static_cast<int>(i);
        n = Smaller(n, end - d->position);
        break;
      }
      if (d->position < start) {
        n = Smaller(n, start - d->position);
        break;
      }
    }
    if (table < 0) {
      if (!EmitResult(*d->out, data, n)) return 0;
    } else {
      TableCoder& coder = d->coders[table];
      if (!DecodeTable(coder, data, n, d->decoded)) return 0;
      if (d->position + n == d->codedAt[table] + d->record->tables[table].resultCoded) {
        if (!TableEnded(coder) || !EmitResult(*d->out, d->decoded.data, d->decoded.size)) return 0;
        d->decoded.size = 0;
      }
    }
    d->position += n;
    data += n;
    count -= n;
  }
  return 1;
}

// Codes the base's tables into coded, one after the other, reading them a chunk at a time into
// buffer. Where the coded tables end, when each is a whole table of its kind whose coded form has
// the record's length; else null.
unsigned char* CodeBaseTables(const ByteSource& base, const TablesRecord& r, unsigned char* buffer,
                              uint32_t chunk, unsigned char* coded) {
  for (uint32_t i = 0; i < r.count; ++i) {
    const TablePlaces& t = r.tables[i];
    TableCoder coder;
    if (!StartTableCoder(coder, t.kind, t.baseSize)) return nullptr;
    TableOutput out = {coded, t.baseCoded, 0, nullptr, nullptr};
    for (uint32_t done = 0; done < t.baseSize;) {
      const uint32_t n = Smaller(chunk, t.baseSize - done);
      if (!base.read(base.context, t.baseOffset + done, buffer, n) ||
          !CodeTable(coder, buffer, n, out))
        return nullptr;
      done += n;
    }
    if (!TableEnded(coder) || out.size != t.baseCoded) return nullptr;
    coded += t.baseCoded;
  }
  return coded;
}

}  // namespace

int RunTablesWords(const DeltaStream& delta, const DeltaHeader& h, const ByteSource* base,
                   DeltaOutput& out, uint32_t chunk, unsigned char* work) {
  TablesRecord r;
  if (!ReadTablesRecord(delta, h, r)) return 0;
  // The words body, after the record, between the coded images.
  const DeltaStream words = {delta.source, delta.offset + r.size, delta.length - r.size};
  DeltaHeader coded = h;
  coded.baseSize = static_cast<uint32_t>(r.codedBaseSize);
  coded.resultSize = static_cast<uint32_t>(r.codedResultSize);
  coded.bodySize = h.bodySize - r.size;
  unsigned char* tables = WordsWorkEnd(work, chunk);
  if (!base) return RunDeflatedWords(words, coded, nullptr, out, chunk, work, tables);

  unsigned char* spare = CodeBaseTables(*base, r, work, chunk, tables);
  if (!spare) return 0;
  CodedBase codedBase = {base, tables, &r};
  const ByteSource codedSource = {ReadCodedBase, &codedBase, coded.baseSize};

  DecodedResult result;
  std::memset(&result, 0, sizeof result);
  result.out = &out;
  result.record = &r;
  uint64_t shift = 0;
  for (uint32_t i = 0; i < r.count; ++i) {
    const TablePlaces& t = r.tables[i];
    result.codedAt[i] = t.resultOffset + shift;
    shift += uint64_t{t.resultCoded} - t.resultSize;
    if (!StartTableCoder(result.coders[i], t.kind, t.resultSize)) return 0;
  }
  // Decoded bytes go out in writes of at most a chunk, as every write of the applier, and in few
  // of them: through 256 bytes, esbuild's relocation table took a thousand writes, and the
  // applier a fifth more time.
  result.decoded = {spare, Smaller(kDecodedTablesBuffer, chunk), 0, EmitDecoded, &out};
  spare += kDecodedTablesBuffer;
  // The relocated places, after it: a table that coded is whole blocks. Then the call places
  // among them, with their bits after them.
  uint32_t *places = nullptr, *calls = nullptr;
  uint32_t placeCount = 0;
  if (r.sectionCount > 0) {
    places = reinterpret_cast<uint32_t*>((reinterpret_cast<uintptr_t>(spare) + 3) & ~uintptr_t{3});
    for (uint32_t i = 0; i < r.count; ++i) {
      const TablePlaces& t = r.tables[i];
      if (t.kind != kTableRelocations) continue;
      if (!RelocatedPlaces(*base, t.baseOffset, t.baseSize, r.sections, r.sectionCount,
                           r.tables[0].baseOffset, work, chunk, places, placeCount))
        return 0;
      break;
    }
    spare = reinterpret_cast<unsigned char*>(places + placeCount);
    if (CallPlacesMethod(h.method)) {
      if (!CallPlaces(*base, r.sections[0], r.tables[0].baseOffset, work, chunk, places,
                      placeCount))
        return 0;
      calls = places + placeCount;
      spare = reinterpret_cast<unsigned char*>(calls + (placeCount + 31) / 32);
    }
  }
  const ByteSink codedSink = {WriteCodedResult, &result};
  // The result is hashed as it is decoded, not in its coded form.
  DeltaOutput codedOut = {out.sink ? &codedSink : nullptr, nullptr};
  if (!RunDeflatedWords(words, coded, &codedSource, codedOut, chunk, work, spare, places,
                        placeCount, calls) ||
      result.position != coded.resultSize)
    return 0;
  for (uint32_t i = 0; i < r.count; ++i)
    if (!TableEnded(result.coders[i])) return 0;
  return 1;
}
