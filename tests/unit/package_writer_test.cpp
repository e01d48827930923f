#include "package_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/format.h"
#include "package/package.h"
#include "package/sections.h"
#include "package_test_util.h"

namespace {

std::vector<uint8_t> Extract(const PackageView& view, int index) {
  std::vector<uint8_t> out(view.directory[index].size);
  EXPECT_EQ(ExtractEntry(view, index, out.data()), 1) << "entry " << index;
  return out;
}

class WriterRoundTrip : public ::testing::TestWithParam<bool> {};

TEST_P(WriterRoundTrip, ReaderSeesWhatWasWritten) {
  PackageSpec spec = SamplePackageSpec();
  spec.deflateDirectory = GetParam();
  PackageLayout layout;
  const std::vector<uint8_t> bytes = WritePackage(spec, &layout);
  LoadedView loaded(bytes, 0);
  ASSERT_EQ(loaded.ok, 1);
  const PackageView& view = loaded.view;
  ASSERT_EQ(view.header.entryCount, spec.entries.size());
  EXPECT_EQ(view.header.directoryMethod, GetParam() ? kDirectoryDeflated : kDirectoryStored);
  EXPECT_EQ(view.header.directoryOffset, layout.directoryOffset);
  // The directory ends the package, and the streams follow each other without gaps.
  EXPECT_EQ(layout.directoryOffset + layout.directoryLength, bytes.size());
  uint32_t expectedOffset = kHeaderSize;
  for (size_t i = 0; i < spec.entries.size(); ++i) {
    const DirectoryEntry& e = view.directory[i];
    EXPECT_STREQ(e.name, spec.entries[i].name.c_str());
    EXPECT_EQ(e.dataOffset, expectedOffset);
    EXPECT_EQ(e.dataOffset, layout.dataOffsets[i]);
    EXPECT_EQ(e.flags, spec.entries[i].deflate ? 0x110000u : 0x100000u);
    EXPECT_EQ(Extract(view, static_cast<int>(i)), spec.entries[i].data);
    expectedOffset += layout.dataLengths[i];
    if (spec.entries[i].deflate) {
      // Level 9 streams begin 0x78 0xDA, as vendors' packages do.
      EXPECT_EQ(bytes[e.dataOffset], 0x78);
      EXPECT_EQ(bytes[e.dataOffset + 1], 0xDA);
    }
  }
  EXPECT_EQ(expectedOffset, layout.directoryOffset);
}

INSTANTIATE_TEST_SUITE_P(DirectoryStoredOrDeflated, WriterRoundTrip, ::testing::Bool());

TEST(WriterPayloads, LayoutsAsVendorsWriteThem) {
  const std::vector<uint8_t> keys = RegistryKeysPayload("K", "F", "N", "P", -2);
  const std::vector<uint8_t> expectedKeys = {'K', 0,    'F',  0,    'N',  0, 'P',
                                             0,   0xFE, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_EQ(keys, expectedKeys);
  RegistryKeys parsed;
  ASSERT_EQ(ParseRegistryKeys(keys.data(), static_cast<uint32_t>(keys.size()), parsed), 1);
  EXPECT_EQ(parsed.patchLevel, -2);

  EXPECT_EQ(StartupMsgPayload("C", "T"), (std::vector<uint8_t>{'C', 0, 'T', 0, 0}));
  EXPECT_EQ(NameListPayload({"a", "b\\c"}), (std::vector<uint8_t>{'a', 0, 'b', '\\', 'c', 0, 0}));
  EXPECT_EQ(NameListPayload({}), (std::vector<uint8_t>{0}));
  EXPECT_EQ(XlatTablePayload({{"x", "yy"}}), (std::vector<uint8_t>{'x', 0, 'y', 'y', 0, 0}));
}

TEST(WriterRefuses, WhatTheFormatCannotHold) {
  PackageSpec spec;
  spec.entries.push_back({std::string(32, 'a'), {}, false});
  EXPECT_THROW(WritePackage(spec), PackageWriteError);
  spec.entries[0].name = std::string(31, 'a');
  EXPECT_NO_THROW(WritePackage(spec));
  EXPECT_THROW(NameListPayload({"a", ""}), PackageWriteError);
  EXPECT_THROW(XlatTablePayload({{"", "b"}}), PackageWriteError);
  EXPECT_THROW(StartupMsgPayload(std::string("a\0b", 3), "t"), PackageWriteError);
  EXPECT_THROW(WrapUpdater({1, 2}, {}), PackageWriteError);
}

TEST(WrapUpdater, ExecutablePackageTrailer) {
  const std::vector<uint8_t> exe = SampleData(777, 9);
  const std::vector<uint8_t> package = WritePackage(SamplePackageSpec());
  const std::vector<uint8_t> updater = WrapUpdater(exe, package);
  // Zeros after the package up to a multiple of 8, then the trailer.
  ASSERT_EQ(updater.size(), (exe.size() + package.size() + 8 + 7) / 8 * 8);
  EXPECT_TRUE(std::equal(exe.begin(), exe.end(), updater.begin()));
  EXPECT_TRUE(std::equal(package.begin(), package.end(), updater.begin() + exe.size()));
  EXPECT_EQ(ReadLE32(updater.data() + updater.size() - 8), exe.size());
  EXPECT_EQ(std::memcmp(updater.data() + updater.size() - 4, "PINE", 4), 0);

  LoadedView loaded(updater, 1);
  ASSERT_EQ(loaded.ok, 1);
  EXPECT_EQ(loaded.view.packageOffset, exe.size());
  // An updater wrapped again reads only the package appended last.
  PackageSpec second;
  second.entries.push_back({"only.txt", Bytes("second"), true});
  const std::vector<uint8_t> twice = WrapUpdater(updater, WritePackage(second));
  LoadedView again(twice, 1);
  ASSERT_EQ(again.ok, 1);
  EXPECT_EQ(again.view.header.entryCount, 1u);
  EXPECT_EQ(again.view.packageOffset, updater.size());
  // Named as a bare package, an updater fails the signature.
  LoadedView bare(updater, 0);
  EXPECT_EQ(bare.ok, 0);
}

}  // namespace
