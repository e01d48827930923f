// Signed updaters through the real updater under Wine. Signing happens on the Linux side
// (osslsigncode), so signed_updater.sh runs these suites as phases around it, in a folder it
// names in PINECONE_SIGNING_DIR:
//   1. SignedUpdaterBuild: MAKEEXE by RL_PATCH.EXE and by RL_SIGNED.EXE (a copy the script
//      signed) writes from-unsigned.exe and from-signed.exe: pinepack wrap's bytes, unsigned
//      images whose length is a multiple of 8.
//   2. The script signs them into signed-from-unsigned.exe and signed-from-signed.exe and checks
//      them with osslsigncode verify.
//   3. SignedUpdaterRun: each signed updater, started without arguments, installs its package:
//      the question, the files, the folders and the registry as an unsigned updater does. So
//      does tampered-from-unsigned.exe, whose certificate table the script grew by hidden.pkg
//      and a trailer pointing at it: the bytes outside the signature are never read.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "file_io.h"
#include "fixtures_win32.h"
#include "inspect.h"
#include "package/pe_image.h"
#include "package_writer.h"
#include "shell/texts.h"

namespace {

constexpr DWORD kTimeoutMs = 20000;
const char kRegistryName[] = "signed-updater";
const char kCaption[] = "Signed update";
const std::string kLongName = "data\\sub\\a_rather_long_folder_name\\library.dll";

// The folder the script shares with these phases; empty when not run by the script.
std::string SigningDir() {
  const char* dir = std::getenv("PINECONE_SIGNING_DIR");
  return dir ? dir : "";
}

ByteSource Source(const std::vector<uint8_t>& bytes) {
  return MemorySource(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// A question, a replaced and a new file (one under a long name through the translation table),
// a stored file, a folder to create, a file to remove, patch level 5.
std::vector<uint8_t> SignedPackage(const std::string& keyPath) {
  PackageSpec spec;
  spec.entries.push_back({":StartupMsg", StartupMsgPayload(kCaption, "Install the update?")});
  spec.entries.push_back({":RegistryKeys", RegistryKeysPayload(keyPath, "ProgramPath",
                                                               "ProgramName", "PatchLevel", 5)});
  spec.entries.push_back({":XlatNamesTable", XlatTablePayload({{"~1.dll", kLongName}})});
  spec.entries.push_back({":Folders", NameListPayload({"newdir"})});
  spec.entries.push_back({":FilesToRemove", NameListPayload({"old.dll"})});
  spec.entries.push_back({"app.exe", Bytes("new app, signed update")});
  spec.entries.push_back({"~1.dll", Bytes("library under a long name")});
  spec.entries.push_back({"readme.txt", Bytes("stored"), false});
  return WritePackage(spec);
}

// What an attacker hides in the grown certificate table of a signed updater: no question, other
// contents, a file of their own, a high patch level.
std::vector<uint8_t> HiddenPackage(const std::string& keyPath) {
  PackageSpec spec;
  spec.entries.push_back({":RegistryKeys", RegistryKeysPayload(keyPath, "ProgramPath",
                                                               "ProgramName", "PatchLevel", 99)});
  spec.entries.push_back({"app.exe", Bytes("the attacker's app")});
  spec.entries.push_back({"planted.dll", Bytes("the attacker's library")});
  return WritePackage(spec);
}

TEST(SignedUpdaterBuild, MakeExeFromAnUnsignedAndASignedRlPatch) {
  const std::string dir = SigningDir();
  if (dir.empty()) GTEST_SKIP() << "run by tests/windows/signed_updater.sh";
  const RegistryFixture registry(kRegistryName);  // for its key path
  const std::vector<uint8_t> package = SignedPackage(registry.keyPath());
  const std::string packagePath = dir + "\\update.pkg";
  ASSERT_TRUE(WriteFileBytes(packagePath, package));
  ASSERT_TRUE(WriteFileBytes(dir + "\\hidden.pkg", HiddenPackage(registry.keyPath())));

  const std::vector<uint8_t> signedRl = ReadFileOrEmpty(dir + "\\RL_SIGNED.EXE");
  CertificateTable table;
  ASSERT_EQ(CertificateTableAtEnd(Source(signedRl), table), 1) << "RL_SIGNED.EXE is not signed";
  const struct {
    std::string executable, output;
  } builds[] = {
      {RlPatchPath(), dir + "\\from-unsigned.exe"},
      {dir + "\\RL_SIGNED.EXE", dir + "\\from-signed.exe"},
  };
  for (const auto& b : builds) {
    SCOPED_TRACE(b.output);
    const UserOutcome outcome = PlayUser(
        b.executable,
        Quote(b.executable) + " " + Quote(packagePath) + " " + Quote(b.output) + " MAKEEXE", {},
        5000, kTimeoutMs);
    EXPECT_TRUE(outcome.exited && !outcome.waited) << outcome.status;
    const std::vector<uint8_t> built = ReadFileOrEmpty(b.output);
    EXPECT_EQ(built, WrapUpdater(ReadFileOrEmpty(b.executable), package));
    EXPECT_EQ(built.size() % 8, 0u);
    // An unsigned image: the security entry is empty.
    CertificateTable entry;
    ASSERT_EQ(ReadCertificateTable(Source(built), entry), 1);
    EXPECT_EQ(entry.offset, 0u);
    EXPECT_EQ(entry.size, 0u);
  }
  // From the signed copy: its bytes up to the table, the table left out.
  const std::vector<uint8_t> fromSigned = ReadFileOrEmpty(dir + "\\from-signed.exe");
  ASSERT_GT(fromSigned.size(), table.offset);
  for (uint32_t i = 0; i < table.offset; ++i) {
    const bool inEntry = i >= table.entryOffset && i < table.entryOffset + 8;
    if (fromSigned[i] != (inEntry ? 0 : signedRl[i])) {
      ADD_FAILURE() << "byte " << i << " differs from the signed executable's";
      break;
    }
  }
}

// An installed program for the package: an old app.exe, a file to remove, patch level 1.
struct InstalledProgram {
  TempFolder folder{"signed-target"};
  RegistryFixture registry{kRegistryName};
  InstalledProgram() {
    WriteFileText(folder / "app.exe", "old app");
    WriteFileText(folder / "old.dll", "to be removed");
    registry.SetString("ProgramPath", folder.path());
    registry.SetString("ProgramName", "app.exe");
    registry.SetDword("PatchLevel", 1);
  }
};

// The signed updaters, and one whose certificate table an attacker grew by a package of their
// own and a trailer pointing at it (the script does it, and checks that the signature still
// verifies): each installs the vendor's package, and pinepack reads only the vendor's.
TEST(SignedUpdaterRun, SignedUpdatersInstallAsUnsignedOnesDo) {
  const std::string dir = SigningDir();
  if (dir.empty()) GTEST_SKIP() << "run by tests/windows/signed_updater.sh";
  const struct {
    const char* updater;
    const char* built;  // the unsigned updater it was signed from
  } updaters[] = {
      {"signed-from-unsigned", "from-unsigned"},
      {"signed-from-signed", "from-signed"},
      {"tampered-from-unsigned", "from-unsigned"},
  };
  for (const auto& u : updaters) {
    SCOPED_TRACE(u.updater);
    const std::string updater = dir + "\\" + u.updater + ".exe";
    const std::vector<uint8_t> bytes = ReadFileOrEmpty(updater);
    CertificateTable table;
    ASSERT_EQ(CertificateTableAtEnd(Source(bytes), table), 1) << "not signed";
    // The builder's padding left signing nothing to pad: the table begins where the file ended.
    EXPECT_EQ(table.offset, ReadFileOrEmpty(dir + "\\" + u.built + ".exe").size());

    InstalledProgram program;
    const UserOutcome outcome = PlayUser(updater, Quote(updater), {IDOK}, 100, kTimeoutMs);
    ASSERT_EQ(outcome.boxes.size(), 1u) << outcome.status;
    EXPECT_EQ(outcome.boxes[0].caption, kCaption);
    EXPECT_TRUE(outcome.waited);
    EXPECT_EQ(outcome.status, texts::kUpdateInstalledText);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0u);
    EXPECT_EQ(ReadFileOrEmpty(program.folder / "app.exe"), Bytes("new app, signed update"));
    EXPECT_EQ(ReadFileOrEmpty(program.folder / kLongName), Bytes("library under a long name"));
    EXPECT_EQ(ReadFileOrEmpty(program.folder / "readme.txt"), Bytes("stored"));
    EXPECT_TRUE(IsFolder(program.folder / "newdir"));
    EXPECT_FALSE(PathExists(program.folder / "old.dll"));
    EXPECT_FALSE(PathExists(program.folder / "~1.dll"));
    EXPECT_FALSE(PathExists(program.folder / "planted.dll"));
    EXPECT_EQ(program.registry.GetDword("PatchLevel"), 5);
    // The updater left its own file as it was.
    EXPECT_EQ(ReadFileOrEmpty(updater), bytes);

    // pinepack's checks of the signed file, in this (Windows) build of its code.
    const FileSource file(updater);
    EXPECT_EQ(VerifyPackage(file.source(), {}), std::vector<std::string>{});
    std::string listing;
    EXPECT_NO_THROW(listing = ListPackage(file.source()));
    EXPECT_NE(listing.find("signed: certificate table of"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("planted.dll"), std::string::npos) << listing;
    const TempFolder extracted("signed-extract");
    EXPECT_EQ(ExtractPackage(file.source(), extracted.path(), {}, ExtractLayout::kInstalled, {}),
              3u);
    EXPECT_EQ(ReadFileOrEmpty(extracted / "app.exe"), Bytes("new app, signed update"));
    EXPECT_FALSE(PathExists(extracted / "planted.dll"));
  }
}

}  // namespace
