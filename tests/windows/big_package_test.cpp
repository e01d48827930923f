// Big packages and big files through the real updater under Wine: a package with a stored file
// of 700 MB and a patch package for a file of 700 MB (in every run) and one of more than 2 GiB with
// a file of more than 1 GiB (only with PINECONE_TEST_2GIB_PACKAGE=1; bench/big_package.sh runs it).
// Each package is written front to back as a vendor's tool writes one too big for memory; MAKEEXE
// turns it into a self-contained updater, which must hold the executable, the package and the
// trailer byte for byte; that updater installs it, and every file is checked by size and CRC-32.
// The updater's peak address space, read from outside, must stay within 256 MB of what it is for a
// tiny package: a view of the whole package or of the whole big file could not.
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "delta/delta.h"
#include "delta_writer.h"
#include "driver_win32.h"
#include "fixtures_win32.h"
#include "package/builder.h"
#include "package/format.h"
#include "package_writer.h"
#include "shell/texts.h"

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kBlock = 1 << 20;   // bytes written, read and compared per step
constexpr uint32_t kTile = 64 * 1024;  // a numbered piece of a big file's contents
constexpr DWORD kTimeoutMs = 20000;
constexpr DWORD kBigTimeoutMs = 600000;
// How much more address space, and memory, the updater may take for a big package than for a
// tiny one.
constexpr int64_t kAllowanceKb = 256 * 1024;

// Contents of a big stored file, made block by block: numbered tiles of one pseudo-random
// pattern, so that a chunk written at the wrong place, twice or not at all changes the CRC; or
// zeros, left as a hole in the package file so that they cost nothing to write.
enum class Fill { kTiles, kZeros };

void MakeBlock(Fill fill, uint64_t index, std::vector<uint8_t>& block) {
  static const std::vector<uint8_t> pattern = [] {
    std::vector<uint8_t> p(kTile);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint8_t& b : p) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<uint8_t>(x >> 24);
    }
    return p;
  }();
  block.assign(kBlock, 0);
  if (fill == Fill::kZeros) return;
  for (uint32_t t = 0; t < kBlock / kTile; ++t) {
    uint8_t* tile = block.data() + t * kTile;
    std::memcpy(tile, pattern.data(), kTile);
    const uint64_t number = index * (kBlock / kTile) + t + 1;
    std::memcpy(tile, &number, sizeof number);
    std::memcpy(tile + kTile / 2 + 3, &number, sizeof number);  // once more, off any alignment
  }
}

// One entry of a big package: small contents from memory, or a big stored file made by fill.
// Without a name it is a gap, a hole in the file that no entry refers to.
struct PlannedEntry {
  std::string name;
  std::vector<uint8_t> data{};
  bool deflate = true;
  uint64_t bigSize = 0;  // not 0: a stored file of this many bytes, made by fill
  Fill fill = Fill::kTiles;
  uint32_t crc = 0;  // of the contents, set while writing
};

bool WriteAll(HANDLE file, const void* data, DWORD count) {
  DWORD written = 0;
  return WriteFile(file, data, count, &written, nullptr) && written == count;
}

bool Skip(HANDLE file, uint64_t count) {
  LARGE_INTEGER skip;
  skip.QuadPart = static_cast<LONGLONG>(count);
  return SetFilePointerEx(file, skip, nullptr, FILE_CURRENT) != 0;
}

// Writes the package front to back: a header, each entry's data in directory order (big ones
// block by block), the deflated directory, then the header's real contents; a file shorter than
// padTo is then lengthened to it with a hole. Sets each entry's CRC. Returns the file's length,
// 0 when a write fails.
uint64_t WriteBigPackage(const std::string& path, std::vector<PlannedEntry>& entries,
                         uint64_t padTo = 0) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  bool ok = WriteAll(file, std::vector<uint8_t>(kHeaderSize).data(), kHeaderSize);
  uint64_t offset = kHeaderSize;
  std::vector<uint8_t> directory, block;
  uint32_t count = 0;
  for (PlannedEntry& e : entries) {
    const uint64_t dataOffset = offset;
    uint64_t size = e.data.size(), packedSize = size;
    if (e.name.empty()) {
      ok = ok && Skip(file, e.bigSize);
      offset += e.bigSize;
      continue;
    }
    if (e.bigSize) {
      size = packedSize = e.bigSize;
      for (uint64_t done = 0, index = 0; ok && done < size; done += block.size(), ++index) {
        MakeBlock(e.fill, index, block);
        if (size - done < kBlock) block.resize(static_cast<size_t>(size - done));
        e.crc = crc32(e.crc, block.data(), static_cast<uInt>(block.size()));
        ok = e.fill == Fill::kZeros
                 ? Skip(file, block.size())
                 : WriteAll(file, block.data(), static_cast<DWORD>(block.size()));
      }
    } else {
      const std::vector<uint8_t> stream = e.deflate ? DeflateBytes(e.data, 9) : e.data;
      packedSize = stream.size();
      e.crc = crc32(0, e.data.data(), static_cast<uInt>(e.data.size()));
      ok = ok && WriteAll(file, stream.data(), static_cast<DWORD>(stream.size()));
    }
    offset += packedSize;
    unsigned char record[kEntrySize] = {};
    std::memcpy(record, e.name.c_str(), e.name.size());
    WriteLE32(record + 32, static_cast<uint32_t>(dataOffset));
    WriteLE32(record + 36, static_cast<uint32_t>(size));
    WriteLE32(record + 40, (e.deflate && !e.bigSize ? ENTRY_DEFLATED : 0) | 0x100000);
    WriteLE32(record + 44, static_cast<uint32_t>(packedSize));
    directory.insert(directory.end(), record, record + kEntrySize);
    ++count;
  }
  const std::vector<uint8_t> stream = DeflateBytes(directory, 9);
  ok = ok && offset + stream.size() < (uint64_t{1} << 32) &&
       WriteAll(file, stream.data(), static_cast<DWORD>(stream.size()));
  uint64_t length = offset + stream.size();
  if (ok && padTo > length) {
    ok = Skip(file, padTo - length) && SetEndOfFile(file);
    length = padTo;
  }
  unsigned char header[kHeaderSize];
  std::memcpy(header, kPackageSignature, sizeof kPackageSignature);
  WriteLE32(header + 16, count);
  WriteLE32(header + 20, static_cast<uint32_t>(offset));
  WriteLE32(header + 24, kDirectoryDeflated);
  WriteLE32(header + 28, static_cast<uint32_t>(stream.size()));
  ok = ok && SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 &&
       WriteAll(file, header, kHeaderSize);
  CloseHandle(file);
  return ok ? length : 0;
}

// Reads a file block by block from an offset.
class BlockReader {
 public:
  BlockReader(const std::string& path, uint64_t offset)
      : file_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (file_ != INVALID_HANDLE_VALUE) SetFilePointerEx(file_, at, nullptr, FILE_BEGIN);
  }
  ~BlockReader() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;
  // The next block of at most limit bytes; empty at the end or on an error.
  const std::vector<uint8_t>& Next(DWORD limit = kBlock) {
    block_.resize(limit);
    DWORD got = 0;
    if (file_ == INVALID_HANDLE_VALUE || !ReadFile(file_, block_.data(), limit, &got, nullptr))
      got = 0;
    block_.resize(got);
    return block_;
  }

 private:
  HANDLE file_;
  std::vector<uint8_t> block_;
};

// Length and CRC-32 of a whole file.
void SizeAndCrc(const std::string& path, uint64_t& size, uint32_t& crc) {
  BlockReader reader(path, 0);
  size = 0;
  crc = 0;
  for (const std::vector<uint8_t>* b = &reader.Next(); !b->empty(); b = &reader.Next()) {
    crc = crc32(crc, b->data(), static_cast<uInt>(b->size()));
    size += b->size();
  }
}

// Whether the bytes of a from offset on are exactly the whole of b.
bool HoldsAt(const std::string& a, uint64_t offset, const std::string& b) {
  BlockReader inA(a, offset), inB(b, 0);
  for (;;) {
    const std::vector<uint8_t>& blockB = inB.Next();
    if (blockB.empty()) return true;
    if (inA.Next(static_cast<DWORD>(blockB.size())) != blockB) return false;
  }
}

uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A self-contained updater run to its end: the finished window, its status line, the time it
// took, and the process's memory: its address space sampled while it works, and the kernel's
// high-water marks, read while the window waits for the click.
struct WatchedRun {
  bool finished = false;
  std::string status;
  double seconds = 0;
  uint64_t peakAddressSpaceKb = 0;
  bool memoryRead = false;
  UnixMemory memory;
  bool exited = false;
};

WatchedRun RunToTheEnd(const std::string& updater, DWORD timeoutMs) {
  WatchedRun r;
  UpdaterRun run{};
  const ULONGLONG start = GetTickCount64();
  if (!StartProcess(updater, Quote(updater), run)) return r;
  // A view of a whole file lives as long as that file is read or written, for seconds with big
  // files: sampling the address space every few milliseconds sees it.
  while (!r.finished && GetTickCount64() - start < timeoutMs) {
    r.peakAddressSpaceKb = std::max(r.peakAddressSpaceKb, AddressSpaceInUseKb(run));
    r.finished = WaitForFinished(run, 10);
  }
  r.seconds = (GetTickCount64() - start) / 1000.0;
  // The path names a folder of this test's own, so it singles the updater out.
  r.memoryRead = ReadUnixMemory(updater, r.memory);
  r.status = ControlText(run.dialog, 1000);
  PressButton(run.dialog, 1);
  DWORD exitCode = 1;
  r.exited = WaitForExit(run, kTimeoutMs, exitCode) && exitCode == 0;
  KillIfRunning(run);
  return r;
}

// An installed program: prog\prog.exe below a folder of the test's own, and the registry values
// that name it.
struct Program {
  TempFolder root{"big"};
  RegistryFixture registry{"BigPackage"};
  std::string folder = root / "prog";
  Program() {
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteFileText(folder + "\\prog.exe", "the installed program");
    registry.SetString("ProgramPath", folder);
    registry.SetString("ProgramName", "prog.exe");
  }
  std::vector<uint8_t> Keys(int32_t level) const {
    return RegistryKeysPayload(registry.keyPath(), "ProgramPath", "ProgramName", "PatchLevel",
                               level);
  }
  // Every file entry installed, by size and CRC-32.
  void ExpectInstalled(const std::vector<PlannedEntry>& entries) const {
    for (const PlannedEntry& e : entries) {
      if (e.name.empty() || e.name[0] == ':') continue;
      SCOPED_TRACE(e.name);
      uint64_t size = 0;
      uint32_t crc = 0;
      SizeAndCrc(folder + "\\" + e.name, size, crc);
      EXPECT_EQ(size, e.bigSize ? e.bigSize : e.data.size());
      EXPECT_EQ(crc, e.crc);
    }
  }
};

// About 3 MB of text: a deflated file of several chunks in and out.
std::vector<uint8_t> LinesOfText() {
  std::string text;
  for (int i = 0; text.size() < 3 * kMiB; ++i) text += "line " + std::to_string(i) + " of text\r\n";
  return Bytes(text);
}

struct BigCase {
  uint64_t tiledSize;  // the big stored file of numbered tiles
  uint64_t zeroSize;   // a second stored file, of zeros; 0 for none
};

// Installs a tiny package and then the big one into the same program, and checks the big one's
// updater, the files, the level and the updater's address space against the tiny one's.
void InstallBigPackage(const BigCase& c) {
  Program program;
  const TempFolder& root = program.root;
  const std::vector<uint8_t> keys = program.Keys(2);

  // The tiny package: what the updater takes for one small file.
  PackageSpec tiny;
  tiny.entries.push_back({":RegistryKeys", keys});
  tiny.entries.push_back({"a.dll", Bytes("tiny a.dll")});
  const std::string tinyUpdater = root / "tiny.exe";
  ASSERT_TRUE(WriteFileBytes(tinyUpdater, WrapUpdater(RlPatchBytes(), WritePackage(tiny))));
  const WatchedRun small = RunToTheEnd(tinyUpdater, kTimeoutMs);
  ASSERT_TRUE(small.finished && small.exited && small.memoryRead);
  ASSERT_EQ(small.status, texts::kUpdateInstalledText);
  program.registry.SetDword("PatchLevel", 1);

  // The big package: deflated files before and after the big ones, so that some entries, among
  // them a deflated file of several chunks, lie beyond 2 GiB in the big case.
  std::vector<PlannedEntry> entries = {
      {":RegistryKeys", keys},
      {"a.dll", Bytes("a.dll, replacing the tiny one")},
      {"data\\tiles.bin", {}, false, c.tiledSize, Fill::kTiles},
  };
  if (c.zeroSize) entries.push_back({"data\\zeros.bin", {}, false, c.zeroSize, Fill::kZeros});
  entries.push_back({"docs\\text.dat", LinesOfText()});
  entries.push_back({"z.dll", Bytes("the last deflated file")});
  entries.push_back({"tail.bin", std::vector<uint8_t>(100000, 0x5A), false});
  const std::string package = root / "big.pkg";
  const uint64_t packageLength = WriteBigPackage(package, entries);
  ASSERT_GT(packageLength, c.tiledSize + c.zeroSize);

  // MAKEEXE: the executable, the package, the padding and the trailer, in bounded memory at any
  // size.
  const std::string updater = root / "big.exe";
  const ULONGLONG buildStart = GetTickCount64();
  const UserOutcome built =
      PlayUser(RlPatchPath(),
               Quote(RlPatchPath()) + " " + Quote(package) + " " + Quote(updater) + " MAKEEXE", {},
               5000, kBigTimeoutMs);
  const double buildSeconds = (GetTickCount64() - buildStart) / 1000.0;
  ASSERT_TRUE(built.exited && !built.waited) << built.status;
  const uint64_t executableLength = RlPatchBytes().size();
  uint32_t paddingSize = 0, outputSize = 0;
  ASSERT_EQ(UpdaterLayout(executableLength, packageLength, paddingSize, outputSize), 1);
  ASSERT_EQ(FileSize(updater), outputSize);
  EXPECT_TRUE(HoldsAt(updater, 0, RlPatchPath()));
  EXPECT_TRUE(HoldsAt(updater, executableLength, package));
  unsigned char trailer[kTrailerSize];
  WriteTrailer(trailer, static_cast<uint32_t>(executableLength));
  BlockReader end(updater, outputSize - kTrailerSize);
  EXPECT_EQ(end.Next(), std::vector<uint8_t>(trailer, trailer + kTrailerSize));
  DeleteFileA(package.c_str());  // the disk holds the updater and the installed files only

  const WatchedRun big = RunToTheEnd(updater, kBigTimeoutMs);
  ASSERT_TRUE(big.finished && big.exited && big.memoryRead);
  EXPECT_EQ(big.status, texts::kUpdateInstalledText);
  EXPECT_EQ(program.registry.GetDword("PatchLevel"), 2);
  program.ExpectInstalled(entries);
  const std::vector<std::string> top = {"a.dll", "data", "docs", "prog.exe", "tail.bin", "z.dll"};
  EXPECT_EQ(ListFolder(program.folder), top) << "no backup left behind";

  // Growth over the tiny package: the address space, and what was resident at most.
  const auto growthKb = [](uint64_t big, uint64_t tiny) {
    return static_cast<int64_t>(big) - static_cast<int64_t>(tiny);
  };
  EXPECT_LT(growthKb(big.peakAddressSpaceKb, small.peakAddressSpaceKb), kAllowanceKb);
  EXPECT_LT(growthKb(big.memory.peakResidentKb, small.memory.peakResidentKb), kAllowanceKb);
  std::printf(
      "[ figures  ] package %.0f MB: MAKEEXE %.1f s, update %.1f s; the updater's address space "
      "at most %.0f MB (%.0f MB for a tiny package), resident at most %.0f MB (%.0f MB), "
      "VmPeak %.0f MB (%.0f MB)\n",
      packageLength / 1e6, buildSeconds, big.seconds, big.peakAddressSpaceKb / 1024.0,
      small.peakAddressSpaceKb / 1024.0, big.memory.peakResidentKb / 1024.0,
      small.memory.peakResidentKb / 1024.0, big.memory.peakVirtualKb / 1024.0,
      small.memory.peakVirtualKb / 1024.0);
}

TEST(BigPackage, FileOf700MBInstallsInBoundedAddressSpace) {
  InstallBigPackage({700 * kMiB + 4321, 0});
}

// A patch package for a file of 700 MB: the version on disk is zeros (a hole, so that it costs
// no writing), the new one the same with 16 bytes changed every 64 MiB. The delta, a few KB, is
// coded here byte by byte as pinepack codes it, with the sizes and hashes of both versions. The
// updater hashes the file, builds the new version from it and hashes that: in bounded memory.
TEST(BigPackage, PatchOfA700MBFileInBoundedAddressSpace) {
  Program program;
  const std::vector<uint8_t> keys = program.Keys(2);
  PackageSpec tiny;
  tiny.entries.push_back({":RegistryKeys", keys});
  tiny.entries.push_back({"a.dll", Bytes("tiny a.dll")});
  const std::string tinyUpdater = program.root / "tiny.exe";
  ASSERT_TRUE(WriteFileBytes(tinyUpdater, WrapUpdater(RlPatchBytes(), WritePackage(tiny))));
  const WatchedRun small = RunToTheEnd(tinyUpdater, kTimeoutMs);
  ASSERT_TRUE(small.finished && small.exited && small.memoryRead);
  program.registry.SetDword("PatchLevel", 1);

  const uint64_t size = 700 * kMiB + 4321;
  const std::string target = program.folder + "\\big.bin";
  // The base: zeros. The result: 16 bytes of each 64 MiB set to its number.
  constexpr uint64_t kEvery = 64 * kMiB;
  RangeBodyWriter writer;
  writer.Command(size, 0, 0);
  std::vector<uint8_t> gaps, ops, values;
  Sha256 baseHash, resultHash;
  Sha256Init(baseHash);
  Sha256Init(resultHash);
  uint32_t crc = 0;
  const std::vector<uint8_t> zeros(kBlock, 0);
  std::vector<uint8_t> block;
  for (uint64_t at = 0; at < size; at += block.size()) {
    block.assign(static_cast<size_t>(std::min<uint64_t>(kBlock, size - at)), 0);
    for (size_t i = 0; i < block.size(); ++i) {
      if ((at + i) % kEvery < 16) block[i] = static_cast<uint8_t>((at + i) / kEvery + 1);
      writer.Add(0, 0, block[i]);
    }
    Sha256Update(baseHash, zeros.data(), static_cast<uint32_t>(block.size()));
    Sha256Update(resultHash, block.data(), static_cast<uint32_t>(block.size()));
    crc = crc32(crc, block.data(), static_cast<uInt>(block.size()));
  }
  // The same as words: per 64 MiB a gap, a new value and the same value three times.
  for (uint64_t at = 0; at < size; at += kEvery) {
    const uint8_t number = static_cast<uint8_t>(at / kEvery + 1);
    for (uint64_t gap :
         {at == 0 ? uint64_t{0} : kEvery - 16, uint64_t{0}, uint64_t{0}, uint64_t{0}})
      PutNumber(gaps, gap);
    ops.insert(ops.end(), {kWordOpNew, 0, 0, 0});
    values.insert(values.end(), 4, number);
  }
  PutNumber(gaps, size - (size - 1) / kEvery * kEvery - 16);  // to the end
  std::vector<uint8_t> commands;
  for (uint64_t value : {size, uint64_t{0}, uint64_t{0}}) PutNumber(commands, value);
  unsigned char baseDigest[kSha256Size], resultDigest[kSha256Size];
  Sha256Final(baseHash, baseDigest);
  Sha256Final(resultHash, resultDigest);
  const std::vector<uint8_t> bodies[] = {writer.Finish(),
                                         DeflatedBlocks({{commands, gaps, ops, values, {}}}, true)};
  const DeltaMethod methods[] = {kDeltaRangeCoded, kDeltaDeflatedWords};

  for (int m = 0; m < 2; ++m) {
    SCOPED_TRACE(methods[m]);
    program.registry.SetDword("PatchLevel", 1);
    DeleteFileA(target.c_str());
    HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const bool made = Skip(file, size) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(made);

    DeltaHeader header{methods[m],
                       static_cast<uint32_t>(size),
                       static_cast<uint32_t>(size),
                       static_cast<uint32_t>(bodies[m].size()),
                       0,
                       {},
                       {}};
    std::memcpy(header.baseHash, baseDigest, kSha256Size);
    std::memcpy(header.resultHash, resultDigest, kSha256Size);
    std::vector<uint8_t> delta(kDeltaHeaderSize);
    WriteDeltaHeader(header, delta.data());
    delta.insert(delta.end(), bodies[m].begin(), bodies[m].end());
    ASSERT_LT(delta.size(), size / 1000);

    PackageSpec patch;
    patch.entries.push_back({":RegistryKeys", keys});
    WriterEntry entry{"big.bin", delta, false};
    entry.extraFlags |= ENTRY_DELTA;
    patch.entries.push_back(entry);
    const std::string updater = program.root / "patch.exe";
    ASSERT_TRUE(WriteFileBytes(updater, WrapUpdater(RlPatchBytes(), WritePackage(patch))));

    const WatchedRun big = RunToTheEnd(updater, kBigTimeoutMs);
    ASSERT_TRUE(big.finished && big.exited && big.memoryRead);
    EXPECT_EQ(big.status, texts::kUpdateInstalledText);
    EXPECT_EQ(program.registry.GetDword("PatchLevel"), 2);
    uint64_t installedSize = 0;
    uint32_t installedCrc = 0;
    SizeAndCrc(target, installedSize, installedCrc);
    EXPECT_EQ(installedSize, size);
    EXPECT_EQ(installedCrc, crc);
    EXPECT_EQ(ListFolder(program.folder),
              (std::vector<std::string>{"a.dll", "big.bin", "prog.exe"}))
        << "no backup left behind";
    const int64_t growthKb = static_cast<int64_t>(big.peakAddressSpaceKb) -
                             static_cast<int64_t>(small.peakAddressSpaceKb);
    EXPECT_LT(growthKb, kAllowanceKb);
    EXPECT_LT(static_cast<int64_t>(big.memory.peakResidentKb) -
                  static_cast<int64_t>(small.memory.peakResidentKb),
              kAllowanceKb);
    std::printf(
        "[ figures  ] patch of a %.0f MB file (a %u-byte delta, method %u): update %.1f s; the "
        "updater's address space at most %.0f MB (%.0f MB for a tiny package), resident at most "
        "%.0f MB (%.0f MB)\n",
        size / 1e6, static_cast<unsigned>(delta.size()), methods[m], big.seconds,
        big.peakAddressSpaceKb / 1024.0, small.peakAddressSpaceKb / 1024.0,
        big.memory.peakResidentKb / 1024.0, small.memory.peakResidentKb / 1024.0);
  }
}

// Several GB of disk and a minute or more: on request only.
TEST(BigPackage, PackageOver2GiBWithAFileOver1GiB) {
  char value[8] = {};
  if (!GetEnvironmentVariableA("PINECONE_TEST_2GIB_PACKAGE", value, sizeof value) ||
      std::strcmp(value, "1") != 0)
    GTEST_SKIP() << "set PINECONE_TEST_2GIB_PACKAGE=1 to run it (bench/big_package.sh does)";
  InstallBigPackage({1100 * kMiB + 4321, 1000 * kMiB});
}

// The largest package the format can describe, 4 GiB - 1 bytes, almost all of it a gap that no
// entry refers to (a hole in the file, so it costs nothing), with its files at offsets just
// below 4 GiB: it installs. One byte more and the file is no package. MAKEEXE refuses it: the
// updater would pass 4 GiB, where its trailer could not say where the package begins.
TEST(BigPackage, PackageOf4GiBLessOneByteInstallsAndNoMore) {
  Program program;
  constexpr uint64_t kLargest = 0xFFFFFFFF;
  std::vector<PlannedEntry> entries = {
      {":RegistryKeys", program.Keys(2)},
      {"a.dll", Bytes("the first file")},
      {"", {}, false, kLargest - 4 * kMiB, Fill::kZeros},
      {"docs\\text.dat", LinesOfText()},
      {"tail.bin", std::vector<uint8_t>(100000, 0x5A), false},
  };
  const std::string package = program.root / "largest.pkg";
  ASSERT_EQ(WriteBigPackage(package, entries, kLargest), kLargest);
  const std::string rl = Quote(RlPatchPath());
  const UserOutcome installed =
      PlayUser(RlPatchPath(), rl + " " + Quote(package), {}, 100, kTimeoutMs);
  EXPECT_TRUE(installed.waited && installed.exited);
  EXPECT_EQ(installed.status, texts::kUpdateInstalledText);
  EXPECT_EQ(program.registry.GetDword("PatchLevel"), 2);
  program.ExpectInstalled(entries);

  const std::string updater = program.root / "largest.exe";
  const UserOutcome build =
      PlayUser(RlPatchPath(), rl + " " + Quote(package) + " " + Quote(updater) + " MAKEEXE", {},
               100, kTimeoutMs);
  char failed[1024];
  std::snprintf(failed, sizeof failed, texts::kBuildFailedFormat, updater.c_str());
  EXPECT_EQ(build.status, failed);
  EXPECT_FALSE(PathExists(updater));

  HANDLE file = CreateFileA(package.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(kLargest + 1);
  const bool grown = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  ASSERT_TRUE(grown);
  program.registry.SetDword("PatchLevel", 1);
  const UserOutcome refused =
      PlayUser(RlPatchPath(), rl + " " + Quote(package), {}, 100, kTimeoutMs);
  EXPECT_TRUE(refused.waited);
  EXPECT_EQ(refused.status, texts::kUsageText);
  EXPECT_EQ(program.registry.GetDword("PatchLevel"), 1);
}

}  // namespace
