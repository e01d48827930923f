// Patch packages through the real window: made by pinepack create from an old and a new program
// folder, they carry only the change, and the updater builds each changed file from the version
// on disk, which must be one of the package's bases.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "create.h"
#include "delta/delta.h"
#include "installed_win32.h"
#include "package/format.h"
#include "shell/exit_codes.h"
#include "shell/texts.h"
#include "update/paths.h"

namespace {

constexpr DWORD kTimeoutMs = 60000;

// Relative path -> contents, or kFolder for a folder (as TreeSnapshot gives them).
using Tree = std::map<std::string, std::string>;
const std::string kFolder = "<folder>";

// A file's version v: the same 60 KB of noise (which deflates to nothing less, so a delta wins
// over the whole file) with edits that differ per version: bytes changed, a run inserted.
std::string Version(uint32_t seed, int v) {
  std::string out(60000, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  for (size_t at = 1000u * v; at < out.size(); at += 7919) out[at] = static_cast<char>(at + v);
  out.insert(30000, std::string(100u * v, static_cast<char>('a' + v)));
  return out;
}

// A library's code in version v: 60,000 bytes of noise with the address (as an image based at
// 0x400000 with 0x200 bytes of headers would have it) of some place of the code every 32 bytes,
// and runs of new code inserted at eight places, each longer with each version: an address moves
// by what was inserted before the place it points to, an amount per page it points into. The new
// code calls one function from every place (as the image would lay it out), by a displacement
// that differs at each.
std::string LibraryCode(uint32_t seed, int v) {
  constexpr uint32_t kLength = 60000, kRuns = 8;
  const auto run = [&](uint32_t i) { return 12 * (i + 1) * static_cast<uint32_t>(v); };
  // Where a place of the version-1 layout lies in version v's: after the runs before it.
  const auto moved = [&](uint32_t at) {
    uint32_t to = at;
    for (uint32_t i = 0; i < kRuns; ++i)
      if (7000 * i + 3000 <= at) to += run(i);
    return to;
  };
  std::string logical(kLength, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (char& c : logical) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  for (uint32_t at = 0; at < kLength; at += 32) {
    const uint32_t address = 0x400200 + moved(at / 32 * 2654435761u % kLength);
    for (int k = 0; k < 4; ++k) logical[at + k] = static_cast<char>(address >> (8 * k));
  }
  std::string code;
  for (uint32_t i = 0, from = 0; i <= kRuns; ++i) {
    const uint32_t to = i < kRuns ? 7000 * i + 3000 : kLength;
    code += logical.substr(from, to - from);
    if (i < kRuns) {
      // New code: a call of the function at 64 (i + 1) bytes into the code every 5 bytes, then
      // no-ops.
      const auto end = static_cast<uint32_t>(code.size()) + run(i);
      while (code.size() + 5 <= end) {
        const auto after = static_cast<uint32_t>(0x200 + code.size() + 5);
        const uint32_t displacement = 0x200 + 64 * (i + 1) - after;
        code += '\xE8';
        for (int b = 0; b < 4; ++b) code += static_cast<char>(displacement >> (8 * b));
      }
      code.append(end - code.size(), '\x90');
    }
    from = to;
  }
  return code;
}

// A library's version v: a PE image whose code is LibraryCode(seed, v) and whose base relocation
// table lists a place every 64 bytes of it, so that every place after the first inserted run
// moves with each version (its delta codes the table, predicts the addresses' changes from the
// pages they point into, codes the new code's calls by their target and the repeats of them as
// matches: method 10).
std::string Library(uint32_t seed, int v) {
  const std::string code = LibraryCode(seed, v);
  constexpr uint32_t kHeaders = 0x200, kPe = 0x80, kSection = kPe + 24 + 224;
  std::string image(kHeaders, '\0');
  auto put32 = [&](uint32_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<char>(value >> (8 * i));
  };
  image[0] = 'M';
  image[1] = 'Z';
  put32(0x3C, kPe);
  image.replace(kPe, 4, std::string("PE\0\0", 4));
  image[kPe + 6] = 1;      // one section
  image[kPe + 20] = 224;   // the optional header's size
  image[kPe + 24] = 0x0B;  // PE32
  image[kPe + 25] = 0x01;
  put32(kPe + 24 + 92, 16);
  image += code;
  const auto relocAt = static_cast<uint32_t>(image.size());
  for (uint32_t page = 0; page < code.size(); page += 0x1000) {
    const uint32_t count =
        std::min<uint32_t>(0x1000, static_cast<uint32_t>(code.size()) - page) / 64;
    const auto block = static_cast<uint32_t>(image.size());
    image.append(8 + 2 * count, '\0');
    put32(block, kHeaders + page);
    put32(block + 4, 8 + 2 * count);
    for (uint32_t i = 0; i < count; ++i) {
      image[block + 8 + 2 * i] = static_cast<char>(64 * i);
      image[block + 9 + 2 * i] = static_cast<char>(0x30 | (64 * i) >> 8);
    }
  }
  const auto relocSize = static_cast<uint32_t>(image.size()) - relocAt;
  image.replace(kSection, 6, ".reloc");
  for (uint32_t field : {8u, 16u}) put32(kSection + field, relocSize);
  for (uint32_t field : {12u, 20u}) put32(kSection + field, relocAt);
  put32(kPe + 24 + 96 + 5 * 8, relocAt);
  put32(kPe + 24 + 96 + 5 * 8 + 4, relocSize);
  return image;
}

// A text file's version v: 2,000 numbered lines, one of them worded per version. Its delta is
// cheap enough to apply range coded, while the noise files' go as deflated words, so a package
// holds both methods.
std::string Notes(int v) {
  std::string out;
  for (int line = 0; line < 2000; ++line)
    out += line == 100 * v + 7 ? "changed in version " + std::to_string(v) + "\r\n"
                               : "line " + std::to_string(line) + " of the notes\r\n";
  return out;
}

// Two old versions of the program and the new one: a changed file in each folder, a file the
// same everywhere, one the update removes, one it adds in a new folder; the program file changes.
Tree OldTree(int v) {
  return {{"prog.exe", Version(1, v)},
          {"changed.dll", Library(2, v)},
          {"readme.txt", Notes(v)},
          {"same.txt", "the same in every version"},
          {"removed.dat", "only in the old versions"},
          {"data", kFolder},
          {"data\\keep.bin", "kept"},
          {"data\\lib.dll", Version(3, v)}};
}
Tree NewTree() {
  return {{"prog.exe", Version(1, 9)},
          {"changed.dll", Library(2, 9)},
          {"readme.txt", Notes(9)},
          {"same.txt", "the same in every version"},
          {"added.txt", "new in this version"},
          {"data", kFolder},
          {"data\\keep.bin", "kept"},
          {"data\\lib.dll", Version(3, 9)},
          {"newdir", kFolder},
          {"newdir\\new.dll", "a new library"}};
}

void WriteTree(const std::string& folder, const Tree& tree) {
  for (const auto& [name, contents] : tree) {
    if (contents == kFolder)
      CreateDirectoryA((folder + "\\" + name).c_str(), nullptr);
    else
      ASSERT_TRUE(WriteFileText(folder + "\\" + name, contents)) << name;
  }
}

// The manifest of a package for app's registry values, at patch level `level`.
Manifest AppManifest(Installed& app, int32_t level) {
  Manifest manifest;
  manifest.keyPath = app.registry().keyPath();
  manifest.folderValue = "ProgramPath";
  manifest.fileValue = "ProgramName";
  manifest.patchLevelValue = "PatchLevel";
  manifest.patchLevel = level;
  return manifest;
}

// A package that updates the versions in bases to NewTree(), made as a vendor makes it.
std::vector<uint8_t> PatchPackage(Installed& app, const std::vector<int>& bases, bool fullFallback,
                                  bool allOrNothing, PackageSpec* madeSpec = nullptr) {
  TempFolder trees("trees");
  CreateOptions options;
  options.fullFallback = fullFallback;
  options.allOrNothing = allOrNothing;
  for (int v : bases) {
    const std::string folder = trees / ("v" + std::to_string(v));
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteTree(folder, OldTree(v));
    options.bases.emplace_back(folder);
  }
  const std::string folder = trees / "new";
  CreateDirectoryA(folder.c_str(), nullptr);
  WriteTree(folder, NewTree());
  const Manifest manifest = AppManifest(app, 2);
  const PackageSpec spec = BuildPackageSpec(folder, manifest, options, [](const std::string&) {});
  if (madeSpec) *madeSpec = spec;
  return WritePackage(spec);
}

// The delta entries of spec by method.
std::map<uint32_t, int> DeltaMethods(const PackageSpec& spec) {
  std::map<uint32_t, int> methods;
  for (const WriterEntry& e : spec.entries) {
    DeltaHeader header;
    if ((e.extraFlags & ENTRY_DELTA) &&
        ParseDeltaHeader(e.data.data(), static_cast<uint32_t>(e.data.size()), header))
      ++methods[header.method];
  }
  return methods;
}

// The delta entries of spec by name: each one's base entry (0: its own installed version).
std::map<std::string, uint32_t> BaseEntries(const PackageSpec& spec) {
  std::map<std::string, uint32_t> bases;
  for (const WriterEntry& e : spec.entries) {
    DeltaHeader header;
    if ((e.extraFlags & ENTRY_DELTA) &&
        ParseDeltaHeader(e.data.data(), static_cast<uint32_t>(e.data.size()), header))
      bases[e.name] = header.baseEntry;
  }
  return bases;
}

// Every kind of file a --from package holds, against each base and against files that are
// neither: the tree left, the exit code, the level, and the texts the log shows for the files
// that are not simply built from their base. File by file, a file that fails is left as it was
// and the others are installed; all or nothing, a failure leaves the whole tree as it was.
TEST(PatchRun, EachInstalledVersionEndsAsTheNewTreeOrFailsUntouched) {
  const std::string modified = Library(2, 1) + "edited by the user";
  const char* const kUpdated = texts::kFileUpdatedFormat;
  const char* const kNotABase = texts::kNotABaseFormat;
  const char* const kFailed = texts::kFileFailedFormat;
  const struct {
    const char* label;
    int installed;           // which old version is installed
    std::vector<int> bases;  // the package's base versions
    bool fullFallback;       // the package carries changed files whole too
    std::string changedDll;  // changed.dll on disk instead of the installed version's
    bool damageDelta;        // a byte in the middle of changed.dll's delta is changed
    DWORD exitCode;
    const char* changedDllText;  // its text in the log (with its full path)
  } cases[] = {
      {"base 1", 1, {1}, false, "", false, exit_codes::kSuccess, kUpdated},
      {"bases 1, 2: 1", 1, {1, 2}, false, "", false, exit_codes::kSuccess, kUpdated},
      {"bases 1, 2: 2", 2, {1, 2}, false, "", false, exit_codes::kSuccess, kUpdated},
      {"edited since", 1, {1}, false, modified, false, exit_codes::kFilesFailed, kNotABase},
      {"edited, fallback", 1, {1}, true, modified, false, exit_codes::kSuccess, kUpdated},
      {"already new", 1, {1}, false, Library(2, 9), false, exit_codes::kSuccess, kUpdated},
      {"damaged delta", 1, {1}, false, "", true, exit_codes::kFilesFailed, kFailed},
  };
  for (const bool allOrNothing : {false, true})
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.label) + (allOrNothing ? ", all or nothing" : ", file by file"));
      Installed app("patch");
      app.registry().SetDword("PatchLevel", 1);
      Tree before = OldTree(c.installed);
      if (!c.changedDll.empty()) before["changed.dll"] = c.changedDll;
      WriteTree(app.folder(), before);

      PackageSpec spec;
      std::vector<uint8_t> package =
          PatchPackage(app, c.bases, c.fullFallback, allOrNothing, &spec);
      // Only the change travels: a delta per base for each of the four changed files, by each
      // method (the notes range coded, the library over its coded table with its addresses
      // predicted and its new code as matches, its calls by their target, the rest as words, a
      // few near their predictions), and no entry for same.txt or keep.bin.
      const auto bases = static_cast<int>(c.bases.size());
      EXPECT_EQ(DeltaMethods(spec), (std::map<uint32_t, int>{{kDeltaRangeCoded, bases},
                                                             {kDeltaWordsPredicted, 2 * bases},
                                                             {kDeltaWordsTablesCallsLz, bases}}));
      for (const WriterEntry& e : spec.entries) {
        EXPECT_NE(e.name, "same.txt");
        EXPECT_NE(e.name, "data\\keep.bin");
      }
      if (c.damageDelta) {
        for (WriterEntry& e : spec.entries) {
          if (e.name == "changed.dll") e.data[e.data.size() / 2] ^= 0x5A;
        }
        package = WritePackage(spec);
      }
      const std::string packagePath = app.folder() + "\\..\\update.pkg";
      ASSERT_TRUE(WriteFileBytes(packagePath, package));

      // The already-new file is held open by another program that shares only reading: any
      // rename or write of it would fail the run, so success shows that nothing touched it.
      // It is also still recorded as backed up, with no backup left: what a run killed after
      // deleting its backup leaves. The run must forget that record (checked below with the rest).
      HANDLE held = INVALID_HANDLE_VALUE;
      if (c.changedDll == Library(2, 9)) {
        held = CreateFileA(app.Path("changed.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
        ASSERT_TRUE(app.SetJournal({"changed.dll"}));
      }
      const std::string log = app.folder() + "\\..\\update.log";
      const UserOutcome o = RunUpdater(packagePath, {}, c.exitCode, Quote("/LOG=" + log));
      if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
      EXPECT_TRUE(o.waited);

      Tree expected = NewTree();
      if (c.exitCode != exit_codes::kSuccess) expected["changed.dll"] = before["changed.dll"];
      if (c.exitCode != exit_codes::kSuccess && allOrNothing) expected = before;
      EXPECT_EQ(TreeSnapshot(app.folder()), expected);
      EXPECT_EQ(app.Level(), c.exitCode == exit_codes::kSuccess ? 2 : 1);
      EXPECT_TRUE(app.Journal().empty());
      std::wstring text;
      bool bom = false;
      ASSERT_TRUE(ReadUtf8Log(log, text, bom));
      EXPECT_NE(text.find(AsLogged(Format(c.changedDllText, app.Path("changed.dll")))),
                std::wstring::npos);
    }
}

// A release that ships one program under two names, and a third copy as a new library: the
// program changed too much for its old version to help, so both copies are built from its new
// version, which the same update installs first. The copies' deltas are damaged, or pointed at
// another file's new version, or that file cannot be installed (another program holds it): each
// copy then fails, never built from the wrong bytes; all or nothing, the tree stays as it was.
// A new library is a near copy of one the update leaves alone, built from it as installed; where
// that one is not its version, both fail as "not the version". And one is a near copy of the
// program, which a delta builds: the copy is built from the program as this run built it.
TEST(PatchRun, NearCopiesAreBuiltFromTheOtherFilesNewVersion) {
  // keep.dll is the same in both releases, and the new zkeep.dll a near copy of it; old.dll is
  // renamed znew.dll, a little changed.
  const std::string keep = Version(6, 1), old = Version(7, 1);
  std::string keepCopy = keep, renamed = old;
  for (size_t at = 50; at < keep.size(); at += 4000) keepCopy[at] ^= 0x33, renamed[at] ^= 0x44;
  const Tree before = {{"prog.exe", Version(1, 1)},
                       {"tool.exe", Version(4, 1)},
                       {"tool2.exe", Version(4, 2)},
                       {"keep.dll", keep},
                       {"old.dll", old}};
  const std::string tool = Version(5, 9);
  std::string tool2 = tool, copy = tool;
  for (size_t at = 100; at < tool.size(); at += 5000) tool2[at] ^= 0x11, copy[at + 7] ^= 0x22;
  std::string progCopy = Version(1, 9);
  for (size_t at = 300; at < progCopy.size(); at += 6000) progCopy[at] ^= 0x55;
  const Tree after = {{"prog.exe", Version(1, 9)}, {"tool.exe", tool},     {"tool2.exe", tool2},
                      {"zcopy.dll", copy},         {"keep.dll", keep},     {"zkeep.dll", keepCopy},
                      {"znew.dll", renamed},       {"zprog.dll", progCopy}};
  enum Harm {
    kNone,
    kDamaged,
    kOtherBase,
    kToolHeld,
    kKeepChanged,
    kOldChanged,
    kOldHeld,
    kRenamedDamaged,
    kProgCopyBaseHash
  };
  const struct {
    const char* label;
    Harm harm;
    bool fileByFileOnly;
  } cases[] = {
      {"near copies", kNone, false},
      {"a copy's delta damaged", kDamaged, false},
      {"a copy's delta from another file's new version", kOtherBase, false},
      {"the program held by another program", kToolHeld, true},
      {"the unchanged file not its version", kKeepChanged, false},
      {"the renamed file not its version", kOldChanged, false},
      {"the renamed file held by another program", kOldHeld, false},
      {"the renamed file's successor damaged", kRenamedDamaged, false},
      // Its commands would build it from the program as this run built it: the hash it names
      // for its base is what must match.
      {"the program's copy naming another hash for its base", kProgCopyBaseHash, false},
  };
  for (const bool allOrNothing : {false, true})
    for (const auto& c : cases) {
      if (allOrNothing && c.fileByFileOnly) continue;
      SCOPED_TRACE(std::string(c.label) + (allOrNothing ? ", all or nothing" : ", file by file"));
      Installed app("nearcopy");
      app.registry().SetDword("PatchLevel", 1);
      Tree installed = before;
      if (c.harm == kKeepChanged) installed["keep.dll"][10] ^= 0x44;
      if (c.harm == kOldChanged) installed["old.dll"][10] ^= 0x44;
      WriteTree(app.folder(), installed);
      TempFolder trees("neartrees");
      for (const char* release : {"old", "new"})
        CreateDirectoryA((trees / release).c_str(), nullptr);
      WriteTree(trees / "old", before);
      WriteTree(trees / "new", after);
      CreateOptions options;
      options.allOrNothing = allOrNothing;
      options.bases.emplace_back(trees / "old");
      const Manifest manifest = AppManifest(app, 2);
      PackageSpec spec = BuildPackageSpec(trees / "new", manifest, options, {});
      const std::vector<uint8_t> sound = WritePackage(spec);
      // tool.exe whole (its old version is no help), each copy one delta from its new version.
      std::map<std::string, int> first;
      for (size_t i = 0; i < spec.entries.size(); ++i)
        first.emplace(spec.entries[i].name, static_cast<int>(i));
      const std::map<std::string, uint32_t> baseEntry = BaseEntries(spec);
      const auto toolEntry = static_cast<uint32_t>(first.at("tool.exe"));
      const auto keepEntry = static_cast<uint32_t>(first.at("keep.dll"));
      const auto oldEntry = static_cast<uint32_t>(first.at("old.dll"));
      const auto progEntry = static_cast<uint32_t>(first.at("prog.exe"));
      EXPECT_EQ(baseEntry, (std::map<std::string, uint32_t>{{"prog.exe", 0},
                                                            {"zprog.dll", progEntry + 1},
                                                            {"tool2.exe", toolEntry + 1},
                                                            {"zcopy.dll", toolEntry + 1},
                                                            {"keep.dll", 0},
                                                            {"zkeep.dll", keepEntry + 1},
                                                            {"old.dll", 0},
                                                            {"znew.dll", oldEntry + 1}}));
      WriterEntry& copyDelta = spec.entries[first.at("zcopy.dll")];
      if (c.harm == kDamaged) copyDelta.data[copyDelta.data.size() / 2] ^= 0x5A;
      WriterEntry& renamedDelta = spec.entries[first.at("znew.dll")];
      if (c.harm == kRenamedDamaged) renamedDelta.data[renamedDelta.data.size() / 2] ^= 0x5A;
      if (c.harm == kOtherBase)
        WriteLE32(copyDelta.data.data() + kDeltaBaseEntryOffset, first.at("prog.exe") + 1);
      if (c.harm == kProgCopyBaseHash) spec.entries[first.at("zprog.dll")].data[24] ^= 1;
      const std::string packagePath = app.folder() + "\\..\\update.pkg";
      ASSERT_TRUE(WriteFileBytes(packagePath, WritePackage(spec)));

      HANDLE held = INVALID_HANDLE_VALUE;
      if (c.harm == kToolHeld || c.harm == kOldHeld)
        held = CreateFileA(app.Path(c.harm == kToolHeld ? "tool.exe" : "old.dll").c_str(),
                           GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      const std::string log = app.folder() + "\\..\\update.log";
      // File by file, a listed file that cannot be removed does not count as a failure.
      const bool fine = c.harm == kNone || (c.harm == kOldHeld && !allOrNothing);
      const DWORD code = fine                                 ? exit_codes::kSuccess
                         : c.harm == kOldHeld && allOrNothing ? exit_codes::kFileInUse
                                                              : exit_codes::kFilesFailed;
      const UserOutcome o = RunUpdater(packagePath, {}, code, Quote("/LOG=" + log));
      if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
      EXPECT_TRUE(o.waited);

      // File by file: the renamed file is removed only after its successor is built from it.
      Tree expected = after;
      if (c.harm == kDamaged || c.harm == kOtherBase || c.harm == kToolHeld)
        expected.erase("zcopy.dll");
      if (c.harm == kToolHeld) expected["tool.exe"] = before.at("tool.exe");
      if (c.harm == kToolHeld) expected["tool2.exe"] = before.at("tool2.exe");
      if (c.harm == kKeepChanged) expected.erase("zkeep.dll");
      if (c.harm == kProgCopyBaseHash) expected.erase("zprog.dll");
      if (c.harm == kOldChanged || c.harm == kRenamedDamaged) expected.erase("znew.dll");
      // File by file, the renamed file stays while it is held or any file failed (one built from
      // it needs it for the rerun).
      if (c.harm != kNone) expected["old.dll"] = installed.at("old.dll");
      expected["keep.dll"] = installed.at("keep.dll");
      if (c.harm != kNone && allOrNothing) expected = installed;
      EXPECT_EQ(TreeSnapshot(app.folder()), expected);
      EXPECT_EQ(app.Level(), fine ? 2 : 1);
      EXPECT_TRUE(app.Journal().empty());
      std::wstring text;
      bool bom = false;
      ASSERT_TRUE(ReadUtf8Log(log, text, bom));
      const char* copyText = c.harm == kDamaged || c.harm == kOtherBase ? texts::kFileFailedFormat
                             : c.harm == kToolHeld                      ? texts::kNotABaseFormat
                                                                        : texts::kFileUpdatedFormat;
      if (!allOrNothing || c.harm == kNone || c.harm == kDamaged || c.harm == kOtherBase) {
        EXPECT_NE(text.find(AsLogged(Format(copyText, app.Path("zcopy.dll")))), std::wstring::npos);
      }
      // A base not its version fails, and so does the copy built from it (all or nothing, the
      // check stops at the first file that fails).
      if (c.harm == kKeepChanged || c.harm == kOldChanged) {
        const bool keep = c.harm == kKeepChanged;
        EXPECT_NE(text.find(AsLogged(
                      Format(texts::kNotABaseFormat, app.Path(keep ? "keep.dll" : "old.dll")))),
                  std::wstring::npos);
        if (!allOrNothing) {
          EXPECT_NE(text.find(AsLogged(
                        Format(texts::kNotABaseFormat, app.Path(keep ? "zkeep.dll" : "znew.dll")))),
                    std::wstring::npos);
        }
      }
      if (c.harm == kRenamedDamaged) {
        EXPECT_NE(text.find(AsLogged(Format(texts::kFileFailedFormat, app.Path("znew.dll")))),
                  std::wstring::npos);
      }
      if (c.harm == kProgCopyBaseHash) {
        EXPECT_NE(text.find(AsLogged(Format(texts::kFileFailedFormat, app.Path("zprog.dll")))),
                  std::wstring::npos);
      }
      // The renamed file's removal: all or nothing, a file in use at the check; file by file,
      // a removal not made, for its holder (32) or for a file that failed (0), unless it failed
      // itself (it is then no base, and not removed).
      const std::string oldPath = app.Path("old.dll");
      if (allOrNothing && c.harm == kOldHeld) {
        EXPECT_NE(text.find(FromCp1251("File in use: " + oldPath + " - error 32")),
                  std::wstring::npos);
      }
      if (!allOrNothing && c.harm != kNone && c.harm != kOldChanged) {
        const char* error = c.harm == kOldHeld ? " - error 32" : " - error 0";
        EXPECT_NE(text.find(FromCp1251("File not removed: " + oldPath + error)),
                  std::wstring::npos);
      }
      EXPECT_EQ(text.find(FromCp1251("File removed: " + oldPath)) != std::wstring::npos,
                c.harm == kNone);

      // File by file, the rerun with a sound package finds the other files already new and
      // builds the copy from the one it holds.
      if ((c.harm == kDamaged || c.harm == kRenamedDamaged) && !allOrNothing) {
        ASSERT_TRUE(WriteFileBytes(packagePath, sound));
        RunUpdater(packagePath, {}, exit_codes::kSuccess, Quote("/LOG=" + log));
        EXPECT_EQ(TreeSnapshot(app.folder()), after);
        EXPECT_EQ(app.Level(), 2);
      }
    }
}

// A large file's version v: 2 MB of noise with a few bytes per version changed, so that the
// updater reads it long enough to be stopped while it does.
std::string Large(int v, size_t size = 2 << 20) {
  std::string out(size, '\0');
  uint32_t x = 12345;
  for (char& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  for (size_t at = 4096u * v; at < out.size(); at += 1 << 18) out[at] = static_cast<char>(v);
  return out;
}

// A package that brings bin\\x.dll from Large(from) to Large(to) at patch level `to`, made by
// pinepack create in trees, written to package.
bool WriteXDllPatch(Installed& app, const TempFolder& trees, int from, int to, bool fullFallback,
                    const std::string& package, size_t size = 2 << 20) {
  const std::string oldFolder = trees / ("x" + std::to_string(from)),
                    newFolder = trees / ("x" + std::to_string(to));
  for (const std::string& folder : {oldFolder, newFolder, oldFolder + "\\bin", newFolder + "\\bin"})
    CreateDirectoryA(folder.c_str(), nullptr);
  const std::vector<uint8_t> program = ReadFileOrEmpty(app.Path("prog.exe"));
  if (!WriteFileText(oldFolder + "\\bin\\x.dll", Large(from, size)) ||
      !WriteFileText(newFolder + "\\bin\\x.dll", Large(to, size)) ||
      !WriteFileBytes(oldFolder + "\\prog.exe", program) ||
      !WriteFileBytes(newFolder + "\\prog.exe", program))
    return false;
  CreateOptions options;
  options.fullFallback = fullFallback;
  options.bases.emplace_back(oldFolder);
  const Manifest manifest = AppManifest(app, to);
  return WriteFileBytes(package, WritePackage(BuildPackageSpec(newFolder, manifest, options,
                                                               [](const std::string&) {})));
}

// Starts a silent update from package (whose path holds token) and waits until the watcher has
// stopped it at its first read of path (StopWhenRead, flag its mark; with staged, of path's staged
// file). True when it stands still there; run is the caller's to continue (ContinueStopped) and
// to end.
bool RunStoppedAtRead(const std::string& package, const std::string& token, const std::string& path,
                      const std::string& flag, UpdaterRun& run, bool staged = false) {
  if (!StopWhenRead(token, path, flag, staged)) return false;
  Sleep(500);  // the watcher's start
  if (!StartProcess(RlPatchPath(), Quote("RL_PATCH.EXE") + " " + Quote(package) + " /S", run))
    return false;
  for (int wait = 0; wait < 600 && !PathExists(flag); ++wait) Sleep(50);
  return PathExists(flag);
}

// The names in a snapshot, for a message (their contents may be megabytes).
std::string Names(const std::map<std::string, std::string>& tree) {
  std::string out;
  for (const auto& [name, contents] : tree)
    out += name + " (" + std::to_string(contents.size()) + " bytes) ";
  return out;
}

// A user who can write to the program folder stops the updater while it reads a file that a
// delta is for (on Windows an opportunistic lock on the file does that; here the watcher's
// SIGSTOP), then tries to make the file's folder a link to a folder of theirs: by renaming the
// folder, or by moving the file out and making the emptied folder a mount point in place, which
// takes only FILE_WRITE_ATTRIBUTES (no sharing mode refuses it) and an empty folder, and which a
// Unix rename and link stand in for here once the move out succeeded. The moves are the user's,
// made through Windows; whatever they achieve, nothing outside changes, and the folder ends as
// one release or the other.
TEST(PatchSwap, AFolderMadeALinkWhileADeltaReadsAFileInIt) {
  const struct {
    const char* label;
    bool fullFallback;
    bool edited;  // bin\x.dll is no base (one byte changed, same size): installed whole
  } cases[] = {{"the delta applies", false, false}, {"no base, --full-fallback", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("swap");
    app.registry().SetDword("PatchLevel", 1);
    TempFolder trees("swap-trees");
    std::string installed = Large(1);
    if (c.edited) installed[100] ^= 1;
    CreateDirectoryA(app.Path("bin").c_str(), nullptr);
    ASSERT_TRUE(WriteFileText(app.Path("bin\\x.dll"), installed));
    const std::string token = "swap-" + std::to_string(GetCurrentProcessId()) +
                              (c.fullFallback ? "-fallback" : "-delta") + ".pkg";
    const std::string package = trees / token;
    ASSERT_TRUE(WriteXDllPatch(app, trees, 1, 2, c.fullFallback, package));

    TempFolder victim("victim");
    ASSERT_TRUE(WriteFileText(victim / "x.dll", "the user's own x.dll"));
    SetFileAttributesA((victim / "x.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    const auto victimBefore = TreeSnapshot(victim.path());
    const std::string flag = trees / "stopped", bin = app.Path("bin"), moved = bin + ".moved";
    UpdaterRun run;
    const bool stopped = RunStoppedAtRead(package, token, app.Path("bin\\x.dll"), flag, run);

    // The user's moves, while the updater stands still.
    bool swapped = false;
    if (stopped && MoveFileA(bin.c_str(), moved.c_str())) {
      swapped = MakeUnixLink(bin, victim.path());
    } else if (stopped && MoveFileA(app.Path("bin\\x.dll").c_str(), (trees / "x.dll").c_str()) &&
               ListFolder(bin).empty()) {
      swapped = MoveAsUnix(bin, moved) && MakeUnixLink(bin, victim.path());
    }
    if (stopped) ContinueStopped(flag);
    DWORD code = 0;
    EXPECT_TRUE(WaitForExit(run, kTimeoutMs, code));
    KillIfRunning(run);
    const DWORD victimAttributes = GetFileAttributesA((victim / "x.dll").c_str());
    SetFileAttributesA((victim / "x.dll").c_str(), FILE_ATTRIBUTE_NORMAL);
    const auto victimAfter = TreeSnapshot(victim.path());
    if (swapped) {
      RemoveTree(bin);
      MoveFileA(moved.c_str(), bin.c_str());
    }

    ASSERT_TRUE(stopped) << "the updater was not stopped while it read bin\\x.dll";
    EXPECT_TRUE(victimAfter == victimBefore) << "the user's folder changed: " << Names(victimAfter)
                                             << " instead of " << Names(victimBefore);
    EXPECT_TRUE(victimAttributes & FILE_ATTRIBUTE_READONLY) << "its read-only attribute cleared";
    EXPECT_FALSE(swapped) << "the folder could be made a link while the updater used it";
    EXPECT_EQ(code, static_cast<DWORD>(exit_codes::kSuccess));
    EXPECT_TRUE(ReadFileOrEmpty(app.Path("bin\\x.dll")) == Bytes(Large(2))) << "not the new x.dll";
    EXPECT_EQ(ListFolder(bin), (std::vector<std::string>{"x.dll"}));
    EXPECT_TRUE(app.Journal().empty());
  }
}

// A user who can write to the program folder stops the updater while it builds the program's
// staged file (here the watcher's SIGSTOP), then tries to write to that file, or to move it away:
// the run created it sharing reading only and holds it so until it is in place, so both are
// refused, and a near copy built from it (hashed first as its base) gets the bytes the run wrote.
// The update then installs the new release.
TEST(PatchSwap, AStagedFileRefusesWritersUntilItIsInPlace) {
  Installed app("staged");
  app.registry().SetDword("PatchLevel", 1);
  TempFolder trees("staged-trees");
  for (const char* release : {"old", "new"}) CreateDirectoryA((trees / release).c_str(), nullptr);
  std::string copy = Large(2);
  for (size_t at = 300; at < copy.size(); at += 6000) copy[at] ^= 0x55;
  const Tree before = {{"prog.exe", Large(1)}},
             after = {{"prog.exe", Large(2)}, {"zprog.dll", copy}};
  WriteTree(app.folder(), before);
  WriteTree(trees / "old", before);
  WriteTree(trees / "new", after);
  CreateOptions options;
  options.allOrNothing = true;
  options.bases.emplace_back(trees / "old");
  const PackageSpec spec = BuildPackageSpec(trees / "new", AppManifest(app, 2), options, {});
  // Both deltas, the copy's from the program's new version.
  const std::map<std::string, uint32_t> baseEntry = BaseEntries(spec);
  ASSERT_EQ(baseEntry.size(), 2u);
  EXPECT_EQ(baseEntry.at("prog.exe"), 0u);
  EXPECT_NE(baseEntry.at("zprog.dll"), 0u);
  const std::string token = "staged-" + std::to_string(GetCurrentProcessId()) + ".pkg";
  const std::string package = trees / token, flag = trees / "stopped";
  ASSERT_TRUE(WriteFileBytes(package, WritePackage(spec)));

  UpdaterRun run;
  const bool stopped = RunStoppedAtRead(package, token, app.Path("prog.exe"), flag, run, true);
  std::string staged;
  for (const std::string& name : ListFolder(app.folder()))
    if (name.rfind("prog.exe.", 0) == 0) staged = app.Path(name);
  DWORD writeError = ERROR_SUCCESS, moveError = ERROR_SUCCESS;
  if (stopped && !staged.empty()) {
    HANDLE file = CreateFileA(staged.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      writeError = GetLastError();
    } else {
      DWORD written = 0;
      WriteFile(file, "mine", 4, &written, nullptr);
      CloseHandle(file);
    }
    if (!MoveFileA(staged.c_str(), (trees / "taken").c_str())) moveError = GetLastError();
  }
  if (stopped) ContinueStopped(flag);
  DWORD code = 0;
  EXPECT_TRUE(WaitForExit(run, kTimeoutMs, code));
  KillIfRunning(run);

  ASSERT_TRUE(stopped) << "the updater was not stopped while it built prog.exe";
  ASSERT_FALSE(staged.empty()) << "no staged prog.exe while it stood still";
  EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(moveError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(code, static_cast<DWORD>(exit_codes::kSuccess));
  EXPECT_TRUE(TreeSnapshot(app.folder()) == after) << Names(TreeSnapshot(app.folder()));
  EXPECT_TRUE(app.Journal().empty());
}

// The file index of the file at path (what the journal records of a backup); 0 when unknown.
uint64_t FileIndex(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return ok ? (uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow) : 0;
}

// A user holds the file open without sharing its deletion, stopped at the moment the updater
// reads it as the delta's base: the updater's own handle of it, which becomes the backup's,
// refuses them. And whatever
// an earlier run left under the backup's name, the next update (a delta from the new version)
// neither loses nor downgrades the file, nor installs a file someone put there: a backup of ours
// recorded as retired (one that could be neither deleted nor renamed: a running program's image
// on Windows) is deleted first; a .bak whose identity is not the record's is a stranger's.
TEST(PatchBackup, HeldOrLeftBehindItNeverCostsTheNextUpdate) {
  enum Left { kHeld, kRetiredOurs, kRetiredStranger, kBackupStranger };
  const struct {
    const char* label;
    Left left;
  } cases[] = {{"the base, soon the backup, held by a user", kHeld},
               {"a retired backup of ours", kRetiredOurs},
               {"a stranger's .bak where our retired backup was", kRetiredStranger},
               {"a stranger's .bak where our backup was", kBackupStranger}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("held");
    app.registry().SetDword("PatchLevel", 1);
    TempFolder trees("held-trees");
    CreateDirectoryA(app.Path("bin").c_str(), nullptr);
    const std::string x = app.Path("bin\\x.dll"), bak = x + ".bak";
    const std::string token =
        "held-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(c.left);
    const std::string first = trees / (token + "-2.pkg"), second = trees / (token + "-3.pkg");
    // Only the held backup must be read long enough to be stopped at.
    const size_t size = c.left == kHeld ? 2 << 20 : 64 << 10;
    if (c.left == kHeld) {
      ASSERT_TRUE(WriteXDllPatch(app, trees, 1, 2, false, first, size));
    }
    ASSERT_TRUE(WriteXDllPatch(app, trees, 2, 3, false, second, size));
    HANDLE held = INVALID_HANDLE_VALUE;
    if (c.left == kHeld) {
      ASSERT_TRUE(WriteFileText(x, Large(1, size)));
      const std::string flag = trees / "stopped";
      UpdaterRun run;
      const bool stopped = RunStoppedAtRead(first, token + "-2.pkg", x, flag, run);
      if (stopped) {
        held = CreateFileA(x.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        ContinueStopped(flag);
      }
      DWORD code = 0;
      EXPECT_TRUE(WaitForExit(run, kTimeoutMs, code));
      KillIfRunning(run);
      ASSERT_TRUE(stopped) << "the updater was not stopped while it read the base";
      EXPECT_EQ(held, INVALID_HANDLE_VALUE) << "a user could hold the updater's backup";
      EXPECT_EQ(code, static_cast<DWORD>(exit_codes::kSuccess));
    } else {
      // What an earlier run left: the new version installed, and under the backup's name a file
      // the journal records, with the identity of the file there or of another.
      ASSERT_TRUE(WriteFileText(x, Large(2, size)));
      ASSERT_TRUE(WriteFileText(bak, c.left == kRetiredOurs ? Large(1, size) : "the user's file"));
      app.registry().SetDword("PatchLevel", 2);
      const uint64_t id = FileIndex(bak) + (c.left == kRetiredOurs ? 0 : 1);
      char record[kPathBufferSize];
      ASSERT_TRUE(FormatJournalRecord(
          record, sizeof record, "bin\\x.dll",
          {c.left == kBackupStranger ? kJournalBackup : kJournalRetired, 1, id}));
      ASSERT_TRUE(app.SetJournal({record}));
    }
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    const bool stranger = c.left == kRetiredStranger || c.left == kBackupStranger;
    const UserOutcome o = RunUpdater(
        second, {}, stranger ? exit_codes::kFilesFailed : exit_codes::kSuccess, "/FORCE");
    EXPECT_TRUE(ReadFileOrEmpty(x) == Bytes(Large(stranger ? 2 : 3, size)))
        << "x.dll lost or downgraded";
    if (stranger) {
      EXPECT_EQ(o.status, Format(texts::kForeignBackupFormat, bak));
      EXPECT_EQ(Text(ReadFileOrEmpty(bak)), "the user's file");
    } else {
      EXPECT_EQ(ListFolder(app.Path("bin")), std::vector<std::string>{"x.dll"});
    }
    EXPECT_TRUE(app.Journal().empty());
  }
}

}  // namespace
