// The package reader and the updater builder, through the real updater under Wine: which
// containers open, which are refused (with the usage text, nothing touched), and what
// "MAKEEXE" writes.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "package_writer.h"
#include "shell/texts.h"

namespace {

constexpr DWORD kTimeoutMs = 20000;

// Runs exe with commandLine; message boxes are answered with Cancel.
UserOutcome RunAndObserve(const std::string& exe, const std::string& commandLine,
                          DWORD closeGraceMs = 100) {
  return PlayUser(exe, commandLine, {}, closeGraceMs, kTimeoutMs);
}

std::string FirstBoxCaption(const UserOutcome& outcome) {
  return outcome.boxes.empty() ? std::string() : outcome.boxes[0].caption;
}

void ExpectUsage(const UserOutcome& outcome) {
  EXPECT_TRUE(outcome.boxes.empty()) << FirstBoxCaption(outcome);
  EXPECT_TRUE(outcome.waited);
  EXPECT_EQ(outcome.status, texts::kUsageText);
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0u);
}

// A package that asks its startup question with the given caption, for an installed program
// that does not exist: it opens, asks, and is declined.
std::vector<uint8_t> AskingPackage(const std::string& caption, const RegistryFixture& registry) {
  PackageSpec spec;
  spec.entries.push_back({":StartupMsg", StartupMsgPayload(caption, "Apply?")});
  spec.entries.push_back({":RegistryKeys", RegistryKeysPayload(registry.keyPath(), "ProgramPath",
                                                               "ProgramName", "PatchLevel", 2)});
  spec.entries.push_back({"app.exe", Bytes("new app")});
  return WritePackage(spec);
}

// An installed program for AskingPackage and the refused packages below.
struct InstalledProgram {
  TempFolder folder{"pkg-target"};
  RegistryFixture registry;
  explicit InstalledProgram(const std::string& name) : registry(name) {
    WriteFileText(folder / "app.exe", "old app");
    registry.SetString("ProgramPath", folder.path());
    registry.SetString("ProgramName", "app.exe");
    registry.SetDword("PatchLevel", 1);
  }
};

TEST(PackageContainers, BarePackageAndSelfContainedUpdaterOpen) {
  InstalledProgram program("pkg-open");
  TempFolder work("pkg-open");
  ASSERT_TRUE(WriteFileBytes(work / "bare.pkg", AskingPackage("bare", program.registry)));
  ASSERT_TRUE(
      WriteFileBytes(work / "updater.exe",
                     WrapUpdater(RlPatchBytes(), AskingPackage("wrapped", program.registry))));

  const UserOutcome bare =
      RunAndObserve(RlPatchPath(), Quote(RlPatchPath()) + " " + Quote(work / "bare.pkg"));
  EXPECT_EQ(FirstBoxCaption(bare), "bare");
  EXPECT_TRUE(bare.exited);

  const UserOutcome wrapped = RunAndObserve(work / "updater.exe", Quote(work / "updater.exe"));
  EXPECT_EQ(FirstBoxCaption(wrapped), "wrapped");
  EXPECT_TRUE(wrapped.exited);
  // Typed without its extension in a console, or found through the search path: token 0 names
  // no file, and the updater still reads its own.
  for (const char* typed : {"updater", "UPDATE", "\"no such folder\\updater\""}) {
    const UserOutcome asTyped = RunAndObserve(work / "updater.exe", typed);
    EXPECT_EQ(FirstBoxCaption(asTyped), "wrapped") << typed;
    EXPECT_TRUE(asTyped.exited) << typed;
  }
  EXPECT_EQ(ReadFileOrEmpty(program.folder / "app.exe"), Bytes("old app"));
}

TEST(PackageContainers, WhatIsNotAPackageShowsTheUsageText) {
  InstalledProgram program("pkg-notpkg");
  TempFolder work("pkg-notpkg");
  ASSERT_TRUE(
      WriteFileBytes(work / "updater.exe",
                     WrapUpdater(RlPatchBytes(), AskingPackage("wrapped", program.registry))));
  ASSERT_TRUE(WriteFileBytes(work / "empty.pkg", {}));
  const std::string rl = Quote(RlPatchPath());
  const struct {
    const char* what;
    std::string commandLine;
  } cases[] = {
      // The updater's own first bytes are the executable's, not a package header.
      {"updater named as token 1", rl + " " + Quote(work / "updater.exe")},
      {"missing file", rl + " " + Quote(work / "missing.pkg")},
      {"empty file", rl + " " + Quote(work / "empty.pkg")},
      {"plain executable without a trailer", rl},
      {"token 2 ignored, token 1 missing", rl + " " + Quote(work / "missing.pkg") + " x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectUsage(RunAndObserve(RlPatchPath(), c.commandLine));
  }
  EXPECT_EQ(ReadFileOrEmpty(program.folder / "app.exe"), Bytes("old app"));
}

// A package that would change the installed program at once (no question: its level is above
// the installed one) if it were accepted.
struct RefusalCase {
  const char* what;
  bool selfContained;
  std::function<std::vector<uint8_t>(const std::string& keyPath)> make;
};

PackageSpec EagerSpec(const std::string& keyPath) {
  PackageSpec spec;
  spec.deflateDirectory = false;  // records can be patched in place
  spec.entries.push_back({":RegistryKeys", RegistryKeysPayload(keyPath, "ProgramPath",
                                                               "ProgramName", "PatchLevel", 7)});
  spec.entries.push_back({":Folders", NameListPayload({"newdir"})});
  spec.entries.push_back({"app.exe", Bytes("new app, deflated")});
  spec.entries.push_back({"readme.txt", Bytes("stored"), false});
  return spec;
}

std::vector<uint8_t> Eager(const std::string& keyPath) { return WritePackage(EagerSpec(keyPath)); }

// The eager package with one field of one record or of the header replaced.
std::function<std::vector<uint8_t>(const std::string&)> PatchedRecord(size_t entry, uint32_t field,
                                                                      uint32_t value) {
  return [=](const std::string& keyPath) {
    PackageLayout layout;
    std::vector<uint8_t> bytes = WritePackage(EagerSpec(keyPath), &layout);
    PatchLE32(bytes, layout.RecordOffset(entry) + field, value);
    return bytes;
  };
}

std::function<std::vector<uint8_t>(const std::string&)> PatchedHeader(uint32_t field,
                                                                      uint32_t value) {
  return [=](const std::string& keyPath) {
    std::vector<uint8_t> bytes = Eager(keyPath);
    PatchLE32(bytes, field, value);
    return bytes;
  };
}

// The eager package with its section replaced by a payload of the given bytes.
std::function<std::vector<uint8_t>(const std::string&)> WithSection(const std::string& name,
                                                                    const std::string& payload) {
  return [=](const std::string& keyPath) {
    PackageSpec spec = EagerSpec(keyPath);
    spec.entries.push_back({name, Bytes(payload)});
    // A defined section is looked up by its first record: put this one first.
    std::rotate(spec.entries.rbegin(), spec.entries.rbegin() + 1, spec.entries.rend());
    return WritePackage(spec);
  };
}

std::function<std::vector<uint8_t>(const std::string&)> WithFileNamed(const std::string& name) {
  return [=](const std::string& keyPath) {
    PackageSpec spec = EagerSpec(keyPath);
    spec.entries.push_back({name, Bytes("escape")});
    return WritePackage(spec);
  };
}

std::vector<uint8_t> SelfContained(const std::vector<uint8_t>& package, uint32_t offsetDelta) {
  std::vector<uint8_t> bytes = WrapUpdater(Bytes("MZ not really an executable"), package);
  const size_t at = bytes.size() - 8;
  uint32_t offset;
  memcpy(&offset, &bytes[at], 4);
  PatchLE32(bytes, at, offset + offsetDelta);
  return bytes;
}

TEST(PackageContainers, DamagedPackagesAreRefusedAndNothingIsTouched) {
  using L = PackageLayout;
  const std::string dd = std::string(1, '\0');
  const RefusalCase cases[] = {
      {"signature differs in letter case", false,
       [](const std::string& k) {
         auto b = Eager(k);
         b[0] = 'p';
         return b;
       }},
      {"entryCount 0", false, PatchedHeader(L::kEntryCountField, 0)},
      {"directoryOffset 0", false, PatchedHeader(L::kDirectoryOffsetField, 0)},
      {"directoryMethod 1", false, PatchedHeader(L::kDirectoryMethodField, 1)},
      {"directoryMethod 5", false, PatchedHeader(L::kDirectoryMethodField, 5)},
      {"entryCount x 48 overflows 32 bits", false, PatchedHeader(L::kEntryCountField, 0x05555556)},
      {"directory one record past the end", false, PatchedHeader(L::kEntryCountField, 5)},
      {"deflated directory stream damaged", false,
       [](const std::string& k) {
         PackageSpec spec = EagerSpec(k);
         spec.deflateDirectory = true;
         PackageLayout layout;
         auto b = WritePackage(spec, &layout);
         b[layout.directoryOffset + layout.directoryLength / 2] ^= 0x55;
         return b;
       }},
      {"entry name without its NUL", false,
       [](const std::string& k) {
         PackageLayout layout;
         auto b = WritePackage(EagerSpec(k), &layout);
         std::fill_n(b.begin() + layout.RecordOffset(3), 32, 'x');
         return b;
       }},
      {"deflated entry's stream one byte past the end", false,
       [](const std::string& k) {
         PackageLayout layout;
         auto b = WritePackage(EagerSpec(k), &layout);
         const uint32_t room = static_cast<uint32_t>(b.size()) - layout.dataOffsets[2];
         PatchLE32(b, layout.RecordOffset(2) + L::kPackedSizeField, room + 1);
         return b;
       }},
      {"stored entry one byte past the end", false,
       [](const std::string& k) {
         PackageLayout layout;
         auto b = WritePackage(EagerSpec(k), &layout);
         const uint32_t room = static_cast<uint32_t>(b.size()) - layout.dataOffsets[3];
         PatchLE32(b, layout.RecordOffset(3) + L::kSizeField, room + 1);
         return b;
       }},
      {"entry offset wraps around 32 bits", false,
       PatchedRecord(2, L::kDataOffsetField, 0xFFFFFFF0)},
      {"control section stream damaged", false,
       [](const std::string& k) {
         PackageLayout layout;
         auto b = WritePackage(EagerSpec(k), &layout);
         b[layout.dataOffsets[0] + layout.dataLengths[0] - 1] ^= 0xFF;  // the Adler-32
         return b;
       }},
      {":RegistryKeys without its level", false,
       WithSection(":RegistryKeys", "Software\\x" + dd + "a" + dd + "b" + dd + "c" + dd + "12")},
      {":StartupMsg without its text", false, WithSection(":StartupMsg", "caption" + dd + "text")},
      {":Folders without its closing empty name", false,
       WithSection(":Folders", "a" + dd + "b" + dd)},
      {":FilesToRemove without its closing empty name", false,
       WithSection(":FilesToRemove", "a" + dd)},
      {":XlatNamesTable pair without its second string", false,
       WithSection(":XlatNamesTable", "app.exe" + dd + dd)},
      {":Folders of length 0", false, WithSection(":Folders", "")},
      {":Folders leaving the folder", false, WithSection(":Folders", "..\\evil" + dd + dd)},
      {":FilesToRemove leaving the folder", false,
       WithSection(":FilesToRemove", "a/../../x" + dd + dd)},
      {":FilesToRemove naming a drive", false, WithSection(":FilesToRemove", "C:\\x" + dd + dd)},
      {":XlatNamesTable target leaving the folder", false,
       WithSection(":XlatNamesTable", "app.exe" + dd + "..\\app.exe" + dd + dd)},
      {"file entry leaving the folder", false, WithFileNamed("..\\escape.dll")},
      {"file entry naming a stream", false, WithFileNamed("app.exe:stream")},
      {"file entry named after a device", false, WithFileNamed("NUL.dll")},
      {"file entry in a device's folder", false, WithFileNamed("data\\com1\\x.dll")},
      {"file entry with an empty name", false, WithFileNamed("")},
      {"file entry named \\", false, WithFileNamed("\\")},
      {":XlatNamesTable target naming a device", false,
       WithSection(":XlatNamesTable", "app.exe" + dd + "Lpt1 .exe" + dd + dd)},
      {"self-contained file shorter than 8 bytes", true,
       [](const std::string&) { return Bytes("PINE"); }},
      {"self-contained without PINE", true,
       [](const std::string& k) {
         auto b = SelfContained(Eager(k), 0);
         b.back() = 'X';
         return b;
       }},
      {"trailer's package offset one byte too far", true,
       [](const std::string& k) {
         auto b = SelfContained(Eager(k), 0);
         PatchLE32(b, b.size() - 8, static_cast<uint32_t>(b.size()) - 31);
         return b;
       }},
  };

  InstalledProgram program("pkg-refused");
  TempFolder work("pkg-refused");
  const std::vector<std::string> before = ListFolder(program.folder.path());
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = work / (c.selfContained ? "damaged.exe" : "damaged.pkg");
    ASSERT_TRUE(WriteFileBytes(file, c.make(program.registry.keyPath())));
    // Token 0 names the file to read in self-contained mode, whatever program runs.
    const std::string commandLine =
        c.selfContained ? Quote(file) : Quote(RlPatchPath()) + " " + Quote(file);
    ExpectUsage(RunAndObserve(RlPatchPath(), commandLine));
    EXPECT_EQ(ListFolder(program.folder.path()), before);
    EXPECT_EQ(ReadFileOrEmpty(program.folder / "app.exe"), Bytes("old app"));
    EXPECT_EQ(program.registry.GetDword("PatchLevel"), 1);
  }
}

// The eager package itself is accepted: the refusals above are the damage's doing.
TEST(PackageContainers, TheUndamagedEagerPackageIsInstalled) {
  InstalledProgram program("pkg-eager");
  TempFolder work("pkg-eager");
  ASSERT_TRUE(WriteFileBytes(work / "good.pkg", Eager(program.registry.keyPath())));
  const UserOutcome outcome =
      RunAndObserve(RlPatchPath(), Quote(RlPatchPath()) + " " + Quote(work / "good.pkg"));
  EXPECT_TRUE(outcome.boxes.empty());
  EXPECT_TRUE(outcome.waited);
  EXPECT_EQ(outcome.status, texts::kUpdateInstalledText);
  EXPECT_EQ(ReadFileOrEmpty(program.folder / "app.exe"), Bytes("new app, deflated"));
  EXPECT_EQ(ReadFileOrEmpty(program.folder / "readme.txt"), Bytes("stored"));
  EXPECT_TRUE(IsFolder(program.folder / "newdir"));
  EXPECT_EQ(program.registry.GetDword("PatchLevel"), 7);
}

// A build that ends by itself: no window waits, exit code 0.
constexpr DWORD kBuildGraceMs = 5000;
void ExpectSilentEnd(const UserOutcome& outcome) {
  EXPECT_TRUE(outcome.boxes.empty());
  EXPECT_FALSE(outcome.waited) << outcome.status;
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0u);
}

TEST(PackageBuilder, MakeExeWritesWhatWrapWritesAndOnlyTheLastPackageCounts) {
  InstalledProgram program("pkg-build");
  TempFolder work("pkg-build");
  const std::vector<uint8_t> first = AskingPackage("first", program.registry);
  const std::vector<uint8_t> second = AskingPackage("second", program.registry);
  ASSERT_TRUE(WriteFileBytes(work / "first.pkg", first));
  ASSERT_TRUE(WriteFileBytes(work / "second.pkg", second));
  const std::string rl = Quote(RlPatchPath());

  ExpectSilentEnd(RunAndObserve(
      RlPatchPath(),
      rl + " " + Quote(work / "first.pkg") + " " + Quote(work / "one.exe") + " MAKEEXE",
      kBuildGraceMs));
  const std::vector<uint8_t> one = ReadFileOrEmpty(work / "one.exe");
  EXPECT_EQ(one, WrapUpdater(RlPatchBytes(), first));

  // Built from an updater: the first updater whole, then the second package and its trailer;
  // tokens after the fourth are ignored.
  ExpectSilentEnd(RunAndObserve(work / "one.exe",
                                Quote(work / "one.exe") + " " + Quote(work / "second.pkg") + " " +
                                    Quote(work / "two.exe") + " MAKEEXE extra",
                                kBuildGraceMs));
  EXPECT_EQ(ReadFileOrEmpty(work / "two.exe"), WrapUpdater(one, second));

  // Typed as RL_PATCH without its extension: the running program's own file is copied.
  ExpectSilentEnd(RunAndObserve(
      RlPatchPath(),
      "RL_PATCH " + Quote(work / "first.pkg") + " " + Quote(work / "typed.exe") + " MAKEEXE",
      kBuildGraceMs));
  EXPECT_EQ(ReadFileOrEmpty(work / "typed.exe"), one);

  const UserOutcome runOne = RunAndObserve(work / "one.exe", Quote(work / "one.exe"));
  EXPECT_EQ(FirstBoxCaption(runOne), "first");
  const UserOutcome runTwo = RunAndObserve(work / "two.exe", Quote(work / "two.exe"));
  EXPECT_EQ(FirstBoxCaption(runTwo), "second");
}

TEST(PackageBuilder, FailedBuildsSayWhichFileAndLeaveNoOutput) {
  TempFolder work("pkg-buildfail");
  ASSERT_TRUE(
      WriteFileBytes(work / "good.pkg", Bytes("any bytes: the builder does not read them")));
  ASSERT_TRUE(WriteFileBytes(work / "empty.pkg", {}));
  // A copy of the updater, so that a platform that did let the output replace the running
  // executable could only damage the copy.
  ASSERT_TRUE(WriteFileBytes(work / "rl.exe", RlPatchBytes()));
  const std::string rl = Quote(work / "rl.exe");
  const std::vector<uint8_t> goodBefore = ReadFileOrEmpty(work / "good.pkg");

  const struct {
    const char* what;
    std::string package, output;
    bool outputExistsAfter;
  } cases[] = {
      {"empty package", work / "empty.pkg", work / "out.exe", false},
      {"missing package", work / "missing.pkg", work / "out.exe", false},
      {"output named like the package", work / "good.pkg", work / "good.pkg", true},
      {"output named like the executable", work / "good.pkg", work / "rl.exe", true},
      {"output in a missing folder", work / "good.pkg", work / "nofolder\\out.exe", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const UserOutcome outcome = RunAndObserve(
        work / "rl.exe", rl + " " + Quote(c.package) + " " + Quote(c.output) + " MAKEEXE");
    EXPECT_TRUE(outcome.boxes.empty());
    EXPECT_TRUE(outcome.waited);
    char expected[1024];
    snprintf(expected, sizeof expected, texts::kBuildFailedFormat, c.output.c_str());
    EXPECT_EQ(outcome.status, expected);
    EXPECT_EQ(PathExists(c.output), c.outputExistsAfter);
  }
  EXPECT_EQ(ReadFileOrEmpty(work / "good.pkg"), goodBefore);
  EXPECT_EQ(ReadFileOrEmpty(work / "rl.exe"), RlPatchBytes());

  // "makeexe" is not the build word: the usage text, and nothing written.
  ExpectUsage(RunAndObserve(work / "rl.exe", rl + " " + Quote(work / "good.pkg") + " " +
                                                 Quote(work / "lower.exe") + " makeexe"));
  EXPECT_FALSE(PathExists(work / "lower.exe"));
}

}  // namespace
