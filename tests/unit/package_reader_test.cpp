// The portable reader over packages made by the writer and damaged byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/package.h"
#include "package_test_util.h"
#include "package_writer.h"

namespace {

using L = PackageLayout;

std::vector<uint8_t> Extracted(const PackageView& view, int index, int* ok = nullptr) {
  std::vector<uint8_t> out(view.directory[index].size);
  const int result = ExtractEntry(view, index, out.data());
  if (ok) *ok = result;
  return out;
}

// A package with a stored directory, so that tests can patch its records.
struct Patchable {
  PackageSpec spec = SamplePackageSpec();
  PackageLayout layout;
  std::vector<uint8_t> bytes;
  Patchable() {
    spec.deflateDirectory = false;
    bytes = WritePackage(spec, &layout);
  }
  void SetField(size_t entry, uint32_t field, uint32_t value) {
    PatchLE32(bytes, layout.RecordOffset(entry) + field, value);
  }
  uint32_t Field(size_t entry, uint32_t field) const {
    return ReadLE32(bytes.data() + layout.RecordOffset(entry) + field);
  }
};

TEST(LoadPackage, SampleOpensBareAndWrapped) {
  const std::vector<uint8_t> bare = WritePackage(SamplePackageSpec());
  EXPECT_EQ(LoadedView(bare, 0).ok, 1);
  EXPECT_EQ(LoadedView(WrapUpdater(SampleData(100), bare), 1).ok, 1);
  // A bare package read as self-contained has no trailer.
  const LoadedView noTrailer(bare, 1);
  EXPECT_EQ(noTrailer.ok, 0);
  EXPECT_EQ(noTrailer.view.refusal, kRefusedNoTrailer);
  EXPECT_EQ(noTrailer.view.refusedEntry, -1);
}

TEST(LoadPackage, DirectoryMethodLowTwoBits) {
  struct Case {
    uint32_t method;
    bool storedDirectory;
    PackageRefusal refusal;
  };
  const Case cases[] = {
      {0, true, kRefusedNone},
      {3, true, kRefusedNone},
      {1, true, kRefusedDirectoryMethod},
      {5, true, kRefusedDirectoryMethod},
      {2, false, kRefusedNone},
      {6, false, kRefusedNone},
      {0xFFFFFFFC, true, kRefusedNone},
      {0xFFFFFFFE, false, kRefusedNone},
      {0xFFFFFFFD, true, kRefusedDirectoryMethod},
      // The wrong reading of the directory fails.
      {2, true, kRefusedDirectoryRatio},
      {0, false, kRefusedDirectoryBounds},
  };
  for (const Case& c : cases) {
    PackageSpec spec = SamplePackageSpec();
    spec.deflateDirectory = !c.storedDirectory;
    std::vector<uint8_t> bytes = WritePackage(spec);
    PatchLE32(bytes, L::kDirectoryMethodField, c.method);
    LoadedView loaded(bytes, 0);
    EXPECT_EQ(loaded.ok, c.refusal == kRefusedNone) << "method " << c.method;
    EXPECT_EQ(loaded.view.refusal, c.refusal) << "method " << c.method;
    if (loaded.ok) {
      EXPECT_STREQ(loaded.view.directory[2].name, "app.exe");
    }
  }
}

TEST(LoadPackage, StoredDirectoryIgnoresPackedSize) {
  Patchable p;
  PatchLE32(p.bytes, L::kDirectoryPackedSizeField, 0xFFFFFFFF);
  EXPECT_EQ(LoadedView(p.bytes, 0).ok, 1);
}

TEST(LoadPackage, HeaderChecks) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    PackageRefusal refusal;
    PackageRefusal deflated = kRefusedNone;  // with the directory deflated, when not as stored
  };
  const Case cases[] = {
      {"signature letter case", [](auto& b) { b[0] = 'p'; }, kRefusedSignature},
      {"signature end byte", [](auto& b) { b[15] = 0x1B; }, kRefusedSignature},
      {"signature blank", [](auto& b) { b[13] = 'X'; }, kRefusedSignature},
      {"entryCount 0", [](auto& b) { PatchLE32(b, L::kEntryCountField, 0); }, kRefusedHeaderEmpty},
      {"directoryOffset 0", [](auto& b) { PatchLE32(b, L::kDirectoryOffsetField, 0); },
       kRefusedHeaderEmpty},
      {"entryCount one more",
       [](auto& b) { PatchLE32(b, L::kEntryCountField, ReadLE32(&b[L::kEntryCountField]) + 1); },
       kRefusedDirectoryBounds, kRefusedDirectoryDamaged},
      {"entryCount x 48 overflows 32 bits",
       [](auto& b) { PatchLE32(b, L::kEntryCountField, 0x05555556); }, kRefusedDirectoryTooLarge},
      {"entryCount x 48 wraps to a small number",
       [](auto& b) { PatchLE32(b, L::kEntryCountField, 0x55555556); }, kRefusedDirectoryTooLarge},
      {"entryCount huge", [](auto& b) { PatchLE32(b, L::kEntryCountField, 0xFFFFFFFF); },
       kRefusedDirectoryTooLarge},
      {"directoryOffset past the end",
       [](auto& b) { PatchLE32(b, L::kDirectoryOffsetField, 0xFFFFFFF0); },
       kRefusedDirectoryBounds},
  };
  for (const Case& c : cases) {
    for (bool deflated : {false, true}) {
      PackageSpec spec = SamplePackageSpec();
      spec.deflateDirectory = deflated;
      std::vector<uint8_t> bytes = WritePackage(spec);
      c.damage(bytes);
      const LoadedView loaded(bytes, 0);
      EXPECT_EQ(loaded.ok, 0) << c.what << (deflated ? " (deflated)" : "");
      const PackageRefusal refusal = deflated && c.deflated ? c.deflated : c.refusal;
      EXPECT_EQ(loaded.view.refusal, refusal) << c.what << (deflated ? " (deflated)" : "");
      EXPECT_EQ(loaded.view.refusedEntry, -1) << c.what;
    }
  }
}

TEST(LoadPackage, SelfContainedTrailerBounds) {
  const std::vector<uint8_t> package = WritePackage(SamplePackageSpec());
  const std::vector<uint8_t> exe = SampleData(64);
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    PackageRefusal refusal;
  };
  std::vector<Case> cases;
  for (size_t n = 0; n < 8; ++n) {
    std::vector<uint8_t> tiny(n, 'P');
    if (n >= 4) std::memcpy(tiny.data() + n - 4, "PINE", 4);
    cases.push_back({"file shorter than 8 bytes", tiny, kRefusedNoTrailer});
  }
  cases.push_back(
      {"8 bytes: trailer only, offset 0", {0, 0, 0, 0, 'P', 'I', 'N', 'E'}, kRefusedHeaderBounds});
  std::vector<uint8_t> good = WrapUpdater(exe, package);
  cases.push_back({"good", good, kRefusedNone});
  const uint32_t length = static_cast<uint32_t>(good.size());
  for (uint32_t offset : {length - 32 + 1, length - 8, length, 0xFFFFFFFFu, 0xFFFFFFE1u}) {
    std::vector<uint8_t> bad = good;
    PatchLE32(bad, length - 8, offset);
    cases.push_back({"packageOffset + 32 past the end", bad, kRefusedHeaderBounds});
  }
  std::vector<uint8_t> magic = good;
  magic[length - 1] = 'e';
  cases.push_back({"magic letter case", magic, kRefusedNoTrailer});
  std::vector<uint8_t> off = good;
  PatchLE32(off, length - 8, static_cast<uint32_t>(exe.size() - 1));
  cases.push_back({"packageOffset one early", off, kRefusedSignature});
  for (const Case& c : cases) {
    const LoadedView loaded(c.file, 1);
    EXPECT_EQ(loaded.ok, c.refusal == kRefusedNone) << c.what << ", " << c.file.size() << " bytes";
    EXPECT_EQ(loaded.view.refusal, c.refusal) << c.what << ", " << c.file.size() << " bytes";
  }
}

// exe + package + trailer with no padding of the builder's, so that signing adds its own.
std::vector<uint8_t> Unpadded(const std::vector<uint8_t>& exe,
                              const std::vector<uint8_t>& package) {
  std::vector<uint8_t> out = exe;
  out.insert(out.end(), package.begin(), package.end());
  unsigned char trailer[8];
  std::memcpy(trailer + 4, "PINE", 4);
  WriteLE32(trailer, static_cast<uint32_t>(exe.size()));
  out.insert(out.end(), trailer, trailer + 8);
  return out;
}

// A signed updater: the trailer is found before the certificate table and the zero bytes (at
// most 7) that signing put in front of it, and the package then reads exactly as unsigned.
TEST(LoadPackage, SignedUpdaterTrailerBeforeTheCertificateTable) {
  const std::vector<uint8_t> package = WritePackage(SamplePackageSpec());
  const std::vector<uint8_t> exe = PeImage(false, 1024);
  const uint32_t tableSize = 1496;
  // The package grown by k bytes, so that signing pads the unpadded updater with (8 - k) % 8
  // zeros... shifted by the package's own length.
  const auto withPadding = [&](uint32_t zeros) {
    std::vector<uint8_t> grown = package;
    while ((exe.size() + grown.size() + 8 + zeros) % 8 != 0) grown.push_back('x');
    return Signed(Unpadded(exe, grown), tableSize);
  };
  const auto setTable = [](std::vector<uint8_t>& f, uint32_t offset, uint32_t size) {
    PatchLE32(f, SecurityEntryOf(f), offset);
    PatchLE32(f, SecurityEntryOf(f) + 4, size);
  };
  const auto length = [](const std::vector<uint8_t>& f) { return static_cast<uint32_t>(f.size()); };
  const uint32_t tableAt = length(withPadding(0)) - tableSize;
  struct Case {
    std::string what;
    std::vector<uint8_t> file;
    int ok;
  };
  std::vector<Case> cases;
  for (uint32_t zeros = 0; zeros < 8; ++zeros)
    cases.push_back({std::to_string(zeros) + " zeros of padding", withPadding(zeros), 1});
  cases.push_back({"PE32+", Signed(WrapUpdater(PeImage(true), package)), 1});
  cases.push_back({"a table of 8 bytes", Signed(WrapUpdater(exe, package), 8), 1});
  const auto changed = [&](const char* what, uint32_t zeros, int ok,
                           const std::function<void(std::vector<uint8_t>&)>& change) {
    std::vector<uint8_t> file = withPadding(zeros);
    change(file);
    cases.push_back({what, file, ok});
  };
  changed("8 zeros before the table", 0, 0, [&](auto& f) {
    f.insert(f.begin() + tableAt, 8, 0);
    setTable(f, tableAt + 8, tableSize);
  });
  changed("a non-zero byte in the padding's last place", 3, 0,
          [&](auto& f) { f[length(f) - tableSize - 1] = 0x01; });
  changed("a non-zero byte in the padding's first place", 3, 0,
          [&](auto& f) { f[length(f) - tableSize - 3] = 0x01; });
  changed("table offset outside the file", 0, 0,
          [&](auto& f) { setTable(f, length(f) + 8, tableSize); });
  changed("table past the end of the file", 0, 0,
          [&](auto& f) { setTable(f, tableAt, tableSize + 1); });
  changed("table ending before the end of the file", 0, 0,
          [&](auto& f) { setTable(f, tableAt, tableSize - 1); });
  // An unsigned updater whose security entry names bytes that do not end the file is no signed
  // file as signing leaves one: its trailer at the end is not read either.
  const std::pair<uint32_t, uint32_t> strayEntries[] = {{512, 64}, {0, 8}, {0xFFFFFFF0u, 16}};
  for (const auto& entry : strayEntries) {
    std::vector<uint8_t> f = WrapUpdater(exe, package);
    setTable(f, entry.first, entry.second);
    cases.push_back(
        {"unsigned, security entry of " + std::to_string(entry.second) + " bytes not at the end", f,
         0});
  }
  {
    std::vector<uint8_t> f = WrapUpdater(exe, package);
    setTable(f, 512, 0);
    cases.push_back({"unsigned, security entry of 0 bytes: read as unsigned", f, 1});
  }
  changed("table of size 0 at the end", 0, 0, [&](auto& f) { setTable(f, length(f), 0); });
  changed("security entry empty", 0, 0, [&](auto& f) { setTable(f, 0, 0); });
  changed("offset + size wraps to the file's length", 0, 0,
          [&](auto& f) { setTable(f, 0xFFFFFFF8u, length(f) + 8); });
  changed("table overlapping the package", 0, 0,
          [&](auto& f) { setTable(f, 1024 + 40, length(f) - 1024 - 40); });
  changed("table starting at the trailer", 0, 0,
          [&](auto& f) { setTable(f, tableAt - 8, tableSize + 8); });
  changed("table covering the whole file", 0, 0, [&](auto& f) { setTable(f, 0, length(f)); });
  changed("trailer's packageOffset past the package", 0, 0,
          [&](auto& f) { PatchLE32(f, tableAt - 8, tableAt - 31); });
  changed("trailer without PINE", 0, 0, [&](auto& f) { f[tableAt - 1] = 'e'; });
  // Only the signed bytes count: a trailer at the end of a signed file is never read.
  changed("table ending in PINE", 0, 1,
          [&](auto& f) { std::memcpy(&f[length(f) - 4], "PINE", 4); });
  PackageSpec hiddenSpec = SamplePackageSpec();
  hiddenSpec.entries[2].data = SampleData(5000, 9);
  const std::vector<uint8_t> hidden = WritePackage(hiddenSpec);
  for (uint32_t zeros : {0u, 5u}) {
    const std::vector<uint8_t> vendor = withPadding(zeros);
    cases.push_back(
        {"a package hidden in the grown table, after " + std::to_string(zeros) + " zeros",
         GrownTable(vendor, HiddenUpdaterTail(hidden, vendor.size())), 1});
  }
  // The vendor's trailer pointing into the table, at a package the attacker put there.
  changed("packageOffset pointing into the table", 0, 0, [&](auto& f) {
    PatchLE32(f, tableAt - 8, length(f));
    f = GrownTable(f, HiddenUpdaterTail(hidden, length(f)));
  });
  changed("directory running one byte into the table", 0, 0, [&](auto& f) {
    const uint32_t packageAt = ReadLE32(&f[tableAt - 8]);
    const uint32_t directoryAt = packageAt + ReadLE32(&f[packageAt + L::kDirectoryOffsetField]);
    PatchLE32(f, packageAt + L::kDirectoryPackedSizeField, tableAt + 1 - directoryAt);
  });
  // Headers that do not lead to a security entry.
  changed("no MZ", 0, 0, [&](auto& f) { f[0] = 'N'; });
  changed("no PE signature", 0, 0, [&](auto& f) { f[kPeOffset + 2] = 'X'; });
  changed("unknown optional header magic", 0, 0, [&](auto& f) { f[kPeOffset + 24] = 0x07; });
  changed("4 data directories", 0, 0, [&](auto& f) { PatchLE32(f, kPeOffset + 24 + 92, 4); });
  changed("optional header too short for entry 4", 0, 0,
          [&](auto& f) { f[kPeOffset + 20] = 96 + 39; });
  changed("e_lfanew past the end", 0, 0, [&](auto& f) { PatchLE32(f, 0x3C, length(f) - 10); });
  changed("e_lfanew near 4 GiB", 0, 0, [&](auto& f) { PatchLE32(f, 0x3C, 0xFFFFFFF0u); });
  for (const Case& c : cases) {
    LoadedView loaded(c.file, 1);
    EXPECT_EQ(loaded.ok, c.ok) << c.what;
    if (!loaded.ok) continue;
    // The same as the file cut just past its trailer, read as an unsigned updater.
    const std::vector<uint8_t> cut = UnsignedCut(c.file, loaded.view.packageEnd);
    LoadedView unsignedView(cut, 1);
    ASSERT_EQ(unsignedView.ok, 1) << c.what;
    EXPECT_EQ(loaded.view.packageOffset, unsignedView.view.packageOffset) << c.what;
    EXPECT_EQ(std::memcmp(loaded.view.directory, unsignedView.view.directory,
                          loaded.view.header.entryCount * sizeof(DirectoryEntry)),
              0)
        << c.what;
    EXPECT_EQ(Extracted(loaded.view, 2), SampleData(5000, 1)) << c.what;
  }
}

// The package's last byte is the directory's last byte: growing any length by one passes the end.
TEST(LoadPackage, DirectoryExactlyAtTheEnd) {
  for (bool deflated : {false, true}) {
    PackageSpec spec = SamplePackageSpec();
    spec.deflateDirectory = deflated;
    PackageLayout layout;
    std::vector<uint8_t> bytes = WritePackage(spec, &layout);
    ASSERT_EQ(LoadedView(bytes, 0).ok, 1);
    std::vector<uint8_t> shorter(bytes.begin(), bytes.end() - 1);
    EXPECT_EQ(LoadedView(shorter, 0).ok, 0) << "one byte cut, deflated " << deflated;
    // Wrapped without padding, the trailer that follows does not complete the directory.
    std::vector<uint8_t> wrapped = WrapUpdater(ExecutableFor(shorter.size()), shorter);
    EXPECT_EQ(LoadedView(wrapped, 1).ok, 0) << "wrapped, one byte cut, deflated " << deflated;
    if (deflated) {
      std::vector<uint8_t> longer = bytes;
      PatchLE32(longer, L::kDirectoryPackedSizeField, layout.directoryLength + 1);
      EXPECT_EQ(LoadedView(longer, 0).ok, 0) << "packed size one too many";
      longer.push_back(0);
      // With the byte present the stream still ends where it did: inflate stops at its end.
      EXPECT_EQ(LoadedView(longer, 0).ok, 1) << "packed size includes a trailing byte";
    }
  }
}

TEST(LoadPackage, DamagedDirectoryStream) {
  PackageLayout layout;
  const std::vector<uint8_t> good = WritePackage(SamplePackageSpec(), &layout);
  const uint32_t start = layout.directoryOffset;
  const uint32_t end = start + layout.directoryLength;
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    PackageRefusal refusal = kRefusedDirectoryDamaged;
  };
  const Case cases[] = {
      {"Adler-32", [&](auto& b) { b[end - 1] ^= 1; }},
      {"header byte", [&](auto& b) { b[start] = 0x00; }},
      // Headers whose check bits hold, each with one thing a reader must refuse.
      {"header: a preset dictionary", [&](auto& b) { b[start] = 0x78, b[start + 1] = 0x20; }},
      {"header: a window of 64 KB", [&](auto& b) { b[start] = 0x88, b[start + 1] = 0x1C; }},
      {"header: method 7", [&](auto& b) { b[start] = 0x77, b[start + 1] = 0x09; }},
      {"header: check bits", [&](auto& b) { b[start + 1] ^= 1; }},
      {"stream cut inside the Adler-32",
       [&](auto& b) { PatchLE32(b, L::kDirectoryPackedSizeField, end - start - 2); }},
      {"stream cut short",
       [&](auto& b) { PatchLE32(b, L::kDirectoryPackedSizeField, end - start - 5); }},
      {"inflates to one record less",
       [&](auto& b) { PatchLE32(b, L::kEntryCountField, ReadLE32(&b[L::kEntryCountField]) - 1); }},
      {"packed size 0", [&](auto& b) { PatchLE32(b, L::kDirectoryPackedSizeField, 0); },
       kRefusedDirectoryRatio},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = good;
    c.damage(bytes);
    const LoadedView loaded(bytes, 0);
    EXPECT_EQ(loaded.ok, 0) << c.what;
    EXPECT_EQ(loaded.view.refusal, c.refusal) << c.what;
  }
}

TEST(LoadPackage, EntryBounds) {
  struct Case {
    const char* what;
    size_t entry;  // 2: deflated app.exe, 3: stored lib.dll
    std::function<void(Patchable&)> change;
    PackageRefusal refusal;  // of entry, when not kRefusedNone
    // Wrapped (without padding), the bound is the end of the file: the 8 trailer bytes lie
    // inside it, so a stream or stored data that runs one byte into them reads nothing outside
    // the file. Signed, the bound is the same: the end of the trailer, never the padding or the
    // certificate table after it.
    int wrappedOk = -1;  // -1: as the bare package
  };
  const Case cases[] = {
      {"deflated: packedSize to the end", 2,
       [](Patchable& p) {
         p.SetField(2, L::kPackedSizeField,
                    static_cast<uint32_t>(p.bytes.size()) - p.Field(2, L::kDataOffsetField));
       },
       kRefusedNone},
      {"deflated: packedSize one past the end", 2,
       [](Patchable& p) {
         p.SetField(2, L::kPackedSizeField,
                    static_cast<uint32_t>(p.bytes.size()) - p.Field(2, L::kDataOffsetField) + 1);
       },
       kRefusedEntryBounds, 1},
      {"deflated: packedSize one past the end of the file", 2,
       [](Patchable& p) {
         p.SetField(2, L::kPackedSizeField,
                    static_cast<uint32_t>(p.bytes.size()) - p.Field(2, L::kDataOffsetField) + 9);
       },
       kRefusedEntryBounds},
      {"deflated: offset + packedSize wraps", 2,
       [](Patchable& p) { p.SetField(2, L::kPackedSizeField, 0xFFFFFFFF); }, kRefusedEntryBounds},
      {"deflated: dataOffset past the end", 2,
       [](Patchable& p) { p.SetField(2, L::kDataOffsetField, 0xFFFFFF00); }, kRefusedEntryBounds},
      {"deflated: size beyond what the stream can hold", 2,
       [](Patchable& p) { p.SetField(2, L::kSizeField, 0xFFFFFFFF); }, kRefusedInflateRatio},
      {"stored: size exactly to the end", 3,
       [](Patchable& p) {
         p.SetField(3, L::kSizeField,
                    static_cast<uint32_t>(p.bytes.size()) - p.Field(3, L::kDataOffsetField));
       },
       kRefusedNone},
      {"stored: size one past the end", 3,
       [](Patchable& p) {
         p.SetField(3, L::kSizeField,
                    static_cast<uint32_t>(p.bytes.size()) - p.Field(3, L::kDataOffsetField) + 1);
       },
       kRefusedEntryBounds, 1},
      {"stored: size one past the end of the file", 3,
       [](Patchable& p) {
         p.SetField(3, L::kSizeField,
                    static_cast<uint32_t>(p.bytes.size()) - p.Field(3, L::kDataOffsetField) + 9);
       },
       kRefusedEntryBounds},
      {"stored: offset + size wraps", 3,
       [](Patchable& p) { p.SetField(3, L::kDataOffsetField, 0xFFFFFFF0); }, kRefusedEntryBounds},
      {"stored: packedSize ignored (0)", 3,
       [](Patchable& p) { p.SetField(3, L::kPackedSizeField, 0); }, kRefusedNone},
      {"stored: packedSize ignored (huge)", 3,
       [](Patchable& p) { p.SetField(3, L::kPackedSizeField, 0xFFFFFFFF); }, kRefusedNone},
      {"stored: bit 20 alone means stored", 3,
       [](Patchable& p) { p.SetField(3, L::kFlagsField, 0x100000); }, kRefusedNone},
      {"name without NUL in its 32 bytes", 2,
       [](Patchable& p) { std::memset(&p.bytes[p.layout.RecordOffset(2)], 'a', kEntryNameSize); },
       kRefusedEntryName},
      {"name of 31 characters", 2,
       [](Patchable& p) {
         std::memset(&p.bytes[p.layout.RecordOffset(2)], 'a', kEntryNameSize - 1);
       },
       kRefusedNone},
  };
  for (const Case& c : cases) {
    Patchable p;
    c.change(p);
    LoadedView loaded(p.bytes, 0);
    const int ok = c.refusal == kRefusedNone;
    EXPECT_EQ(loaded.ok, ok) << c.what;
    EXPECT_EQ(loaded.view.refusal, c.refusal) << c.what;
    EXPECT_EQ(loaded.view.refusedEntry, ok ? -1 : static_cast<int>(c.entry)) << c.what;
    const std::vector<uint8_t> wrapped = WrapUpdater(ExecutableFor(p.bytes.size()), p.bytes);
    const int wrappedOk = c.wrappedOk < 0 ? ok : c.wrappedOk;
    EXPECT_EQ(LoadedView(wrapped, 1).ok, wrappedOk) << c.what << " (wrapped)";
    EXPECT_EQ(LoadedView(Signed(wrapped), 1).ok, wrappedOk) << c.what << " (wrapped and signed)";
    if (loaded.ok && c.entry == 3) {
      int ok = 0;
      const std::vector<uint8_t> data = Extracted(loaded.view, 3, &ok);
      EXPECT_EQ(ok, 1) << c.what;
      EXPECT_TRUE(std::equal(data.begin(), data.end(),
                             p.bytes.begin() + loaded.view.directory[3].dataOffset))
          << c.what;
    }
  }
}

TEST(LoadPackage, UnsafeFileEntryNames) {
  struct Case {
    const char* name;
    int ok;
  };
  const Case cases[] = {
      {"..\\evil.exe", 0},
      {"../evil.exe", 0},
      {"a\\..\\..\\b", 0},
      {"a/../b", 0},
      {"a\\..", 0},
      {"C:evil.exe", 0},
      {"file.txt:ads", 0},
      {"\\lead.txt", 1},
      {"..a\\b..", 1},
      {"a\\.\\b", 1},
      {"...", 0},
      {"a\\...\\b", 0},
      {"", 0},
      {"\\", 0},
      {"dir\\", 0},
      {"CON", 0},
      {"nul.txt", 0},
      {"Com1.dll", 0},
      {"lpt9 .x", 0},
      {"aux\\x.dll", 0},
      {"COM0.dll", 1},
      {"icon.ico", 1},
  };
  for (const Case& c : cases) {
    PackageSpec spec = SamplePackageSpec();
    spec.entries.push_back({c.name, Bytes("x"), true});
    const std::vector<uint8_t> bytes = WritePackage(spec);
    const LoadedView loaded(bytes, 0);
    EXPECT_EQ(loaded.ok, c.ok) << c.name;
    EXPECT_EQ(loaded.view.refusal, c.ok ? kRefusedNone : kRefusedNotAFileName) << c.name;
    EXPECT_EQ(loaded.view.refusedEntry, c.ok ? -1 : 5) << c.name;
  }
}

TEST(LoadPackage, ControlSectionLayouts) {
  const auto raw = [](const char* s, size_t n) { return std::vector<uint8_t>(s, s + n); };
  struct Case {
    const char* section;
    std::vector<uint8_t> payload;
    PackageRefusal refusal;
  };
  const std::vector<uint8_t> keys = RegistryKeysPayload("K", "F", "N", "P", 7);
  const Case cases[] = {
      {":StartupMsg", raw("C\0T\0", 4), kRefusedNone},
      {":StartupMsg", raw("C\0T", 3), kRefusedStartupMsg},
      {":StartupMsg", raw("C\0", 2), kRefusedStartupMsg},
      {":StartupMsg", raw("CT", 2), kRefusedStartupMsg},
      {":StartupMsg", {}, kRefusedStartupMsg},
      {":startupmsg", raw("C\0T", 3), kRefusedStartupMsg},  // found under any ASCII letter case
      {":RegistryKeys", std::vector<uint8_t>(keys.begin(), keys.end() - 1),
       kRefusedNone},  // no trailing NUL
      {":RegistryKeys", std::vector<uint8_t>(keys.begin(), keys.end() - 2),
       kRefusedRegistryKeys},  // level cut
      {":RegistryKeys", raw("K\0F\0N\0P\0", 8), kRefusedRegistryKeys},
      {":RegistryKeys", raw("K\0F\0N\0P", 7), kRefusedRegistryKeys},
      {":RegistryKeys", {}, kRefusedRegistryKeys},
      {":XlatNamesTable", raw("a\0b\0\0", 5), kRefusedNone},
      {":XlatNamesTable", raw("\0", 1), kRefusedNone},
      {":XlatNamesTable", raw("a\0b\0", 4), kRefusedXlatTable},  // no closing empty string
      {":XlatNamesTable", raw("a\0\0", 3), kRefusedXlatTable},
      {":XlatNamesTable", raw("a\0\0\0", 4), kRefusedXlatTable},  // an empty name on disk
      {":XlatNamesTable", raw("a\0", 2), kRefusedXlatTable},      // pair without its second string
      {":XlatNamesTable", raw("a\0..\\x\0\0", 8), kRefusedXlatTable},
      {":XlatNamesTable", raw("a\0d:\\x\0\0", 8), kRefusedXlatTable},
      {":XlatNamesTable", {}, kRefusedXlatTable},
      {":Folders", raw("a\0b\\c\0\0", 7), kRefusedNone},
      {":Folders", raw("\0", 1), kRefusedNone},
      {":Folders", raw("a\0", 2), kRefusedFolders},
      {":Folders", raw("a", 1), kRefusedFolders},
      {":Folders", raw("..\0\0", 4), kRefusedFolders},
      {":Folders", raw("a/../..\0\0", 9), kRefusedFolders},
      {":Folders", raw("\\lead\0\0", 7), kRefusedNone},
      {":Folders", {}, kRefusedFolders},
      {":FilesToRemove", raw("x.dll\0\0", 7), kRefusedNone},
      {":FilesToRemove", raw("x.dll\0", 6), kRefusedFilesToRemove},
      {":FilesToRemove", raw("C:\\x.dll\0\0", 10), kRefusedFilesToRemove},
      {":FilesToRemove", {}, kRefusedFilesToRemove},
      {":Unknown", {}, kRefusedNone},  // carried along, never read
  };
  for (const Case& c : cases) {
    for (bool deflate : {false, true}) {
      PackageSpec spec = SamplePackageSpec();
      spec.entries.insert(spec.entries.begin(), {c.section, c.payload, deflate});
      const std::vector<uint8_t> bytes = WritePackage(spec);
      const LoadedView loaded(bytes, 0);
      EXPECT_EQ(loaded.ok, c.refusal == kRefusedNone) << c.section << " " << c.payload.size();
      EXPECT_EQ(loaded.view.refusal, c.refusal) << c.section << " " << c.payload.size();
      EXPECT_EQ(loaded.view.refusedEntry, c.refusal == kRefusedNone ? -1 : 0) << c.section;
    }
  }
}

// Only the first of two same-named sections counts; a bad second one is never read.
TEST(LoadPackage, OnlyFirstSectionOfANameIsChecked) {
  PackageSpec spec = SamplePackageSpec();
  spec.entries.push_back({":FOLDERS", NameListPayload({"ok"}), true});
  spec.entries.push_back({":Folders", Bytes("no end"), false});
  EXPECT_EQ(LoadedView(WritePackage(spec), 0).ok, 1);
  std::swap(spec.entries[spec.entries.size() - 1], spec.entries[spec.entries.size() - 2]);
  const std::vector<uint8_t> bytes = WritePackage(spec);
  const LoadedView loaded(bytes, 0);
  EXPECT_EQ(loaded.ok, 0);
  EXPECT_EQ(loaded.view.refusal, kRefusedFolders);
  EXPECT_EQ(loaded.view.refusedEntry, 5);
}

TEST(LoadPackage, DamagedSectionStreamRejects) {
  PackageLayout layout;
  std::vector<uint8_t> bytes = WritePackage(SamplePackageSpec(), &layout);
  bytes[layout.dataOffsets[1] + layout.dataLengths[1] - 1] ^= 0x80;  // :RegistryKeys Adler-32
  const LoadedView loaded(bytes, 0);
  EXPECT_EQ(loaded.ok, 0);
  EXPECT_EQ(loaded.view.refusal, kRefusedSectionDamaged);
  EXPECT_EQ(loaded.view.refusedEntry, 1);
}

TEST(FindEntry, FoldsAsciiOnlyAndTakesTheFirst) {
  PackageSpec spec = SamplePackageSpec();
  spec.entries.push_back({":FoldersX", NameListPayload({"x"}), true});
  spec.entries.push_back({"\xC0\xE1.txt", Bytes("cyr"), true});  // Cyrillic A, b
  spec.entries.push_back({"APP.EXE", Bytes("second"), true});
  const std::vector<uint8_t> bytes = WritePackage(spec);
  LoadedView loaded(bytes, 0);
  ASSERT_EQ(loaded.ok, 1);
  const PackageView& view = loaded.view;
  struct Case {
    const char* key;
    int index;
  };
  const Case cases[] = {
      {":startupmsg", 0},
      {":STARTUPMSG", 0},
      {":StartupMsg", 0},
      {":REGISTRYKEYS", 1},
      {"app.exe", 2},
      {"App.Exe", 2},
      {":Folders", -1},
      {":FoldersX", 5},
      {":Folder", -1},
      {"app.ex", -1},
      {"app.exe ", -1},
      {"\xC0\xE1.txt", 6},
      {"\xE0\xE1.txt", -1},  // Windows-1251 letters are not folded
      {"", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(FindEntry(view, c.key), c.index) << c.key;
}

TEST(ExtractEntry, ReportsDamagedStreams) {
  struct Case {
    const char* what;
    std::function<void(Patchable&)> change;
  };
  const Case cases[] = {
      {"wrong Adler-32",
       [](Patchable& p) { p.bytes[p.layout.dataOffsets[2] + p.layout.dataLengths[2] - 1] ^= 1; }},
      {"damaged deflate data",
       [](Patchable& p) {
         for (uint32_t i = 2; i < 40; ++i) p.bytes[p.layout.dataOffsets[2] + i] = 0xFF;
       }},
      {"size one short of the stream",
       [](Patchable& p) { p.SetField(2, L::kSizeField, p.Field(2, L::kSizeField) - 1); }},
      {"size one past the stream",
       [](Patchable& p) { p.SetField(2, L::kSizeField, p.Field(2, L::kSizeField) + 1); }},
      {"stream cut short",
       [](Patchable& p) {
         p.SetField(2, L::kPackedSizeField, p.Field(2, L::kPackedSizeField) - 4);
       }},
  };
  for (const Case& c : cases) {
    Patchable p;
    c.change(p);
    LoadedView loaded(p.bytes, 0);  // file entries are not inflated at open
    ASSERT_EQ(loaded.ok, 1) << c.what;
    int ok = 1;
    Extracted(loaded.view, 2, &ok);
    EXPECT_EQ(ok, 0) << c.what;
    EXPECT_EQ(ExtractToBuffer(loaded.view, 2), nullptr) << c.what;
  }
}

TEST(ExtractEntry, FlagsAndEmptyEntries) {
  struct Case {
    uint32_t flags;  // written over a stored or deflated entry's flags
    bool deflate;
    int ok;
  };
  const Case cases[] = {
      {0x110000, true, 1},  {0x010000, true, 1}, {0xFFFFFFFF, true, 1},
      {0x100000, false, 1}, {0, false, 1},       {0xFFFEFFFF, false, 1},
  };
  for (const Case& c : cases) {
    PackageSpec spec = SamplePackageSpec();
    spec.deflateDirectory = false;
    spec.entries.push_back({"x.bin", SampleData(4000, 5), c.deflate});
    PackageLayout layout;
    std::vector<uint8_t> bytes = WritePackage(spec, &layout);
    const size_t i = spec.entries.size() - 1;
    PatchLE32(bytes, layout.RecordOffset(i) + L::kFlagsField, c.flags);
    LoadedView loaded(bytes, 0);
    ASSERT_EQ(loaded.ok, 1) << std::hex << c.flags;
    int ok = 0;
    EXPECT_EQ(Extracted(loaded.view, static_cast<int>(i), &ok), spec.entries[i].data)
        << std::hex << c.flags;
    EXPECT_EQ(ok, c.ok);
  }
  // Empty entries, stored and deflated, extract to nothing and succeed.
  PackageSpec spec;
  spec.entries.push_back({"empty.stored", {}, false});
  spec.entries.push_back({"empty.deflated", {}, true});
  const std::vector<uint8_t> bytes = WritePackage(spec);
  LoadedView loaded(bytes, 0);
  ASSERT_EQ(loaded.ok, 1);
  for (int i = 0; i < 2; ++i) {
    unsigned char* buffer = ExtractToBuffer(loaded.view, i);
    EXPECT_NE(buffer, nullptr) << i;
    std::free(buffer);
  }
}

// Entries of several chunks, streamed through a source that records what is read and can fail,
// into a sink that records the pieces and can stop.
struct Recorder {
  const std::vector<uint8_t>* bytes;
  uint32_t failFrom = UINT32_MAX;  // reads at or past this offset fail
  uint64_t readEnd = 0;            // the end of the furthest read asked for
  size_t stopAfter = SIZE_MAX;     // pieces the sink takes before it refuses
  std::vector<uint32_t> pieces;
  std::vector<uint8_t> out;
  static int Read(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
    auto* r = static_cast<Recorder*>(context);
    r->readEnd = std::max<uint64_t>(r->readEnd, uint64_t{offset} + count);
    if (offset >= r->failFrom || uint64_t{offset} + count > r->bytes->size()) return 0;
    std::memcpy(buffer, r->bytes->data() + offset, count);
    return 1;
  }
  static int Write(void* context, const unsigned char* data, uint32_t count) {
    auto* r = static_cast<Recorder*>(context);
    if (r->pieces.size() == r->stopAfter) return 0;
    r->pieces.push_back(count);
    r->out.insert(r->out.end(), data, data + count);
    return 1;
  }
};

TEST(StreamEntry, ChunkBoundaries) {
  constexpr uint32_t kChunk = kExtractChunk;
  // Deflated at level 0 (stored blocks), a stream is longer than its contents: every stream
  // below spans two input chunks or more.
  struct Case {
    const char* what;
    size_t contents;  // bytes of the data written
    bool deflate;
    std::function<void(Patchable&, Recorder&)> change;
    bool ok;
  };
  const auto setSize = [](int64_t delta) {
    return [delta](Patchable& p, Recorder&) {
      p.SetField(5, L::kSizeField, static_cast<uint32_t>(p.Field(5, L::kSizeField) + delta));
    };
  };
  const auto none = [](Patchable&, Recorder&) {};
  const Case cases[] = {
      {"stored, three chunks and a bit", 3 * kChunk + 5, false, none, true},
      {"deflated, three chunks and a bit", 3 * kChunk + 5, true, none, true},
      {"deflated, exactly two chunks", 2 * kChunk, true, none, true},
      {"deflated, size one short: the extra byte comes after the last chunk", 2 * kChunk + 1, true,
       setSize(-1), false},
      {"deflated, size one past the stream", 2 * kChunk, true, setSize(1), false},
      {"deflated, a byte damaged in the second input chunk", 3 * kChunk, true,
       [](Patchable& p, Recorder&) { p.bytes[p.layout.dataOffsets[5] + kChunk + 100] ^= 0x55; },
       false},
      {"deflated, stream cut short in its second input chunk", 3 * kChunk, true,
       [](Patchable& p, Recorder&) { p.SetField(5, L::kPackedSizeField, kChunk + 1000); }, false},
      {"stored, the source fails at the second chunk", 3 * kChunk, false,
       [](Patchable& p, Recorder& r) { r.failFrom = p.layout.dataOffsets[5] + kChunk; }, false},
      {"deflated, the source fails at the second chunk", 3 * kChunk, true,
       [](Patchable& p, Recorder& r) { r.failFrom = p.layout.dataOffsets[5] + kChunk; }, false},
      {"deflated, the sink stops after one piece", 3 * kChunk, true,
       [](Patchable&, Recorder& r) { r.stopAfter = 1; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Patchable p;
    p.spec.entries.push_back({"big.bin", SampleData(c.contents, 9), c.deflate, 0});
    p.bytes = WritePackage(p.spec, &p.layout);
    Recorder r;
    r.bytes = &p.bytes;
    c.change(p, r);
    PackageView view;
    InitPackageView(view);
    SetMemorySource(view, p.bytes.data(), static_cast<uint32_t>(p.bytes.size()));
    ASSERT_EQ(LoadPackage(view, 0), 1);
    view.source.read = Recorder::Read;
    view.source.context = &r;
    EXPECT_EQ(StreamEntry(view, 5, ByteSink{Recorder::Write, &r}), c.ok ? 1 : 0);
    // Never a read outside the entry's stored bytes, never a piece larger than a chunk, never
    // more than the entry's size.
    const uint32_t stored = c.deflate ? p.Field(5, L::kPackedSizeField) : p.Field(5, L::kSizeField);
    EXPECT_LE(r.readEnd, p.layout.dataOffsets[5] + stored);
    for (uint32_t piece : r.pieces) EXPECT_LE(piece, kChunk);
    EXPECT_LE(r.out.size(), p.Field(5, L::kSizeField)) << "never more than the entry's size";
    if (c.ok) {
      EXPECT_EQ(r.out, p.spec.entries[5].data);
    }
    if (r.stopAfter != SIZE_MAX) {
      EXPECT_EQ(r.pieces.size(), r.stopAfter) << "nothing written after the sink refused";
    }
    UnloadPackage(view);
  }
}

}  // namespace
