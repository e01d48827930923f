// Helpers of the package tests: packages made by the writer, opened by the portable reader.
#pragma once

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/package.h"
#include "package_writer.h"

// gtest shows a refusal as its number, not as the character of its underlying type.
inline void PrintTo(PackageRefusal refusal, std::ostream* os) { *os << static_cast<int>(refusal); }

// Owns a PackageView over bytes held by the caller (which must outlive it).
struct LoadedView {
  PackageView view;
  int ok = 0;
  LoadedView(const std::vector<uint8_t>& bytes, int selfContained) {
    InitPackageView(view);
    SetMemorySource(view, bytes.data(), static_cast<uint32_t>(bytes.size()));
    ok = LoadPackage(view, selfContained);
  }
  ~LoadedView() { UnloadPackage(view); }
  LoadedView(const LoadedView&) = delete;
  LoadedView& operator=(const LoadedView&) = delete;
};

// A source over bytes that outlive it.
inline ByteSource Source(const std::vector<uint8_t>& bytes) {
  return MemorySource(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Deterministic, moderately compressible contents of n bytes.
inline std::vector<uint8_t> SampleData(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>((x >> 16) % 7 + 'a');
  }
  return out;
}

// A complete, valid package: both required sections, a stored and two deflated files.
inline PackageSpec SamplePackageSpec() {
  PackageSpec spec;
  spec.entries.push_back({":StartupMsg", StartupMsgPayload("Caption", "Apply?\r\nYes"), true});
  spec.entries.push_back({":RegistryKeys",
                          RegistryKeysPayload("SOFTWARE\\Maker\\Product", "ProgramPath",
                                              "ProgramName", "PatchLevel", 1),
                          true});
  spec.entries.push_back({"app.exe", SampleData(5000, 1), true});
  spec.entries.push_back({"data\\sub\\lib.dll", SampleData(3000, 2), false});
  spec.entries.push_back({"readme.txt", Bytes("hello"), true});
  return spec;
}

// The PE headers of an executable as far as the reader goes: "MZ", e_lfanew, "PE\0\0", a file
// header and an optional header (PE32, or PE32+ when pe32Plus) with 16 data directories, all
// empty; then filler up to size bytes (at least 512).
constexpr uint32_t kPeOffset = 0x80;
inline std::vector<uint8_t> PeImage(bool pe32Plus = false, size_t size = 1024) {
  std::vector<uint8_t> image = SampleData(size, 7);
  std::memset(image.data(), 0, 512);
  image[0] = 'M';
  image[1] = 'Z';
  WriteLE32(&image[0x3C], kPeOffset);
  std::memcpy(&image[kPeOffset], "PE\0\0", 4);
  const uint32_t optionalSize = pe32Plus ? 240 : 224;
  image[kPeOffset + 20] = static_cast<uint8_t>(optionalSize);
  image[kPeOffset + 24] = 0x0B;
  image[kPeOffset + 25] = pe32Plus ? 0x02 : 0x01;
  WriteLE32(&image[kPeOffset + 24 + (pe32Plus ? 108 : 92)], 16);
  return image;
}

// File offset of the security directory entry of a PE image, read from its headers as a
// signing tool does.
inline size_t SecurityEntryOf(const std::vector<uint8_t>& image) {
  const uint32_t pe = ReadLE32(&image[0x3C]);
  const bool pe32Plus = image[pe + 25] == 0x02;
  return pe + 24 + (pe32Plus ? 112 : 96) + 4 * 8;
}

// What a signing tool does to a PE image: zeros up to a multiple of 8, then a certificate table
// of tableSize bytes (non-zero filler here), whose offset and size go into the security entry.
inline std::vector<uint8_t> Signed(std::vector<uint8_t> image, uint32_t tableSize = 1496) {
  image.resize((image.size() + 7) / 8 * 8, 0);
  const size_t entry = SecurityEntryOf(image);
  WriteLE32(&image[entry], static_cast<uint32_t>(image.size()));
  WriteLE32(&image[entry + 4], tableSize);
  const std::vector<uint8_t> table = SampleData(tableSize, 11);
  image.insert(image.end(), table.begin(), table.end());
  return image;
}

// A signed updater as it was before signing: the bytes up to packageEnd (the end of its
// trailer) with the security entry cleared.
inline std::vector<uint8_t> UnsignedCut(const std::vector<uint8_t>& signedFile,
                                        uint32_t packageEnd) {
  std::vector<uint8_t> cut(signedFile.begin(), signedFile.begin() + packageEnd);
  std::fill_n(cut.begin() + SecurityEntryOf(cut), 8, 0);
  return cut;
}

// The attacker's move on a signed file: the certificate table, which the signature does not
// cover, grown by appended bytes (a package of their own, say, and a trailer pointing at it),
// with the table's size raised in the security entry and in its WIN_CERTIFICATE length, so that
// the signature still verifies.
inline std::vector<uint8_t> GrownTable(std::vector<uint8_t> signedFile,
                                       const std::vector<uint8_t>& appended) {
  const size_t entry = SecurityEntryOf(signedFile);
  const uint32_t tableAt = ReadLE32(&signedFile[entry]);
  const uint32_t grownSize =
      ReadLE32(&signedFile[entry + 4]) + static_cast<uint32_t>(appended.size());
  WriteLE32(&signedFile[entry + 4], grownSize);
  WriteLE32(&signedFile[tableAt], grownSize);
  signedFile.insert(signedFile.end(), appended.begin(), appended.end());
  return signedFile;
}

// A package hidden at the end of the file: the package, padding to a multiple of 8 and a
// trailer pointing at the package, which begins at file offset at.
inline std::vector<uint8_t> HiddenUpdaterTail(const std::vector<uint8_t>& package, size_t at) {
  std::vector<uint8_t> tail = package;
  while ((at + tail.size()) % 8 != 0) tail.push_back(0);
  unsigned char trailer[8];
  WriteLE32(trailer, static_cast<uint32_t>(at));
  std::memcpy(trailer + 4, "PINE", 4);
  tail.insert(tail.end(), trailer, trailer + 8);
  return tail;
}

// A PE image whose length brings a package of packageSize bytes to a multiple of 8: wrapped
// with it, the package is followed directly by its trailer, without padding.
inline std::vector<uint8_t> ExecutableFor(size_t packageSize) {
  return PeImage(false, 1024 + (8 - packageSize % 8) % 8);
}
