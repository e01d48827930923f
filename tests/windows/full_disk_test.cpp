// A disk that fills up while the updater writes, through the real window under Wine: the program
// is installed on a drive of 1 MB (a tmpfs that full_disk.sh mounts and links as a drive of the
// Wine prefix, named by PINECONE_FULL_DISK). A file that does not fit is an ordinary failure of
// that file: rolled back, its error text, the run goes on with the next file, the level stays,
// and the updater ends in its waiting window. A package that installs all or nothing compares
// the free space with its new files before it writes any, and falls short with nothing changed.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "installed_win32.h"
#include "package/format.h"
#include "package_writer.h"
#include "shell/exit_codes.h"
#include "shell/texts.h"

namespace {

// The small drive, e.g. "R:"; empty when the test runs without full_disk.sh.
std::string FullDiskDrive() {
  char value[16] = {};
  const DWORD length = GetEnvironmentVariableA("PINECONE_FULL_DISK", value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value) : std::string();
}

TEST(FullDisk, AFileThatDoesNotFitFailsAloneAndTheOldFileStays) {
  const std::string drive = FullDiskDrive();
  if (drive.empty())
    GTEST_SKIP() << "needs the 1 MB drive of tests/windows/full_disk.sh (ctest: windows_full_disk)";
  ULARGE_INTEGER free{}, total{};
  ASSERT_TRUE(GetDiskFreeSpaceExA((drive + "\\").c_str(), &free, &total, nullptr)) << drive;
  ASSERT_LE(total.QuadPart, 1024u * 1024u) << "the drive is not the small one";

  Installed app("full", drive);
  const struct {
    std::string name;
    std::vector<uint8_t> before, after;
    bool fits;
  } files[] = {
      {"small1.dll", Bytes("old small1"), ContentsFor("small1.dll", 500), true},
      {"big1.dll", ContentsFor("old big1.dll", 7000), ContentsFor("big1.dll", 40000), false},
      {"small2.dll", Bytes("old small2"), ContentsFor("small2.dll", 500), true},
      // Beside a .bak of the user's own (an editor's): failed untouched before anything is
      // written, so the full disk never makes the user's old copy come back in its place.
      {"settings.ini", Bytes("current settings"), ContentsFor("settings.ini", 40000), false},
      {"big2.dll", ContentsFor("old big2.dll", 7000), ContentsFor("big2.dll", 40000), false},
  };
  app.registry().SetDword("PatchLevel", 1);
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(2));
  for (const auto& f : files) {
    ASSERT_TRUE(WriteFileBytes(app.Path(f.name), f.before)) << f.name;
    spec.entries.push_back(Entry(f.name, f.after));
  }
  ASSERT_TRUE(WriteFileText(app.Path("settings.ini.bak"), "the user's old settings"));
  // The package lives on the ordinary drive: only the program's files fill the small one.
  TempFolder work("full-pkg");
  const std::string package = work / "update.pkg";
  ASSERT_TRUE(WriteFileBytes(package, WritePackage(spec)));

  const UserOutcome o = RunUpdater(package, {}, exit_codes::kFilesFailed);  // ended, no crash
  EXPECT_TRUE(o.waited);
  EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("big2.dll")));
  for (const auto& f : files) {
    // (not EXPECT_EQ: the contents are too long to print)
    EXPECT_TRUE(ReadFileOrEmpty(app.Path(f.name)) == (f.fits ? f.after : f.before)) << f.name;
  }
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("settings.ini.bak"))), "the user's old settings");
  EXPECT_EQ(ListFolder(app.folder()),
            (std::vector<std::string>{"big1.dll", "big2.dll", "prog.exe", "settings.ini",
                                      "settings.ini.bak", "small1.dll", "small2.dll"}));
  EXPECT_TRUE(app.Journal().empty());
  EXPECT_EQ(app.Level(), 1);
}

// Exactly size bytes of contents for name.
std::vector<uint8_t> SizedContents(const std::string& name, size_t size) {
  std::vector<uint8_t> contents = ContentsFor(name, size / 16);
  contents.resize(size);
  return contents;
}

// A package that installs all or nothing, whose new files each fit on the drive but not all
// together: the free space is checked before anything is written, the run ends with the number
// of KB missing and nothing changed (no staged file, no folder made, no file removed).
TEST(FullDisk, AnAllOrNothingUpdateThatDoesNotFitChangesNothing) {
  const std::string drive = FullDiskDrive();
  if (drive.empty())
    GTEST_SKIP() << "needs the 1 MB drive of tests/windows/full_disk.sh (ctest: windows_full_disk)";
  Installed app("fullaon", drive);
  const struct {
    std::string name;
    std::string before;  // empty: the update adds it
  } files[] = {{"a.dll", "old a"}, {"b.dll", "old b"}, {"plugins\\c.dll", ""}};
  constexpr size_t kNewSize = 400 * 1024;
  PackageSpec contents = AllOrNothingStart(app);
  for (const auto& f : files) {
    if (!f.before.empty()) {
      ASSERT_TRUE(WriteFileText(app.Path(f.name), f.before)) << f.name;
    }
    contents.entries.push_back(Entry(f.name, SizedContents(f.name, kNewSize)));
  }
  TempFolder work("full-pkg");
  const std::string package = work / "update.pkg";
  ASSERT_TRUE(WriteFileBytes(package, WritePackage(contents)));
  const auto before = TreeSnapshot(app.folder());
  ULARGE_INTEGER free{}, total{};
  ASSERT_TRUE(GetDiskFreeSpaceExA((drive + "\\").c_str(), &free, &total, nullptr)) << drive;
  ASSERT_LE(total.QuadPart, 1024u * 1024u) << "the drive is not the small one";
  ASSERT_LT(kNewSize, free.QuadPart) << "each file alone must fit";
  ASSERT_GT(3 * kNewSize, free.QuadPart) << "together they must not";
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA((drive + "\\").c_str(), &sectorsPerCluster, &bytesPerSector,
                                &freeClusters, &clusters));
  const uint64_t cluster = uint64_t{sectorsPerCluster} * bytesPerSector;
  // The new files in whole clusters, and 1 MiB kept free beyond them.
  const uint64_t needed = 3 * ((kNewSize + cluster - 1) / cluster * cluster) + (1 << 20);

  const UserOutcome o = RunUpdater(package, {}, exit_codes::kDiskFull);
  EXPECT_TRUE(o.waited);
  const size_t number = std::string(texts::kNoSpaceFormat).find("%s");
  ASSERT_EQ(o.status.compare(0, number, texts::kNoSpaceFormat, number), 0) << o.status;
  const uint64_t missingKb = std::strtoull(o.status.c_str() + number, nullptr, 10);
  EXPECT_EQ(o.status, Format(texts::kNoSpaceFormat, std::to_string(missingKb)));
  EXPECT_GT(missingKb, 0u);
  EXPECT_EQ(missingKb, (needed - free.QuadPart + 1023) / 1024);
  EXPECT_EQ(TreeSnapshot(app.folder()), before);
  EXPECT_TRUE(app.Journal().empty());
  EXPECT_EQ(app.Level(), 1);
}

}  // namespace
