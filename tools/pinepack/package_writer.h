// Writes update packages and self-contained updaters in memory. Portable (C++17 and zlib only):
// pinepack uses it natively, and the Windows tests build their packages with it.
//
// The writer does exactly what it is told: it does not decide between stored and deflated, and
// it does not check names for safety (tests need unsafe packages too). It refuses only what the
// format cannot express at all, by throwing PackageWriteError.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "package/package.h"

// A package that the format cannot hold: a name of more than 31 bytes, data or offsets beyond
// 32 bits, an empty name inside a name list, an empty package to wrap.
class PackageWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct WriterEntry {
  std::string name{};              // entry name as stored (<= 31 bytes)
  std::vector<uint8_t> data{};     // contents once extracted
  bool deflate = true;             // false: stored
  int level = 9;                   // zlib level when deflating
  uint32_t extraFlags = 0x100000;  // other flag bits written as vendors' packages do (bit 20)
  // When deflating and not empty: the zlib stream to write as it is, instead of deflating data
  // (pinepack reuses the stream it made to decide; tests inject damaged streams). The record's
  // size stays data.size().
  std::vector<uint8_t> packed{};
};

struct PackageSpec {
  std::vector<WriterEntry> entries;  // in directory order
  bool deflateDirectory = true;      // false: the directory is stored (method 0)
  int level = 9;                     // zlib level of the directory's stream
};

// Where WritePackage put things, for tests that damage a good package byte by byte.
// All offsets count from the package start (byte 0 of the returned vector).
struct PackageLayout {
  // Offsets of the header fields.
  static constexpr uint32_t kEntryCountField = 16;
  static constexpr uint32_t kDirectoryOffsetField = 20;
  static constexpr uint32_t kDirectoryMethodField = 24;
  static constexpr uint32_t kDirectoryPackedSizeField = 28;
  // Offsets of the fields inside one 48-byte directory record.
  static constexpr uint32_t kNameField = 0;
  static constexpr uint32_t kDataOffsetField = 32;
  static constexpr uint32_t kSizeField = 36;
  static constexpr uint32_t kFlagsField = 40;
  static constexpr uint32_t kPackedSizeField = 44;

  uint32_t directoryOffset = 0;  // first byte of the directory (records or zlib stream)
  uint32_t directoryLength = 0;  // bytes the directory takes in the package
  bool directoryDeflated = false;
  std::vector<uint32_t> dataOffsets;  // first byte of each entry's stored data
  std::vector<uint32_t> dataLengths;  // bytes of each entry's stored data (stream or contents)

  // Offset of record i inside the package; meaningful only when the directory is stored.
  uint32_t RecordOffset(size_t i) const;
};

// Header, entry streams in directory order without gaps, directory last. The header carries the
// delta package signature when an entry's extraFlags hold ENTRY_DELTA, else the plain one. Deflated
// streams are zlib streams (window bits 15) at the entry's level; a deflated entry gets flag bit 16
// and its stream length as packedSize, a stored one keeps bit 16 clear and packedSize = its size.
// layout, when given, receives the offsets. Throws PackageWriteError.
std::vector<uint8_t> WritePackage(const PackageSpec& spec, PackageLayout* layout = nullptr);

// :RegistryKeys: key path, the three value names, the signed level; one trailing NUL after the
// level, as vendors' packages carry.
std::vector<uint8_t> RegistryKeysPayload(const std::string& keyPath, const std::string& folderValue,
                                         const std::string& fileValue,
                                         const std::string& patchValue, int32_t level);

// :StartupMsg: caption, text (lines separated by CR LF), and one more NUL, as vendors' packages
// carry. The strings are written byte for byte (already in the package's code page).
std::vector<uint8_t> StartupMsgPayload(const std::string& caption, const std::string& text);

// :Folders, :FilesToRemove: each name NUL-terminated, then the empty name. Throws on an empty
// name, which would end the list early.
std::vector<uint8_t> NameListPayload(const std::vector<std::string>& names);

// :XlatNamesTable: (entry name, name on disk) pairs, then the empty string. Throws on an empty
// entry name.
std::vector<uint8_t> XlatTablePayload(
    const std::vector<std::pair<std::string, std::string>>& pairs);

// The version of the all-or-nothing rules (kTransactionSection) that pinepack writes and apply
// follows.
constexpr uint32_t kTransactionRules = 1;

// :Transaction: the rules' version, 4 bytes little-endian.
std::vector<uint8_t> TransactionPayload(uint32_t rules = kTransactionRules);

// The self-contained updater (PlanUpdater, CopyUpdater): the executable without its certificate
// table when it is signed, the package, zeros to a multiple of 8, the trailer; the same bytes as
// the updater's own build mode writes. Written to sink in bounded chunks. Throws when the
// package is empty, the result would not fit 32 bits, or a read or write fails.
void WrapUpdater(const ByteSource& executable, const ByteSource& package, const ByteSink& sink);

// The same, in memory.
std::vector<uint8_t> WrapUpdater(const std::vector<uint8_t>& executable,
                                 const std::vector<uint8_t>& package);

// One zlib stream (window bits 15) of data at level. Throws when zlib fails.
std::vector<uint8_t> DeflateBytes(const std::vector<uint8_t>& data, int level);

// The same stream, byte for byte, in out when it is at most limit bytes long: 1. When it is
// longer, 0 as soon as limit bytes are out (out then holds no whole stream), so that a caller
// that wants it only when it is short does not deflate the rest. Throws when zlib fails.
int DeflateWithin(const std::vector<uint8_t>& data, int level, size_t limit,
                  std::vector<uint8_t>& out);

// Writes value little-endian at offset of bytes (which must hold offset + 4 bytes).
void PatchLE32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
