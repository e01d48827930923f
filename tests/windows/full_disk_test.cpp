// A disk that fills up while the updater writes, through the real window under Wine: the program
// is installed on a drive of 1 MB (a tmpfs that full_disk.sh mounts and links as a drive of the
// Wine prefix, named by PINECONE_FULL_DISK). A file that does not fit is an ordinary failure of
// that file: rolled back, its error text, the run goes on with the next file, the level stays,
// and the updater ends in its waiting window.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "installed_win32.h"
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

}  // namespace
