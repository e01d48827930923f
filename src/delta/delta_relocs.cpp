// The applier of kDeltaWordsRelocs (delta.h): the words method run between the coded base and
// the coded result, the base's relocation table coded into the arena beforehand and the
// result's decoded on its way to the sink.
#include <cstring>

#include "delta/delta.h"
#include "delta/delta_run.h"
#include "delta/reloc_table.h"
#include "package/format.h"

namespace {

struct RelocRecord {
  uint32_t baseOffset, baseSize, baseCoded;
  uint32_t resultOffset, resultSize, resultCoded;
};

uint32_t Smaller(uint64_t a, uint64_t b) { return static_cast<uint32_t>(a < b ? a : b); }

// The coded base: the base's bytes with its table replaced by the coded form in memory.
struct CodedBase {
  const ByteSource* base;
  const unsigned char* coded;
  RelocRecord record;
};

int ReadCodedBase(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  const auto* b = static_cast<const CodedBase*>(context);
  const RelocRecord& r = b->record;
  const uint64_t end = uint64_t{offset} + count;
  const uint64_t codedEnd = uint64_t{r.baseOffset} + r.baseCoded;
  for (uint64_t at = offset; at < end;) {
    uint32_t n;
    if (at < r.baseOffset) {
      n = Smaller(end, r.baseOffset) - static_cast<uint32_t>(at);
      if (!b->base->read(b->base->context, static_cast<uint32_t>(at), buffer, n)) return 0;
    } else if (at < codedEnd) {
      n = static_cast<uint32_t>(Smaller(end, codedEnd) - at);
      std::memcpy(buffer, b->coded + (at - r.baseOffset), n);
    } else {
      n = static_cast<uint32_t>(end - at);
      const uint64_t from = at - r.baseCoded + r.baseSize;
      if (from + n > b->base->length ||
          !b->base->read(b->base->context, static_cast<uint32_t>(from), buffer, n))
        return 0;
    }
    buffer += n;
    at += n;
  }
  return 1;
}

// The coded result on its way out: the bytes around the coded table pass on as they are, the
// table's coded form is decoded first.
struct DecodedResult {
  DeltaOutput* out;
  uint64_t position;  // coded result bytes received
  uint32_t tableOffset;
  uint32_t codedSize;
  RelocCoder coder;
  RelocOutput decoded;
  unsigned char buffer[256];
};

int EmitDecoded(void* context, const unsigned char* bytes, uint32_t count) {
  return EmitResult(*static_cast<DeltaOutput*>(context), bytes, count);
}

int WriteCodedResult(void* context, const unsigned char* data, uint32_t count) {
  auto* r = static_cast<DecodedResult*>(context);
  const uint64_t codedEnd = uint64_t{r->tableOffset} + r->codedSize;
  while (count > 0) {
    uint32_t n;
    if (r->position < r->tableOffset) {
      n = Smaller(count, r->tableOffset - r->position);
      if (!EmitResult(*r->out, data, n)) return 0;
    } else if (r->position < codedEnd) {
      n = Smaller(count, codedEnd - r->position);
      if (!DecodeRelocTable(r->coder, data, n, r->decoded)) return 0;
      if (r->position + n == codedEnd) {
        if (!RelocTableEnded(r->coder) || !EmitResult(*r->out, r->buffer, r->decoded.size))
          return 0;
        r->decoded.size = 0;
      }
    } else {
      n = count;
      if (!EmitResult(*r->out, data, n)) return 0;
    }
    r->position += n;
    data += n;
    count -= n;
  }
  return 1;
}

// Codes the base's table into coded (record.baseCoded bytes exactly), reading it a chunk at a
// time into buffer. 1 or 0.
int CodeBaseTable(const ByteSource& base, const RelocRecord& record, unsigned char* buffer,
                  uint32_t chunk, unsigned char* coded) {
  RelocCoder coder;
  StartRelocCoder(coder, record.baseSize);
  RelocOutput out = {coded, record.baseCoded, 0, nullptr, nullptr};
  for (uint32_t done = 0; done < record.baseSize;) {
    const uint32_t n = Smaller(chunk, record.baseSize - done);
    if (!base.read(base.context, record.baseOffset + done, buffer, n) ||
        !CodeRelocTable(coder, buffer, n, out))
      return 0;
    done += n;
  }
  return RelocTableEnded(coder) && out.size == record.baseCoded;
}

}  // namespace

int RunRelocatedWords(const DeltaStream& delta, const DeltaHeader& h, const ByteSource* base,
                      DeltaOutput& out, uint32_t chunk, unsigned char* work) {
  unsigned char bytes[kRelocRecordSize];
  if (!delta.source.read(delta.source.context, delta.offset + kDeltaHeaderSize, bytes,
                         kRelocRecordSize))
    return 0;
  RelocRecord r;
  r.baseOffset = ReadLE32(bytes);
  r.baseSize = ReadLE32(bytes + 4);
  r.baseCoded = ReadLE32(bytes + 8);
  r.resultOffset = ReadLE32(bytes + 12);
  r.resultSize = ReadLE32(bytes + 16);
  r.resultCoded = ReadLE32(bytes + 20);
  if (uint64_t{r.baseOffset} + r.baseSize > h.baseSize ||
      uint64_t{r.resultOffset} + r.resultSize > h.resultSize || r.baseCoded > kRelocCodedMax)
    return 0;
  const uint64_t codedBaseSize = uint64_t{h.baseSize} - r.baseSize + r.baseCoded;
  const uint64_t codedResultSize = uint64_t{h.resultSize} - r.resultSize + r.resultCoded;
  if (codedBaseSize > UINT32_MAX || codedResultSize > UINT32_MAX) return 0;

  // The words body, after the record, between the coded images.
  const DeltaStream words = {delta.source, delta.offset + kRelocRecordSize,
                             delta.length - kRelocRecordSize};
  DeltaHeader coded = h;
  coded.baseSize = static_cast<uint32_t>(codedBaseSize);
  coded.resultSize = static_cast<uint32_t>(codedResultSize);
  coded.bodySize = h.bodySize - kRelocRecordSize;
  if (!base) return RunDeflatedWords(words, coded, nullptr, out, chunk, work);

  unsigned char* table = work + 3 * chunk + 4 + kWordWorkExtra;
  if (!CodeBaseTable(*base, r, work, chunk, table)) return 0;
  CodedBase codedBase = {base, table, r};
  const ByteSource codedSource = {ReadCodedBase, &codedBase, coded.baseSize};

  DecodedResult result;
  std::memset(&result, 0, sizeof result);
  result.out = &out;
  result.tableOffset = r.resultOffset;
  result.codedSize = r.resultCoded;
  StartRelocCoder(result.coder, r.resultSize);
  result.decoded = {result.buffer, sizeof result.buffer, 0, EmitDecoded, &out};
  const ByteSink codedSink = {WriteCodedResult, &result};
  // The result is hashed as it is decoded, not in its coded form.
  DeltaOutput codedOut = {out.sink ? &codedSink : nullptr, nullptr};
  return RunDeflatedWords(words, coded, &codedSource, codedOut, chunk, work) &&
         result.position == coded.resultSize && RelocTableEnded(result.coder);
}
