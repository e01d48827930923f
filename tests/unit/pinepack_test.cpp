// pinepack's library: Windows-1251 conversion, the manifest, create (whole and --from), verify,
// extract and apply (all or nothing, and file by file).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "apply.h"
#include "cp1251.h"
#include "create.h"
#include "delta/delta_package.h"
#include "delta_writer.h"
#include "file_io.h"
#include "inspect.h"
#include "manifest.h"
#include "package/format.h"
#include "package/package.h"
#include "package_test_util.h"
#include "package_writer.h"
#include "shell/texts.h"
#include "similar_files.h"
#include "tree_walk.h"

namespace fs = std::filesystem;

namespace {

TEST(Cp1251, ConvertsRussianTextsToTheProgramsBytes) {
  struct Case {
    const char* utf8;
    const char* cp1251;
  };
  const Case cases[] = {
      {"Оригинальная программа не найдена на вашем компьютере!\r\n", texts::kNotFoundText},
      {"Обнаружено текущее или более позднее обновление!\r\nПродолжить установку?\r\n",
       texts::kPatchLevelWarningText},
      {"Ёё №€—«»", "\xA8\xB8 \xB9\x88\x97\xAB\xBB"},
      {"plain ASCII\t~", "plain ASCII\t~"},
  };
  for (const Case& c : cases) {
    std::string out;
    std::string error;
    ASSERT_TRUE(Utf8ToCp1251(c.utf8, out, error)) << c.utf8 << ": " << error;
    EXPECT_EQ(out, c.cp1251) << c.utf8;
    EXPECT_EQ(Cp1251ToUtf8(out), c.utf8);
  }
}

TEST(Cp1251, EveryByteRoundTrips) {
  for (int b = 1; b < 256; ++b) {
    if (b == 0x98) continue;  // the one byte without a character
    const std::string one(1, static_cast<char>(b));
    std::string back;
    std::string error;
    ASSERT_TRUE(Utf8ToCp1251(Cp1251ToUtf8(one), back, error)) << b << ": " << error;
    EXPECT_EQ(back, one) << "byte " << b;
  }
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");
}

TEST(Cp1251, RefusesWhatItCannotHold) {
  const std::string cases[] = {
      "中",                // no Windows-1251 form
      "\xC3\xA9",          // é: Latin-1, but not in Windows-1251
      "\xEF\xBF\xBD",      // U+FFFD
      "\xF0\x9F\x98\x80",  // an emoji
      "\xC0\x80",          // overlong NUL
      "\xE0\x80\xAF",      // overlong '/'
      "\xED\xA0\x80",      // a surrogate
      "\x80",              // a lone continuation byte
      "\xD0",              // a cut sequence
      "\xD0\x41",          // a lead byte followed by ASCII
      "\xF8\x88\x80\x80\x80",
      std::string("a\0b", 3),
  };
  for (const std::string& s : cases) {
    std::string out;
    std::string error;
    EXPECT_FALSE(Utf8ToCp1251(s, out, error)) << s;
    EXPECT_FALSE(error.empty());
  }
}

const char kManifest[] = R"({
  "registry": {"key": "SOFTWARE\\Maker\\Продукт", "folderValue": "ProgramPath",
               "fileValue": "ProgramName", "patchLevelValue": "PatchLevel"},
  "patchLevel": -3,
  "startup": {"caption": "Обновление", "text": "Первая строка\nвторая\r\nтретья"},
  "folders": ["data", "data/sub"],
  "remove": ["old\\x.dll"],
  "rename": {"app.exe": "bin/app.exe"}
})";

TEST(Manifest, ParsesAndConverts) {
  const Manifest m = ParseManifest(kManifest);
  EXPECT_EQ(m.keyPath, "SOFTWARE\\Maker\\\xCF\xF0\xEE\xE4\xF3\xEA\xF2");
  EXPECT_EQ(m.patchLevelValue, "PatchLevel");
  EXPECT_EQ(m.patchLevel, -3);
  ASSERT_TRUE(m.hasStartup);
  EXPECT_EQ(m.text,
            "\xCF\xE5\xF0\xE2\xE0\xFF \xF1\xF2\xF0\xEE\xEA\xE0\r\n\xE2\xF2\xEE\xF0\xE0\xFF\r\n"
            "\xF2\xF0\xE5\xF2\xFC\xFF");
  EXPECT_EQ(m.folders, (std::vector<std::string>{"data", "data\\sub"}));
  EXPECT_EQ(m.removals, (std::vector<std::string>{"old\\x.dll"}));
  ASSERT_EQ(m.renames.size(), 1u);
  EXPECT_EQ(m.renames[0].second, "bin\\app.exe");

  const Manifest again = ParseManifest(ManifestToJson(m));
  EXPECT_EQ(again.keyPath, m.keyPath);
  EXPECT_EQ(again.text, m.text);
  EXPECT_EQ(again.caption, m.caption);
  EXPECT_EQ(again.folders, m.folders);
  EXPECT_EQ(again.removals, m.removals);
  EXPECT_EQ(again.renames, m.renames);
  EXPECT_EQ(again.patchLevel, m.patchLevel);
}

TEST(Manifest, RefusesWithTheFieldNamed) {
  const std::string registry =
      R"("registry": {"key": "K", "folderValue": "F", "fileValue": "N", "patchLevelValue": "P"})";
  struct Case {
    std::string json;
    const char* mentions;
  };
  const Case cases[] = {
      {"{", "JSON"},
      {"[]", "object"},
      {R"({"patchLevel": 1})", "registry"},
      {"{" + registry + "}", "patchLevel"},
      {"{" + registry + R"(, "patchLevel": "1"})", "patchLevel"},
      {"{" + registry + R"(, "patchLevel": 2147483648})", "patchLevel"},
      {"{" + registry + R"(, "patchLevel": -2147483649})", "patchLevel"},
      {"{" + registry + R"(, "patchLevel": 1.5})", "patchLevel"},
      {"{" + registry + R"(, "patchLevel": 1, "extra": 1})", "extra"},
      {R"({"registry": {"key": "", "folderValue": "F", "fileValue": "N", "patchLevelValue": "P"},
          "patchLevel": 1})",
       "registry.key"},
      {R"({"registry": {"key": "K", "fileValue": "N", "patchLevelValue": "P"}, "patchLevel": 1})",
       "folderValue"},
      {"{" + registry + R"(, "patchLevel": 1, "startup": {"caption": "中", "text": "t"}})",
       "startup.caption"},
      {"{" + registry + R"(, "patchLevel": 1, "startup": {"caption": "c"}})", "text"},
      {"{" + registry + R"(, "patchLevel": 1, "folders": ["../up"]})", "folders[0]"},
      {"{" + registry + R"(, "patchLevel": 1, "folders": ["ok", "a\\..\\..\\b"]})", "folders[1]"},
      {"{" + registry + R"(, "patchLevel": 1, "folders": [""]})", "folders[0]"},
      {"{" + registry + R"(, "patchLevel": 1, "remove": ["C:/Windows/x.dll"]})", "remove[0]"},
      {"{" + registry + R"(, "patchLevel": 1, "remove": "x.dll"})", "remove"},
      {"{" + registry + R"(, "patchLevel": 1, "rename": {"a": "../a"}})", "rename"},
      {"{" + registry + R"(, "patchLevel": 1, "rename": {"a": "x:stream"}})", "rename"},
      {"{" + registry +
           R"(, "patchLevel": 1, "entryNames": {"a": "12345678901234567890123456789012"}})",
       "entryNames[\"a\"]"},
      {"{" + registry + R"(, "patchLevel": 1, "entryNames": {"a": ":Folders"}})", "entryNames"},
      {"{" + registry + R"(, "patchLevel": 1, "entryNames": {"a": "..\\x"}})", "entryNames"},
      {"{" + registry + R"(, "patchLevel": 1, "entryNames": {"a": ""}})", "entryNames"},
      {"{" + registry + R"(, "patchLevel": 1, "entryNames": {"a": "aux.dll"}})", "entryNames"},
      {"{" + registry + R"(, "patchLevel": 1, "entryNames": ["a"]})", "entryNames"},
  };
  for (const Case& c : cases) {
    try {
      ParseManifest(c.json);
      ADD_FAILURE() << "accepted: " << c.json;
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos)
          << e.what() << " should mention " << c.mentions;
    }
  }
}

// A temporary folder of the test's own, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    path_ = fs::temp_directory_path() /
            ("pinepack-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  void Write(const std::string& relative, const std::vector<uint8_t>& bytes) const {
    const fs::path file = path_ / fs::u8path(relative);
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

 private:
  fs::path path_;
};

const std::string kLongPath = "data/sub/a_rather_long_folder_name/library.dll";  // 45 bytes

void FillSampleFolder(const TempFolder& folder) {
  folder.Write("files/app.exe", SampleData(20000, 3));  // compressible
  std::vector<uint8_t> noise(5000);
  uint32_t x = 7;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  folder.Write("files/noise.bin", noise);  // deflating does not pay
  folder.Write("files/" + kLongPath, SampleData(3000, 4));
  folder.Write("files/Справка.txt", Bytes("help"));
  folder.Write("files/empty.txt", {});
}

TEST(Create, LaysOutAsVendorsPackagesAndVerifies) {
  TempFolder folder;
  FillSampleFolder(folder);
  std::vector<PackedFile> files;
  CreateOptions options;
  const PackageSpec spec =
      BuildPackageSpec(folder.path() / "files", ParseManifest(kManifest), options, {}, &files);
  const std::vector<uint8_t> package = WritePackage(spec);
  EXPECT_TRUE(VerifyPackage(Source(package), {}).empty());

  std::vector<std::string> names;
  for (const WriterEntry& e : spec.entries) names.push_back(e.name);
  const std::string cyrillic = "\xD1\xEF\xF0\xE0\xE2\xEA\xE0.txt";
  const std::vector<std::string> expected = {":StartupMsg",     ":RegistryKeys", ":Transaction",
                                             ":XlatNamesTable", ":Folders",      ":FilesToRemove",
                                             "app.exe",         "empty.txt",     "noise.bin",
                                             "~1.dll",          cyrillic};
  // Files come sorted by their package names: "data\..." sorts before "e", but its entry is the
  // short name it got; the order is by path, not by entry name.
  std::vector<std::string> sortedFiles(names.begin() + 6, names.end());
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 6),
            std::vector<std::string>(expected.begin(), expected.begin() + 6));
  std::vector<std::string> expectedFiles(expected.begin() + 6, expected.end());
  std::sort(sortedFiles.begin(), sortedFiles.end());
  std::sort(expectedFiles.begin(), expectedFiles.end());
  EXPECT_EQ(sortedFiles, expectedFiles);

  LoadedView loaded(package, 0);
  ASSERT_EQ(loaded.ok, 1);
  const PackageView& view = loaded.view;
  const auto entryOf = [&](const std::string& name) -> const DirectoryEntry& {
    const int i = FindEntry(view, name.c_str());
    EXPECT_GE(i, 0) << name;
    return view.directory[i < 0 ? 0 : i];
  };
  EXPECT_EQ(entryOf("app.exe").flags, 0x110000u);    // deflated where it pays
  EXPECT_EQ(entryOf("noise.bin").flags, 0x100000u);  // stored where it does not
  EXPECT_EQ(entryOf("empty.txt").flags, 0x100000u);
  EXPECT_EQ(entryOf("~1.dll").size, 3000u);

  // The long path and the rename come back as translation pairs.
  const Manifest back = ManifestOfPackage(Source(package));
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"app.exe", "bin\\app.exe"}, {"~1.dll", "data\\sub\\a_rather_long_folder_name\\library.dll"}};
  EXPECT_EQ(back.renames, pairs);
  EXPECT_EQ(back.patchLevel, -3);

  CreateOptions storeAll;
  storeAll.storeAll = true;
  const PackageSpec stored =
      BuildPackageSpec(folder.path() / "files", ParseManifest(kManifest), storeAll, {});
  for (const WriterEntry& e : stored.entries) EXPECT_FALSE(e.deflate) << e.name;
}

// Every entry of a package by name, and the translation pairs sorted: what a rebuild must keep.
struct EntrySet {
  std::map<std::string, std::vector<uint8_t>> entries;  // :XlatNamesTable left out
  std::vector<std::pair<std::string, std::string>> pairs;
  bool operator==(const EntrySet& o) const { return entries == o.entries && pairs == o.pairs; }
};
EntrySet EntriesOf(const std::vector<uint8_t>& package) {
  EntrySet set;
  LoadedView loaded(package, 0);
  EXPECT_EQ(loaded.ok, 1);
  for (uint32_t i = 0; loaded.ok && i < loaded.view.header.entryCount; ++i) {
    const DirectoryEntry& e = loaded.view.directory[i];
    if (std::string(e.name) == ":XlatNamesTable") continue;
    std::vector<uint8_t> data(e.size);
    EXPECT_EQ(ExtractEntry(loaded.view, static_cast<int>(i), data.data()), 1) << e.name;
    set.entries[e.name] = data;
  }
  set.pairs = ManifestOfPackage(Source(package)).renames;
  std::sort(set.pairs.begin(), set.pairs.end());
  return set;
}

// Every regular file below folder, by its path relative to it ('/'); with folders, each folder
// too, as its path and a '/' with no contents.
std::map<std::string, std::vector<uint8_t>> FilesBelow(const fs::path& folder,
                                                       bool folders = false) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& item : fs::recursive_directory_iterator(folder)) {
    const std::string relative = fs::relative(item.path(), folder).generic_u8string();
    if (item.is_regular_file())
      files[relative] = ReadFileBytes(item.path());
    else if (folders && item.is_directory())
      files[relative + "/"] = {};
  }
  return files;
}

// Everything below folder: files with their contents, and folders, empty ones too.
std::map<std::string, std::vector<uint8_t>> TreeBelow(const fs::path& folder) {
  return FilesBelow(folder, true);
}

// Extracted from a signed updater on disk: as installed (renames and long paths under their
// names on disk) or raw (entry names); either folder and its manifest rebuild the same entries.
TEST(Extract, LaysFilesOutAsInstalledOrRawAndRebuildsTheSameEntries) {
  TempFolder folder;
  FillSampleFolder(folder);
  const fs::path files = folder.path() / "files";
  const std::vector<uint8_t> package =
      WritePackage(BuildPackageSpec(files, ParseManifest(kManifest), {}, {}));
  const fs::path updater = folder.path() / "signed.exe";
  WriteFileBytes(updater, Signed(WrapUpdater(PeImage(), package)));
  const FileSource file(updater);
  EXPECT_EQ(DetectContainer(Source(package)), Container::kBare);
  EXPECT_EQ(DetectContainer(file.source()), Container::kSelfContained);
  const auto original = [&](const std::string& path) { return ReadFileBytes(files / path); };

  struct Case {
    ExtractLayout layout;
    const char* name;
    std::map<std::string, std::vector<uint8_t>> expected;
  };
  const Case cases[] = {
      {ExtractLayout::kInstalled,
       "installed",
       {{"bin/app.exe", original("app.exe")},
        {"noise.bin", original("noise.bin")},
        {kLongPath, original(kLongPath)},
        {"Справка.txt", Bytes("help")},
        {"empty.txt", {}}}},
      {ExtractLayout::kRaw,
       "raw",
       {{"app.exe", original("app.exe")},
        {"noise.bin", original("noise.bin")},
        {"~1.dll", original(kLongPath)},
        {"Справка.txt", Bytes("help")},
        {"empty.txt", {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = folder.path() / c.name;
    const fs::path json = folder.path() / (std::string(c.name) + ".json");
    EXPECT_EQ(ExtractPackage(file.source(), out, json, c.layout, {}), 5u);
    EXPECT_EQ(FilesBelow(out), c.expected);
    const std::vector<uint8_t> text = ReadFileBytes(json);
    const std::vector<uint8_t> rebuilt = WritePackage(
        BuildPackageSpec(out, ParseManifest(std::string(text.begin(), text.end())), {}, {}));
    EXPECT_TRUE(VerifyPackage(Source(rebuilt), {}).empty());
    EXPECT_TRUE(EntriesOf(rebuilt) == EntriesOf(package));
  }
}

// Two entries installed under one name (A-Z folded): the later one is written, under the first
// spelling, as the update leaves it; no folder holds both, so a manifest is refused.
TEST(Extract, TwoEntriesUnderOneNameOnDisk) {
  TempFolder folder;
  PackageSpec spec = SamplePackageSpec();
  spec.entries.push_back({":XlatNamesTable", XlatTablePayload({{"a.txt", "sub\\b.txt"}}), true});
  spec.entries.push_back({"a.txt", Bytes("first"), true});
  spec.entries.push_back({"SUB\\B.TXT", Bytes("second"), false});
  const std::vector<uint8_t> package = WritePackage(spec);
  const fs::path out = folder.path() / "out";
  try {
    ExtractPackage(Source(package), out, folder.path() / "m.json", ExtractLayout::kInstalled, {});
    ADD_FAILURE() << "a manifest was written for a folder that cannot hold both entries";
  } catch (const ToolError& e) {
    EXPECT_NE(std::string(e.what()).find("both written as"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(ExtractPackage(Source(package), out, {}, ExtractLayout::kInstalled, {}), 4u);
  const auto found = FilesBelow(out);
  EXPECT_EQ(found.count("sub/b.txt"), 1u);
  EXPECT_EQ(found.count("SUB/B.TXT"), 0u);
  EXPECT_EQ(ReadFileBytes(out / "sub/b.txt"), Bytes("second"));
  // Raw, the names differ, and a manifest can be written.
  EXPECT_EQ(ExtractPackage(Source(package), folder.path() / "raw", folder.path() / "raw.json",
                           ExtractLayout::kRaw, {}),
            5u);
}

// pinepack's file paths (FileSource, FileSink, chunked copies) over a package larger than one
// read chunk: wrap gives the in-memory bytes, and verify, list and extract read it, signed too.
TEST(PinepackFiles, PackagesLargerThanAChunk) {
  TempFolder folder;
  std::vector<uint8_t> noise(kExtractChunk + 12345);
  uint32_t x = 99;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  PackageSpec spec = SamplePackageSpec();
  spec.entries.push_back({"big\\stored.bin", noise, false});
  spec.entries.push_back({"big\\deflated.bin", SampleData(3 * kExtractChunk + 7, 4), true});
  const std::vector<uint8_t> package = WritePackage(spec);
  ASSERT_GT(package.size(), 2 * kExtractChunk);
  const std::vector<uint8_t> exe = Signed(PeImage(true, 4000));
  WriteFileBytes(folder.path() / "rl.exe", exe);
  WriteFileBytes(folder.path() / "p.pkg", package);
  {
    const FileSource executable(folder.path() / "rl.exe");
    const FileSource pkg(folder.path() / "p.pkg");
    FileSink out(folder.path() / "u.exe");
    WrapUpdater(executable.source(), pkg.source(), out.sink());
    out.Commit();
  }
  const std::vector<uint8_t> wrapped = ReadFileBytes(folder.path() / "u.exe");
  EXPECT_EQ(wrapped, WrapUpdater(exe, package));
  WriteFileBytes(folder.path() / "s.exe", Signed(wrapped, 2048));

  for (const char* name : {"p.pkg", "u.exe", "s.exe"}) {
    SCOPED_TRACE(name);
    const FileSource file(folder.path() / name);
    EXPECT_EQ(VerifyPackage(file.source(), {}), std::vector<std::string>{});
    const std::string listing = ListPackage(file.source());
    EXPECT_NE(listing.find("big\\stored.bin"), std::string::npos) << listing;
    const bool isSigned = std::string(name) == "s.exe";
    EXPECT_EQ(listing.find("signed: certificate table of 2048 bytes") != std::string::npos,
              isSigned)
        << listing;
    const fs::path out = folder.path() / (std::string(name) + ".out");
    EXPECT_EQ(ExtractPackage(file.source(), out, {}, ExtractLayout::kInstalled, {}), 5u);
    EXPECT_EQ(ReadFileBytes(out / "big/stored.bin"), noise);
    EXPECT_EQ(ReadFileBytes(out / "big/deflated.bin"), spec.entries.back().data);
  }
}

// The bounded deflate must give DeflateBytes' stream wherever it fits, at the limit included, and
// say no one byte below it: create's choice between a delta and the whole entry relies on both.
TEST(PinepackFiles, DeflateWithinIsTheSameStreamOrNone) {
  std::vector<uint8_t> noise(60000);
  uint32_t x = 7;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  const std::vector<std::vector<uint8_t>> inputs = {{}, {42}, SampleData(70000, 3), noise};
  for (int level : {1, 9}) {
    for (const std::vector<uint8_t>& data : inputs) {
      SCOPED_TRACE(std::to_string(level) + ": " + std::to_string(data.size()) + " bytes");
      const std::vector<uint8_t> whole = DeflateBytes(data, level);
      std::vector<uint8_t> out;
      for (size_t limit : {whole.size(), whole.size() + 1, size_t{1} << 30}) {
        ASSERT_EQ(DeflateWithin(data, level, limit, out), 1);
        EXPECT_EQ(out, whole);
      }
      EXPECT_EQ(DeflateWithin(data, level, whole.size() - 1, out), 0);
      EXPECT_EQ(DeflateWithin(data, level, 0, out), 0);
    }
  }
}

// create reads a release folder once; what it lists decides what a package holds.
TEST(Create, WalksAFolderOnceWithLinksAsWhatTheyPointTo) {
  TempFolder folder;
  folder.Write("a.txt", {1, 2, 3});
  folder.Write("sub/deeper/b.bin", {1, 2, 3, 4, 5});
  fs::create_directories(folder.path() / "empty");
  fs::create_symlink(folder.path() / "a.txt", folder.path() / "link.txt");
  fs::create_directory_symlink(folder.path() / "sub", folder.path() / "linked");
  fs::create_symlink(folder.path() / "missing", folder.path() / "broken");
  std::map<std::string, std::string> listed;
  for (const TreeItem& item : WalkTree(folder.path())) {
    EXPECT_EQ(item.path, folder.path() / fs::u8path(item.relative));
    listed[item.relative] = item.folder ? "folder" : std::to_string(item.size);
  }
  const std::map<std::string, std::string> expected = {
      {"a.txt", "3"},    {"empty", "folder"},      {"link.txt", "3"},        {"linked", "folder"},
      {"sub", "folder"}, {"sub/deeper", "folder"}, {"sub/deeper/b.bin", "5"}};
  EXPECT_EQ(listed, expected);
  EXPECT_THROW(WalkTree(folder.path() / "missing"), ToolError);
}

TEST(Create, RefusesFoldersThatCannotBePackaged) {
  struct Case {
    std::vector<std::string> files;
    std::string manifestTail;
    const char* mentions;
  };
  const Case cases[] = {
      {{"A.txt", "a.txt"}, "", "letter case"},
      {{"sub/X.dll", "SUB/x.dll"}, "", "letter case"},
      {{"bad:name.txt"}, "", "leaves the program folder"},
      {{"CON.txt"}, "", "not a file's name"},
      {{"sub/nul/x.dll"}, "", "not a file's name"},
      {{"a.txt"}, R"(, "rename": {"a.txt": "Lpt1.txt"})", "not a file's name"},
      {{"a.txt"}, R"(, "rename": {"a.txt": "docs/"})", "not a file's name"},
      {{"中.txt"}, "", "Windows-1251"},
      {{"a.txt"}, R"(, "rename": {"missing.txt": "b.txt"})", "not a file in the folder"},
      {{"a.txt"}, R"(, "entryNames": {"missing.txt": "b.txt"})", "not a file in the folder"},
      {{"a.txt", "b.txt"}, R"(, "entryNames": {"b.txt": "A.TXT"})", "two files"},
  };
  for (const Case& c : cases) {
    TempFolder folder;
    for (const std::string& f : c.files) folder.Write("files/" + f, Bytes("x"));
    try {
      const Manifest m = ParseManifest(
          R"({"registry": {"key": "K", "folderValue": "F", "fileValue": "N",
              "patchLevelValue": "P"}, "patchLevel": 1)" +
          c.manifestTail + "}");
      BuildPackageSpec(folder.path() / "files", m, {}, {});
      ADD_FAILURE() << "accepted " << c.files[0];
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
    }
  }
}

TEST(Create, ShortNamesAvoidTakenNames) {
  TempFolder folder;
  folder.Write("files/~1.dll", Bytes("taken"));
  folder.Write("files/" + kLongPath, Bytes("long"));
  folder.Write("files/" + std::string(40, 'b') + ".dll", Bytes("long too"));
  const Manifest m = ParseManifest(
      R"({"registry": {"key": "K", "folderValue": "F", "fileValue": "N",
          "patchLevelValue": "P"}, "patchLevel": 1})");
  const std::vector<uint8_t> package =
      WritePackage(BuildPackageSpec(folder.path() / "files", m, {}, {}));
  EXPECT_TRUE(VerifyPackage(Source(package), {}).empty());
  const Manifest back = ManifestOfPackage(Source(package));
  ASSERT_EQ(back.renames.size(), 2u);
  for (const auto& pair : back.renames) {
    EXPECT_NE(pair.first, "~1.dll");
    EXPECT_LE(pair.first.size(), 31u);
  }
  EXPECT_NE(back.renames[0].first, back.renames[1].first);
}

TEST(Verify, NamesEveryProblem) {
  using L = PackageLayout;
  struct Case {
    const char* what;
    std::function<void(PackageSpec&)> build;
    std::function<void(std::vector<uint8_t>&, const PackageLayout&)> damage;
    std::vector<const char*> mentions;  // one problem each, in this order
    // The reader's refusal at open, and the entry it names (it does not inflate file streams).
    PackageRefusal refusal;
    int entry;
  };
  const auto none = [](std::vector<uint8_t>&, const PackageLayout&) {};
  const auto keep = [](PackageSpec&) {};
  const Case cases[] = {
      {"duplicate names",
       [](PackageSpec& s) {
         s.entries.push_back({"APP.EXE", Bytes("again"), true});
         s.entries.push_back({"app.EXE", Bytes("third"), false});
       },
       none,
       {"same name as entry 2", "same name as entry 2"},
       kRefusedNone,
       -1},
      {"name without NUL",
       keep,
       [](std::vector<uint8_t>& b, const PackageLayout& l) {
         std::fill_n(b.begin() + l.RecordOffset(4), 32, 'n');
       },
       {"no NUL"},
       kRefusedEntryName,
       4},
      {"two damaged streams and an entry past the end",
       keep,
       [](std::vector<uint8_t>& b, const PackageLayout& l) {
         b[l.dataOffsets[2] + l.dataLengths[2] - 1] ^= 1;
         b[l.dataOffsets[4] + l.dataLengths[4] - 2] ^= 1;
         PatchLE32(b, l.RecordOffset(3) + L::kSizeField, 0x7FFFFFFF);
       },
       {"entry 2", "entry 3", "entry 4"},
       kRefusedEntryBounds,
       3},
      {"section of length 0 and an unsafe removal",
       [](PackageSpec& s) {
         s.entries.insert(s.entries.begin(), {":Folders", {}, false});
         s.entries.insert(s.entries.begin(),
                          {":FilesToRemove", NameListPayload({"..\\x", "ok", "d:y"}), true});
       },
       none,
       {"(\":Folders\"): an empty section", "\"..\\x\" leaves", "\"d:y\" leaves"},
       kRefusedFolders,
       1},
      {"unsafe file name",
       [](PackageSpec& s) {
         s.entries.push_back({"..\\up.exe", Bytes("x"), true});
       },
       none,
       {"leaves the program folder"},
       kRefusedNotAFileName,
       5},
      {"device names as a file and as a name on disk",
       [](PackageSpec& s) {
         s.entries.push_back({"aux.dll", Bytes("x"), true});
         s.entries.insert(s.entries.begin(),
                          {":XlatNamesTable", XlatTablePayload({{"a.txt", "bin\\com3"}}), true});
       },
       none,
       {"CON or NUL", "not a file's name"},
       kRefusedNotAFileName,
       6},
      {"directory method 1",
       keep,
       [](std::vector<uint8_t>& b, const PackageLayout&) {
         PatchLE32(b, L::kDirectoryMethodField, 5);
       },
       {"directoryMethod 5"},
       kRefusedDirectoryMethod,
       -1},
      {"not a package",
       keep,
       [](std::vector<uint8_t>& b, const PackageLayout&) { b[0] = 'X'; },
       {"neither a package"},
       kRefusedSignature,
       -1},
      {"registry keys cut",
       keep,
       [](std::vector<uint8_t>& b, const PackageLayout& l) {
         PatchLE32(b, l.RecordOffset(1) + L::kSizeField, 10);
         PatchLE32(b, l.RecordOffset(1) + L::kFlagsField, 0);  // now stored: 10 bytes of stream
       },
       {"(\":RegistryKeys\"): four NUL-terminated strings"},
       kRefusedRegistryKeys,
       1},
  };
  for (const Case& c : cases) {
    PackageSpec spec = SamplePackageSpec();
    spec.deflateDirectory = false;
    c.build(spec);
    PackageLayout layout;
    std::vector<uint8_t> bytes = WritePackage(spec, &layout);
    c.damage(bytes, layout);
    const std::vector<std::string> problems = VerifyPackage(Source(bytes), {});
    ASSERT_EQ(problems.size(), c.mentions.size())
        << c.what << ": " << ::testing::PrintToString(problems);
    for (size_t i = 0; i < problems.size(); ++i) {
      EXPECT_NE(problems[i].find(c.mentions[i]), std::string::npos)
          << c.what << ": " << problems[i] << " should mention " << c.mentions[i];
    }
    const LoadedView loaded(bytes, 0);
    EXPECT_EQ(loaded.ok, c.refusal == kRefusedNone ? 1 : 0) << c.what;
    EXPECT_EQ(loaded.view.refusal, c.refusal) << c.what;
    EXPECT_EQ(loaded.view.refusedEntry, c.entry) << c.what;
    // list, extract and apply refuse such a package with the reader's reason.
    if (c.refusal == kRefusedNone || c.refusal == kRefusedSignature) continue;
    const std::string why = RefusalProblem(loaded.view, c.refusal, c.entry);
    try {
      ListPackage(Source(bytes));
      ADD_FAILURE() << c.what << ": listed";
    } catch (const ToolError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
}

// Every reason of the updater's reader has words of its own in verify.
TEST(Verify, WordsEveryRefusal) {
  std::set<std::string> seen;
  for (int r = kRefusedNone; r < kRefusalCount; ++r) {
    const std::string wording = RefusalWording(static_cast<PackageRefusal>(r));
    EXPECT_FALSE(wording.empty()) << r;
    EXPECT_TRUE(seen.insert(wording).second) << r << ": " << wording;
  }
}

TEST(Verify, SelfContainedTrailerProblems) {
  const std::vector<uint8_t> updater = WrapUpdater(PeImage(), WritePackage(SamplePackageSpec()));
  std::vector<uint8_t> bad = updater;
  PatchLE32(bad, bad.size() - 8, static_cast<uint32_t>(bad.size() - 31));
  PackageSpec hiddenSpec = SamplePackageSpec();
  hiddenSpec.entries.push_back({"hidden.dll", Bytes("the attacker's"), true});
  const std::vector<uint8_t> signedUpdater = Signed(updater);
  const std::vector<uint8_t> grown =
      GrownTable(signedUpdater, HiddenUpdaterTail(WritePackage(hiddenSpec), signedUpdater.size()));
  std::vector<uint8_t> strayEntry = updater;
  PatchLE32(strayEntry, SecurityEntryOf(strayEntry), 512);
  PatchLE32(strayEntry, SecurityEntryOf(strayEntry) + 4, 64);
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    const char* mentions;  // nullptr: sound
  };
  const Case cases[] = {
      {"unsigned", updater, nullptr},
      {"signed", Signed(updater), nullptr},
      {"offset too far", bad, "passes the end of the file"},
      {"signed, offset too far", Signed(bad), "before the certificate table"},
      {"signed executable without a package", Signed(PeImage()), "no trailer lies before"},
      // Bytes appended inside a signed file's table are never read: the vendor's package is.
      {"signed, a package hidden in the grown table", grown, nullptr},
      {"a security entry that does not end the file", strayEntry, "does not end the file"},
      {"5 bytes", std::vector<uint8_t>(5, 'x'), "neither a package"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> problems = VerifyPackage(Source(c.file), {});
    if (!c.mentions) {
      EXPECT_TRUE(problems.empty()) << c.what << ": " << ::testing::PrintToString(problems);
      continue;
    }
    ASSERT_EQ(problems.size(), 1u) << c.what << ": " << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find(c.mentions), std::string::npos) << c.what << ": " << problems[0];
  }
  const std::string listing = ListPackage(Source(grown));
  EXPECT_EQ(listing.find("hidden.dll"), std::string::npos) << listing;
  EXPECT_NE(listing.find("signed: certificate table of"), std::string::npos) << listing;
}

// Names are checked once each (the updater's comparison as a key), so a package of many
// entries verifies in about the time of reading them. Run as its own test entry with a timeout
// (tests/unit/CMakeLists.txt): a check of every pair of names takes minutes here.
TEST(Verify, AHundredThousandEntries) {
  PackageSpec spec = SamplePackageSpec();
  char name[32];
  for (int i = 0; i < 100000; ++i) {
    std::snprintf(name, sizeof name, "d\\f%06d", i);
    spec.entries.push_back({name, {}, false});
  }
  spec.entries.push_back({"D\\F000123", {}, false});
  const std::vector<uint8_t> bytes = WritePackage(spec);
  const std::vector<std::string> problems = VerifyPackage(Source(bytes), {});
  ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
  EXPECT_NE(problems[0].find("same name as entry 128"), std::string::npos) << problems[0];
}

// Packages made with --from, applied to copies of old versions by the updater's file rules.
const char kPlainManifest[] = R"({
  "registry": {"key": "SOFTWARE\\Maker\\Product", "folderValue": "ProgramPath",
               "fileValue": "ProgramName", "patchLevelValue": "PatchLevel"},
  "patchLevel": 2
})";

std::vector<uint8_t> Edited(std::vector<uint8_t> bytes, size_t step, uint8_t mask) {
  for (size_t i = step / 2; i < bytes.size(); i += step) bytes[i] ^= mask;
  return bytes;
}

// An old and a new release: a changed file (also under a long path), an unchanged one, one
// removed, one added, and a new folder with a file in it.
void FillReleases(const TempFolder& folder) {
  const std::vector<uint8_t> app = SampleData(40000, 5);
  folder.Write("old/app.exe", app);
  folder.Write("old/same.txt", Bytes("unchanged"));
  folder.Write("old/gone.dll", SampleData(100, 6));
  folder.Write("old/" + kLongPath, SampleData(9000, 7));
  folder.Write("new/app.exe", Edited(app, 1000, 0x21));
  folder.Write("new/same.txt", Bytes("unchanged"));
  folder.Write("new/added.txt", Bytes("a new file"));
  folder.Write("new/fresh/deeper/data.bin", SampleData(500, 8));
  folder.Write("new/" + kLongPath, Edited(SampleData(9000, 7), 3000, 0x40));
}

std::vector<uint8_t> CreateFrom(const fs::path& files, const std::vector<fs::path>& bases,
                                bool fullFallback = false, bool allOrNothing = true,
                                std::vector<PackedFile>* report = nullptr) {
  CreateOptions options;
  options.bases = bases;
  options.fullFallback = fullFallback;
  options.allOrNothing = allOrNothing;
  return WritePackage(BuildPackageSpec(files, ParseManifest(kPlainManifest), options, {}, report));
}

// A copy of from at to, replacing what was there.
void CopyTree(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to, fs::copy_options::recursive);
}

bool Mentions(const std::vector<std::string>& lines, const std::string& what) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(what) != std::string::npos; });
}

// of(view, i) for each entry i of package, in directory order, read with deltas accepted.
template <typename T, typename Of>
std::vector<T> PerEntry(const std::vector<uint8_t>& package, Of of) {
  PackageView view;
  InitPackageView(view);
  view.acceptDeltas = 1;
  SetMemorySource(view, package.data(), static_cast<uint32_t>(package.size()));
  std::vector<T> out;
  EXPECT_EQ(LoadPackage(view, 0), 1);
  for (uint32_t i = 0; view.directory && i < view.header.entryCount; ++i)
    out.push_back(of(view, static_cast<int>(i)));
  UnloadPackage(view);
  return out;
}

// Entry names and whether each is a delta.
std::vector<std::pair<std::string, bool>> DeltaEntries(const std::vector<uint8_t>& package) {
  return PerEntry<std::pair<std::string, bool>>(package, [](const PackageView& view, int i) {
    return std::make_pair(std::string(view.directory[i].name),
                          IsDeltaEntry(view, view.directory[i]));
  });
}

// The names of a :Folders or :FilesToRemove section of a delta package.
std::vector<std::string> SectionNames(const std::vector<uint8_t>& package, const char* key) {
  PackageView view;
  InitPackageView(view);
  view.acceptDeltas = 1;
  SetMemorySource(view, package.data(), static_cast<uint32_t>(package.size()));
  std::vector<std::string> names;
  const int i = LoadPackage(view, 0) ? FindEntry(view, key) : -1;
  if (i >= 0) {
    std::vector<uint8_t> payload(view.directory[i].size);
    EXPECT_EQ(ExtractEntry(view, i, payload.data()), 1);
    for (size_t at = 0; at < payload.size() && payload[at] != 0;) {
      names.emplace_back(reinterpret_cast<const char*>(payload.data() + at));
      at += names.back().size() + 1;
    }
  }
  UnloadPackage(view);
  return names;
}

TEST(CreateFrom, OnlyWhatChangedTravelsAndApplyRebuildsTheNewTree) {
  TempFolder folder;
  FillReleases(folder);
  const std::vector<uint8_t> package = CreateFrom(folder.path() / "new", {folder.path() / "old"});
  EXPECT_EQ(std::memcmp(package.data(), kDeltaPackageSignature, 16), 0);

  const std::vector<std::pair<std::string, bool>> expected = {
      {":RegistryKeys", false}, {":Transaction", false},   {":XlatNamesTable", false},
      {":Folders", false},      {":FilesToRemove", false}, {"added.txt", false},
      {"app.exe", true},        {"~1.dll", true},          {"fresh\\deeper\\data.bin", false}};
  EXPECT_EQ(DeltaEntries(package), expected);
  EXPECT_EQ(SectionNames(package, ":Folders"),
            (std::vector<std::string>{"fresh", "fresh\\deeper"}));
  EXPECT_EQ(SectionNames(package, ":FilesToRemove"), (std::vector<std::string>{"gone.dll"}));

  const fs::path installed = folder.path() / "installed";
  CopyTree(folder.path() / "old", installed);
  ApplyReport report = ApplyPackage(Source(package), installed, false, {});
  EXPECT_TRUE(report.failures.empty()) << report.failures.front();
  // The new tree exactly: no staged file, no .bak, no folder more or less.
  EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));
  EXPECT_TRUE(report.allOrNothing);
  for (const char* line :
       {"check: file app.exe: the old version a delta was made for",
        "check: file gone.dll: to be removed",
        "check: every file as expected: 4 to build, 1 to remove, 0 already new",
        "stage: folder fresh\\deeper: created", "stage: 4 file(s) built beside their targets",
        "commit: 7 rename(s)", "commit: file app.exe: built from the old version and a delta",
        "commit: file gone.dll: removed", "commit: every file in place, the backups deleted"})
    EXPECT_TRUE(Mentions(report.lines, line))
        << line << ": " << ::testing::PrintToString(report.lines);

  // Per file, a run killed after setting a file aside: the rerun puts the .bak back and finishes.
  const std::vector<uint8_t> perFile =
      CreateFrom(folder.path() / "new", {folder.path() / "old"}, false, false);
  CopyTree(folder.path() / "old", installed);
  fs::rename(installed / "app.exe", installed / "app.exe.bak");
  report = ApplyPackage(Source(perFile), installed, false, {});
  EXPECT_TRUE(report.failures.empty());
  EXPECT_FALSE(report.allOrNothing);
  EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));

  // A rerun finds every file already new and writes nothing.
  report = ApplyPackage(Source(package), installed, false, {});
  EXPECT_TRUE(report.failures.empty());
  EXPECT_TRUE(Mentions(report.lines, "app.exe: already the new version"));
  EXPECT_EQ(FilesBelow(installed), FilesBelow(folder.path() / "new"));

  // verify --against: built in memory only, the old tree untouched.
  const auto before = FilesBelow(folder.path() / "old");
  EXPECT_TRUE(ApplyPackage(Source(package), folder.path() / "old", true, {}).failures.empty());
  EXPECT_EQ(FilesBelow(folder.path() / "old"), before);
}

// A file whose range-coded delta is the smaller but too slow to decode for an update of that
// file alone is range coded once the release holds enough files the update leaves alone (which a
// whole install writes too); either way the package rebuilds the new release.
TEST(CreateFrom, RangeCodedOnlyWithinTheUpdatesBudget) {
  std::vector<uint8_t> base = SampleData(20000, 9);
  std::vector<uint8_t> changed = base;
  uint32_t x = 77;
  for (uint8_t& byte : changed) {
    x = x * 1103515245u + 12345u;
    if ((x >> 16) % 9 == 0) byte = static_cast<uint8_t>('a' + (x >> 24) % 7);
  }
  const DeltaCandidates made = MakeDeltaCandidates(base, changed, UINT64_MAX);
  ASSERT_LT(made.ranged.size(), made.words.size());
  ASSERT_GT(made.rangedCost, RangeDecodingBudget(20000, 20000, 0));
  ASSERT_LE(made.rangedCost, RangeDecodingBudget(80000, 20000, 0));
  for (const size_t unchanged : {0, 60000}) {
    SCOPED_TRACE(unchanged);
    TempFolder folder;
    folder.Write("old/app.exe", base);
    folder.Write("new/app.exe", changed);
    if (unchanged) {
      folder.Write("old/same.bin", SampleData(unchanged, 3));
      folder.Write("new/same.bin", SampleData(unchanged, 3));
    }
    CreateOptions options;
    options.bases = {folder.path() / "old"};
    const PackageSpec spec =
        BuildPackageSpec(folder.path() / "new", ParseManifest(kPlainManifest), options, {});
    std::vector<uint32_t> methods;
    for (const WriterEntry& e : spec.entries) {
      DeltaHeader header;
      if ((e.extraFlags & ENTRY_DELTA) &&
          ParseDeltaHeader(e.data.data(), static_cast<uint32_t>(e.data.size()), header))
        methods.push_back(header.method);
    }
    EXPECT_EQ(methods, std::vector<uint32_t>{unchanged ? kDeltaRangeCoded : kDeltaDeflatedWords});
    const fs::path installed = folder.path() / "installed";
    CopyTree(folder.path() / "old", installed);
    EXPECT_TRUE(ApplyPackage(Source(WritePackage(spec)), installed, false, {}).failures.empty());
    EXPECT_EQ(FilesBelow(installed), FilesBelow(folder.path() / "new"));
  }
}

// Whole files only (every file new to the base): a plain package, as create makes without --from.
TEST(CreateFrom, WithoutDeltasThePackageIsPlain) {
  TempFolder folder;
  FillReleases(folder);
  fs::create_directories(folder.path() / "empty");
  const std::vector<uint8_t> package = CreateFrom(folder.path() / "new", {folder.path() / "empty"});
  EXPECT_EQ(std::memcmp(package.data(), kPackageSignature, 16), 0);
  LoadedView loaded(package, 0);
  EXPECT_EQ(loaded.ok, 1);
  const fs::path installed = folder.path() / "installed";
  fs::create_directories(installed);
  EXPECT_TRUE(ApplyPackage(Source(package), installed, false, {}).failures.empty());
  EXPECT_EQ(FilesBelow(installed), FilesBelow(folder.path() / "new"));
}

// create marks a package all or nothing unless told --per-file, whose package is the one without
// the mark byte for byte: the writer's bytes for the same entries less :Transaction.
TEST(Create, MarksAllOrNothingUnlessPerFile) {
  TempFolder folder;
  FillReleases(folder);
  const std::vector<fs::path> none, old = {folder.path() / "old"};
  for (const std::vector<fs::path>* bases : {&none, &old}) {
    SCOPED_TRACE(bases->empty() ? "whole files" : "--from an old release");
    CreateOptions marked, perFile;
    marked.bases = perFile.bases = *bases;
    perFile.allOrNothing = false;
    const Manifest manifest = ParseManifest(kPlainManifest);
    const PackageSpec spec = BuildPackageSpec(folder.path() / "new", manifest, marked, {});
    const PackageSpec plain = BuildPackageSpec(folder.path() / "new", manifest, perFile, {});

    ASSERT_GE(spec.entries.size(), 2u);
    EXPECT_EQ(spec.entries[0].name, ":RegistryKeys");
    EXPECT_EQ(spec.entries[1].name, ":Transaction");
    EXPECT_EQ(spec.entries[1].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_FALSE(spec.entries[1].deflate);
    PackageSpec stripped = spec;
    stripped.entries.erase(stripped.entries.begin() + 1);
    for (const WriterEntry& e : stripped.entries) EXPECT_NE(e.name, ":Transaction");
    EXPECT_EQ(WritePackage(plain), WritePackage(stripped));

    const std::vector<uint8_t> package = WritePackage(spec);
    EXPECT_EQ(WritePackage(BuildPackageSpec(folder.path() / "new", manifest, marked, {})), package);
    EXPECT_EQ(VerifyPackage(Source(package), {}), std::vector<std::string>{});
    EXPECT_NE(
        ListPackage(Source(package)).find("\ninstalls: all or nothing (:Transaction, rules 1)"),
        std::string::npos);
    EXPECT_NE(ListPackage(Source(WritePackage(plain))).find("\ninstalls: file by file (no "),
              std::string::npos);
  }
}

// Only rules 1, in exactly 4 bytes, install all or nothing; any other :Transaction names rules
// pinepack does not know, and its package, sound all the same, installs file by file.
TEST(AllOrNothing, OnlyKnownRulesInstallAllOrNothing) {
  struct Case {
    const char* what;
    bool present;
    std::vector<uint8_t> payload;
    bool allOrNothing;
    const char* listed;
  };
  const Case cases[] = {
      {"no mark", false, {}, false, "installs: file by file (no :Transaction)"},
      {"rules 1", true, TransactionPayload(), true,
       "installs: all or nothing (:Transaction, rules 1)"},
      {"rules 2", true, TransactionPayload(2), false,
       "installs: file by file: its :Transaction (4 bytes, rules 2) names rules"},
      {"rules 1 in 8 bytes", true, {1, 0, 0, 0, 0, 0, 0, 0}, false, "its :Transaction (8 bytes)"},
      {"3 bytes", true, {1, 0, 0}, false, "its :Transaction (3 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    PackageSpec spec = SamplePackageSpec();
    if (c.present) {
      spec.entries.insert(spec.entries.begin() + 2, {":Transaction", c.payload, false});
      EXPECT_EQ(KnownTransactionRules(c.payload), c.allOrNothing);
    }
    const std::vector<uint8_t> package = WritePackage(spec);
    EXPECT_EQ(VerifyPackage(Source(package), {}), std::vector<std::string>{});
    const std::string listing = ListPackage(Source(package));
    EXPECT_NE(listing.find(c.listed), std::string::npos) << listing;
    const ApplyReport report = ApplyPackage(Source(package), folder.path(), false, {});
    EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.lines);
    EXPECT_EQ(report.allOrNothing, c.allOrNothing);
    EXPECT_EQ(Mentions(report.lines, "commit: every file in place"), c.allOrNothing);
    const std::map<std::string, std::vector<uint8_t>> expected = {
        {"app.exe", SampleData(5000, 1)},
        {"data/", {}},
        {"data/sub/", {}},
        {"data/sub/lib.dll", SampleData(3000, 2)},
        {"readme.txt", Bytes("hello")}};
    EXPECT_EQ(TreeBelow(folder.path()), expected);
  }
}

TEST(CreateFrom, TwoBasesAreBothServedAndSameVersionsShareADelta) {
  TempFolder folder;
  FillReleases(folder);
  CopyTree(folder.path() / "old", folder.path() / "older");
  folder.Write("older/app.exe", Edited(SampleData(40000, 5), 700, 0x11));
  CopyTree(folder.path() / "old", folder.path() / "old-again");
  // A base whose app.exe already is the new one: served by the deltas' result hash.
  CopyTree(folder.path() / "old", folder.path() / "patched");
  fs::copy_file(folder.path() / "new" / "app.exe", folder.path() / "patched" / "app.exe",
                fs::copy_options::overwrite_existing);
  const std::vector<uint8_t> package =
      CreateFrom(folder.path() / "new", {folder.path() / "old", folder.path() / "older",
                                         folder.path() / "old-again", folder.path() / "patched"});
  int appDeltas = 0;
  for (const auto& entry : DeltaEntries(package))
    if (entry.first == "app.exe") appDeltas += entry.second ? 1 : 100;
  EXPECT_EQ(appDeltas, 2);  // one delta per distinct version, no whole entry
  EXPECT_EQ(VerifyPackage(Source(package), {}), std::vector<std::string>{});  // one result

  for (const char* base : {"old", "older", "patched"}) {
    const fs::path installed = folder.path() / "installed";
    CopyTree(folder.path() / base, installed);
    const ApplyReport report = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(report.failures.empty()) << base;
    EXPECT_EQ(FilesBelow(installed), FilesBelow(folder.path() / "new")) << base;
  }
}

// A file that is no base: file by file it fails untouched and the others still install; all or
// nothing, the check fails and the folder stays exactly as it was; with --full-fallback its
// whole entry is installed instead, either way.
TEST(CreateFrom, ModifiedBaseFailsUntouchedOrTakesTheFullFallback) {
  TempFolder folder;
  FillReleases(folder);
  const std::vector<uint8_t> modified = Edited(SampleData(40000, 5), 5000, 0x77);
  struct Case {
    bool allOrNothing;
    bool fullFallback;
    const char* failure;  // nullptr: installs
  };
  const Case cases[] = {
      {false, false, "file app.exe: FAILED: not the version the update was made for (left"},
      {false, true, nullptr},
      {true, false, "check: file app.exe: FAILED: not the version the update was made for"},
      {true, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.allOrNothing ? "all or nothing" : "per file") +
                 (c.fullFallback ? ", full fallback" : ""));
    const std::vector<uint8_t> package =
        CreateFrom(folder.path() / "new", {folder.path() / "old"}, c.fullFallback, c.allOrNothing);
    // The whole entry, inflated, is the version the delta builds.
    EXPECT_EQ(VerifyPackage(Source(package), {}), std::vector<std::string>{});
    const fs::path installed = folder.path() / "installed";
    CopyTree(folder.path() / "old", installed);
    folder.Write("installed/app.exe", modified);
    const auto before = TreeBelow(installed);
    // verify --against finds what apply finds, and writes nothing.
    const ApplyReport tried = ApplyPackage(Source(package), installed, true, {});
    EXPECT_EQ(TreeBelow(installed), before);
    const ApplyReport report = ApplyPackage(Source(package), installed, false, {});
    EXPECT_EQ(report.allOrNothing, c.allOrNothing);
    auto expected = TreeBelow(folder.path() / "new");
    if (!c.failure) {
      EXPECT_TRUE(tried.failures.empty()) << ::testing::PrintToString(tried.failures);
      EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.failures);
      EXPECT_TRUE(Mentions(report.lines, "file app.exe: installed whole"));
    } else {
      for (const ApplyReport* r : {&tried, &report}) {
        ASSERT_EQ(r->failures.size(), 1u) << ::testing::PrintToString(r->failures);
        EXPECT_NE(r->failures[0].find(c.failure), std::string::npos) << r->failures[0];
      }
      if (c.allOrNothing) {
        expected = before;
        EXPECT_TRUE(Mentions(report.lines, "check: FAILED: 1 problem(s); nothing on disk changed"));
        EXPECT_FALSE(Mentions(report.lines, "stage:"));
      } else {
        expected["app.exe"] = modified;
      }
    }
    EXPECT_EQ(TreeBelow(installed), expected);
  }
}

// A release whose two programs are near copies of each other (a tool under two names), and a
// new file that is a third: each copy is built from the first program's new version, which
// changed too much for its own old version to help them.
void FillNearCopies(const TempFolder& folder) {
  const std::vector<uint8_t> tool = SampleData(60000, 11);
  std::vector<uint8_t> newTool(tool.begin() + 30000, tool.end());
  const std::vector<uint8_t> added = SampleData(30000, 12);
  newTool.insert(newTool.end(), added.begin(), added.end());
  folder.Write("old/a-tool.exe", tool);
  folder.Write("old/b-alias.exe", Edited(tool, 997, 0x11));
  folder.Write("new/a-tool.exe", newTool);
  folder.Write("new/b-alias.exe", Edited(newTool, 4001, 0x05));
  folder.Write("new/c-copy.dll", Edited(newTool, 3001, 0x09));
}

// Each delta entry's base group (DeltaBaseGroup), -1 for a whole entry or one from its own file.
std::vector<int> BaseGroups(const std::vector<uint8_t>& package) {
  return PerEntry<int>(package, [](const PackageView& view, int i) {
    return IsDeltaEntry(view, view.directory[i]) ? DeltaBaseGroup(view, i) : -1;
  });
}

// Samples survive bytes moved, inserted or changed elsewhere; the index finds the file that shares
// the most, past samples that too many files have.
TEST(SimilarFiles, SamplesAndTheNearestFile) {
  std::vector<uint8_t> noise(200000);
  uint32_t x = 3;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  // The halves swapped, with a run inserted between them.
  std::vector<uint8_t> moved;
  moved.reserve(noise.size() + 3000);
  moved.insert(moved.end(), noise.begin() + 100000, noise.end());
  moved.insert(moved.end(), 3000, 0x90);
  moved.insert(moved.end(), noise.begin(), noise.begin() + 100000);
  const std::vector<uint64_t> a = ContentSamples(noise), b = ContentSamples(moved);
  EXPECT_GT(a.size(), 120u);
  EXPECT_LT(a.size(), 280u);
  EXPECT_TRUE(std::is_sorted(a.begin(), a.end()));
  EXPECT_GE(SharedSamples(a, b), a.size() * 9 / 10);
  EXPECT_EQ(SharedSamples(a, ContentSamples(SampleData(200000, 4))), 0u);

  // Samples told apart by their top bits, as the fixed index tells them.
  auto range = [](uint64_t from, uint64_t to) {
    std::vector<uint64_t> out;
    for (uint64_t v = from; v < to; ++v) out.push_back(v << 32 | 7);
    return out;
  };
  auto one = [&](uint64_t v) { return range(v, v + 1); };
  auto two = [&](uint64_t a, uint64_t b) { return std::vector<uint64_t>{one(a)[0], one(b)[0]}; };
  // Both indexes give the same answers; the fixed one is asked only once every file is in.
  auto check = [&](auto& index, auto ready) {
    index.Add(0, range(0, 100));
    index.Add(1, range(50, 150));
    index.Add(2, range(0, 10));
    for (uint32_t file = 3; file < 3 + SampleIndex::kMostFiles; ++file) index.Add(file, one(1000));
    index.Add(3 + SampleIndex::kMostFiles, two(2000, 3000));
    for (uint32_t file = 4 + SampleIndex::kMostFiles; file < 4 + 2 * SampleIndex::kMostFiles;
         ++file)
      index.Add(file, one(2000));
    ready(index);
    EXPECT_EQ(index.Find(range(60, 140)).file, 1u);
    EXPECT_EQ(index.Find(range(60, 140)).shared, 80u);
    EXPECT_EQ(index.Find(range(0, 20)).file, 0u);  // ties go to the earlier file
    EXPECT_EQ(index.Find(range(500, 600)).shared, 0u);
    // A sample that as many files have as the most counts; one that more have, for none of them.
    EXPECT_EQ(index.Find(one(1000)).shared, 1u);
    EXPECT_EQ(index.Find(one(1000)).file, 3u);
    EXPECT_EQ(index.Find(two(2000, 3000)).file, 3 + SampleIndex::kMostFiles);
    EXPECT_EQ(index.Find(two(2000, 3000)).shared, 1u);
  };
  SampleIndex growing;
  check(growing, [](SampleIndex&) {});
  FixedSampleIndex fixed;
  check(fixed, [](FixedSampleIndex& index) { index.Seal(); });
}

TEST(CreateFrom, NearCopiesAreBuiltFromTheOtherFilesNewVersion) {
  TempFolder folder;
  FillNearCopies(folder);
  const fs::path installed = folder.path() / "installed";
  for (const bool allOrNothing : {true, false}) {
    SCOPED_TRACE(allOrNothing ? "all or nothing" : "per file");
    std::vector<PackedFile> packed;
    CreateOptions options;
    options.bases = {folder.path() / "old"};
    options.allOrNothing = allOrNothing;
    const PackageSpec spec = BuildPackageSpec(folder.path() / "new", ParseManifest(kPlainManifest),
                                              options, {}, &packed);
    const std::vector<uint8_t> package = WritePackage(spec);
    const int first = allOrNothing ? 2 : 1;  // after :RegistryKeys (and :Transaction)
    // The new file needs no whole entry: its base is built by the same update.
    std::vector<int> expected(first, -1);
    expected.insert(expected.end(), {-1, first, first});
    EXPECT_EQ(BaseGroups(package), expected);
    ASSERT_EQ(packed.size(), 3u);
    EXPECT_EQ(packed[1].baseName, "a-tool.exe");
    EXPECT_EQ(packed[2].baseName, "a-tool.exe");
    EXPECT_FALSE(packed[2].whole);
    EXPECT_LT(packed[1].deltaSizes.at(0) * 4, packed[0].deltaSizes.at(0));

    CopyTree(folder.path() / "old", installed);
    EXPECT_TRUE(ApplyPackage(Source(package), installed, true, {}).failures.empty());
    const ApplyReport report = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.failures);
    EXPECT_TRUE(Mentions(report.lines, "file c-copy.dll: built from another file's new version"));
    EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));

    // The other file not the version its delta was made for: the copies cannot be built either.
    CopyTree(folder.path() / "old", installed);
    folder.Write("installed/a-tool.exe", SampleData(60000, 13));
    const auto before = TreeBelow(installed);
    const ApplyReport refused = ApplyPackage(Source(package), installed, false, {});
    EXPECT_EQ(refused.failures.size(), 3u) << ::testing::PrintToString(refused.lines);
    EXPECT_TRUE(Mentions(refused.failures, "c-copy.dll: FAILED: not the version"));
    EXPECT_EQ(TreeBelow(installed), before);

    // A base that is another file's new version, but not the one the delta was made from, found
    // when the delta is applied: all or nothing, nothing changes.
    PackageSpec wrong = spec;
    WriteLE32(wrong.entries[first + 2].data.data() + kDeltaBaseEntryOffset, first + 2);
    CopyTree(folder.path() / "old", installed);
    const ApplyReport misled = ApplyPackage(Source(WritePackage(wrong)), installed, false, {});
    ASSERT_EQ(misled.failures.size(), 1u) << ::testing::PrintToString(misled.lines);
    EXPECT_TRUE(Mentions(misled.failures, "c-copy.dll: FAILED: the package's data"));
    auto left = TreeBelow(folder.path() / "new");
    if (allOrNothing)
      left = TreeBelow(folder.path() / "old");
    else
      left.erase("c-copy.dll");
    EXPECT_EQ(TreeBelow(installed), left);
    // File by file, the rerun finds the other files already new and builds the copy from one.
    if (!allOrNothing) {
      EXPECT_TRUE(ApplyPackage(Source(package), installed, false, {}).failures.empty());
      EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));
    }
  }
}

// New files that are near copies of a file the release leaves as it was: that file travels once
// as a group of one delta to itself, before the files built from it. With --full-fallback, or
// where the manifest gives its name to another file's entry, it is left out, and the new files
// go whole.
TEST(CreateFrom, UnchangedFilesAreBasesToo) {
  TempFolder folder;
  const std::vector<uint8_t> tool = SampleData(60000, 21);
  for (const char* release : {"old", "new"}) {
    folder.Write(std::string(release) + "/b-tool.exe", tool);
    folder.Write(std::string(release) + "/app.exe", SampleData(5000, 22));
  }
  folder.Write("new/a-alias.exe", Edited(tool, 3001, 0x09));
  folder.Write("new/a-alias2.exe", Edited(tool, 2003, 0x41));
  const std::string renamingManifest = std::string(kPlainManifest, sizeof kPlainManifest - 2) +
                                       R"(, "entryNames": {"a-alias2.exe": "b-tool.exe"}})";
  const fs::path installed = folder.path() / "installed";
  enum Kind { kDeltasOnly, kFullFallback, kNameGiven };
  for (const Kind kind : {kDeltasOnly, kFullFallback, kNameGiven}) {
    SCOPED_TRACE(kind == kDeltasOnly     ? "deltas only"
                 : kind == kFullFallback ? "full fallback"
                                         : "name given");
    std::vector<PackedFile> packed;
    CreateOptions options;
    options.bases = {folder.path() / "old"};
    options.allOrNothing = true;
    options.fullFallback = kind == kFullFallback;
    const std::vector<uint8_t> package = WritePackage(BuildPackageSpec(
        folder.path() / "new",
        ParseManifest(kind == kNameGiven ? renamingManifest : std::string(kPlainManifest)), options,
        {}, &packed));
    if (kind != kDeltasOnly) {
      // No group for the unchanged file: the first copy whole, the second from its new version.
      ASSERT_EQ(packed.size(), 2u);
      EXPECT_TRUE(packed[0].whole);
      EXPECT_TRUE(packed[0].deltaSizes.empty());
      EXPECT_EQ(packed[1].baseName, "a-alias.exe");
      EXPECT_EQ(packed[1].entryName, kind == kNameGiven ? "b-tool.exe" : "a-alias2.exe");
      continue;
    }
    // :RegistryKeys, :Transaction, then b-tool.exe's delta to itself and both copies' from it.
    EXPECT_EQ(BaseGroups(package), (std::vector<int>{-1, -1, -1, 2, 2}));
    ASSERT_EQ(packed.size(), 3u);
    EXPECT_EQ(packed[0].entryName, "b-tool.exe");
    EXPECT_LT(packed[0].deltaSizes.at(0), 200u);
    for (size_t i : {1u, 2u}) {
      EXPECT_EQ(packed[i].baseName, "b-tool.exe");
      EXPECT_FALSE(packed[i].whole);
      EXPECT_LT(packed[i].deltaSizes.at(0), 1000u);
    }

    CopyTree(folder.path() / "old", installed);
    const ApplyReport report = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.lines);
    EXPECT_TRUE(Mentions(report.lines, "2 to build, 0 to remove, 1 already new"));
    EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));

    // The unchanged file not the version the package was made against: nothing changes.
    CopyTree(folder.path() / "old", installed);
    folder.Write("installed/b-tool.exe", Edited(tool, 500, 0x01));
    const auto before = TreeBelow(installed);
    const ApplyReport refused = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(Mentions(refused.failures, "b-tool.exe: FAILED: not the version"))
        << ::testing::PrintToString(refused.lines);
    EXPECT_EQ(TreeBelow(installed), before);
  }
}

// A library the release renames: the new name's delta starts from the old file, which the
// package carries as a group of its own, and which is removed only after the new one is built.
TEST(CreateFrom, RemovedFilesAreBasesOfTheirSuccessors) {
  TempFolder folder;
  const std::vector<uint8_t> lib = SampleData(60000, 23), app = SampleData(5000, 22);
  folder.Write("old/app.exe", app);
  folder.Write("new/app.exe", Edited(app, 700, 0x11));
  folder.Write("old/lib-1.dll", lib);
  folder.Write("new/lib-2.dll", Edited(lib, 3001, 0x09));
  const fs::path installed = folder.path() / "installed";
  for (const bool allOrNothing : {true, false}) {
    SCOPED_TRACE(allOrNothing ? "all or nothing" : "file by file");
    std::vector<PackedFile> packed;
    const std::vector<uint8_t> package =
        CreateFrom(folder.path() / "new", {folder.path() / "old"}, false, allOrNothing, &packed);
    ASSERT_EQ(packed.size(), 3u);
    EXPECT_EQ(packed[0].entryName, "lib-1.dll");
    EXPECT_LT(packed[0].deltaSizes.at(0), 200u);
    EXPECT_EQ(packed[2].entryName, "lib-2.dll");
    EXPECT_EQ(packed[2].baseName, "lib-1.dll");
    EXPECT_FALSE(packed[2].whole);
    EXPECT_LT(packed[2].deltaSizes.at(0), 1000u);

    CopyTree(folder.path() / "old", installed);
    const ApplyReport report = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.lines);
    if (allOrNothing) {
      EXPECT_TRUE(Mentions(report.lines, "2 to build, 1 to remove, 1 already new"));
    }
    EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));
    // A rerun finds the old library gone: its successor is new already, and nothing fails.
    const ApplyReport again = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(again.failures.empty()) << ::testing::PrintToString(again.lines);
    EXPECT_EQ(TreeBelow(installed), TreeBelow(folder.path() / "new"));

    // The old library not the version the package was made against: it is no base, and it stays
    // (file by file, the other file is installed).
    CopyTree(folder.path() / "old", installed);
    folder.Write("installed/lib-1.dll", Edited(lib, 500, 0x01));
    auto expected = TreeBelow(installed);
    if (!allOrNothing) expected["app.exe"] = Edited(app, 700, 0x11);
    const ApplyReport refused = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(Mentions(refused.failures, "lib-1.dll: FAILED: not the version"))
        << ::testing::PrintToString(refused.lines);
    EXPECT_TRUE(Mentions(refused.failures, allOrNothing ? "lib-1.dll" : "lib-2.dll: FAILED"));
    EXPECT_EQ(TreeBelow(installed), expected);

    // Another file failing: file by file, the old library stays for the rerun.
    CopyTree(folder.path() / "old", installed);
    folder.Write("installed/app.exe", Bytes("another version"));
    expected = TreeBelow(installed);
    if (!allOrNothing) expected["lib-2.dll"] = Edited(lib, 3001, 0x09);
    const ApplyReport failed = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(Mentions(failed.failures, "app.exe: FAILED: not the version"));
    EXPECT_EQ(TreeBelow(installed), expected);
  }
}

// What the check of an all-or-nothing package refuses: nothing on disk changes, the report says
// why, and the run stops before stage (verify --against stops there too).
TEST(AllOrNothing, CheckFailsAndNothingChanges) {
  TempFolder folder;
  FillReleases(folder);
  const std::vector<uint8_t> package = CreateFrom(folder.path() / "new", {folder.path() / "old"});
  const fs::path installed = folder.path() / "installed";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    const char* failure;
  };
  const Case cases[] = {
      {"a stranger's .bak beside a file to replace",
       [&] { folder.Write("installed/app.exe.bak", Bytes("someone's")); },
       "check: file app.exe: FAILED: app.exe.bak is in the way"},
      {"a stranger's .bak beside a file to remove",
       [&] { folder.Write("installed/gone.dll.bak", Bytes("someone's")); },
       "check: file gone.dll: FAILED: gone.dll.bak is in the way"},
      {"a per-file run's leftover: the old version in the .bak alone",
       [&] { fs::rename(installed / "app.exe", installed / "app.exe.bak"); },
       "check: file app.exe: FAILED: not the version the update was made for"},
      {"a folder where a file goes", [&] { fs::create_directories(installed / "added.txt"); },
       "check: file added.txt: FAILED: something that is not a file is in its place"},
      {"a folder where a file is to be removed",
       [&] {
         fs::remove(installed / "gone.dll");
         fs::create_directories(installed / "gone.dll");
       },
       "check: file gone.dll: FAILED: to be removed, but it is not a file"},
      {"the long path's file not its base",
       [&] { folder.Write("installed/" + kLongPath, Bytes("another version")); },
       "check: file data\\sub\\a_rather_long_folder_name\\library.dll: FAILED: not the version"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CopyTree(folder.path() / "old", installed);
    c.prepare();
    const auto before = TreeBelow(installed);
    for (bool dryRun : {true, false}) {
      const ApplyReport report = ApplyPackage(Source(package), installed, dryRun, {});
      ASSERT_EQ(report.failures.size(), 1u) << ::testing::PrintToString(report.lines);
      EXPECT_NE(report.failures[0].find(c.failure), std::string::npos) << report.failures[0];
      EXPECT_TRUE(Mentions(report.lines, "check: FAILED: 1 problem(s); nothing on disk changed"));
      EXPECT_FALSE(Mentions(report.lines, "stage:")) << ::testing::PrintToString(report.lines);
      EXPECT_EQ(TreeBelow(installed), before);
    }
  }
}

// A file both listed for removal and installed is removed first, as file by file: its new
// version goes in, and no .bak stays, in both modes.
TEST(AllOrNothing, AFileRemovedAndInstalledTooIsReplaced) {
  TempFolder folder;
  folder.Write("old/app.exe", Bytes("old version"));
  folder.Write("old/other.txt", Bytes("stays"));
  folder.Write("new/app.exe", Bytes("new version"));
  const Manifest manifest = ParseManifest(
      R"({"registry": {"key": "K", "folderValue": "F", "fileValue": "N",
          "patchLevelValue": "P"}, "patchLevel": 1, "remove": ["app.exe", "APP.EXE"]})");
  for (bool allOrNothing : {true, false}) {
    SCOPED_TRACE(allOrNothing);
    CreateOptions options;
    options.allOrNothing = allOrNothing;
    const std::vector<uint8_t> package =
        WritePackage(BuildPackageSpec(folder.path() / "new", manifest, options, {}));
    const fs::path installed = folder.path() / "installed";
    CopyTree(folder.path() / "old", installed);
    const ApplyReport report = ApplyPackage(Source(package), installed, false, {});
    EXPECT_TRUE(report.failures.empty()) << ::testing::PrintToString(report.lines);
    const std::map<std::string, std::vector<uint8_t>> expected = {{"app.exe", Bytes("new version")},
                                                                  {"other.txt", Bytes("stays")}};
    EXPECT_EQ(TreeBelow(installed), expected);
  }
}

// Stage fails (a damaged delta, or a damaged whole entry after three files were staged): every
// staged file is deleted and the folders the run made are removed, the folder exactly as it
// was. File by file, only that file fails, the old version kept and no .bak left.
TEST(CreateFrom, DamagedEntryIsRefusedAndTheOldFileKept) {
  TempFolder folder;
  FillReleases(folder);
  struct Case {
    const char* entry;
    bool allOrNothing;
    const char* failure;
  };
  const Case cases[] = {
      {"app.exe", false, "file app.exe: FAILED: the package's data for it is damaged"},
      {"app.exe", true, "stage: file app.exe: FAILED: the package's data for it is damaged"},
      {"fresh\\deeper\\data.bin", false, "file fresh\\deeper\\data.bin: FAILED"},
      {"fresh\\deeper\\data.bin", true, "stage: file fresh\\deeper\\data.bin: FAILED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + (c.allOrNothing ? ", all or nothing" : ", per file"));
    std::vector<uint8_t> package =
        CreateFrom(folder.path() / "new", {folder.path() / "old"}, false, c.allOrNothing);
    PackageView view;
    InitPackageView(view);
    view.acceptDeltas = 1;
    SetMemorySource(view, package.data(), static_cast<uint32_t>(package.size()));
    ASSERT_EQ(LoadPackage(view, 0), 1);
    const DirectoryEntry& e = view.directory[FindEntry(view, c.entry)];
    const bool delta = IsDeltaEntry(view, e);
    const uint32_t stored = (e.flags & ENTRY_DEFLATED) ? e.packedSize : e.size;
    const size_t header = delta ? kDeltaHeaderSize : 2;  // past the delta's or zlib's header
    const size_t middle = e.dataOffset + header + (stored - header) / 2;
    UnloadPackage(view);
    package[middle] ^= 0x55;

    const fs::path installed = folder.path() / "installed";
    CopyTree(folder.path() / "old", installed);
    const auto before = TreeBelow(installed);
    for (bool dryRun : {true, false}) {
      const ApplyReport report = ApplyPackage(Source(package), installed, dryRun, {});
      ASSERT_EQ(report.failures.size(), 1u) << dryRun << ::testing::PrintToString(report.lines);
      EXPECT_NE(report.failures[0].find(c.failure), std::string::npos) << report.failures[0];
    }
    auto after = TreeBelow(installed);
    if (c.allOrNothing) {
      EXPECT_EQ(after, before);
      continue;
    }
    EXPECT_EQ(after.count("app.exe.bak"), 0u);
    EXPECT_EQ(after["added.txt"], Bytes("a new file"));
    const std::string path =
        c.entry == std::string("app.exe") ? "app.exe" : "fresh/deeper/data.bin";
    const auto old = before.find(path);
    EXPECT_EQ(after.count(path), old == before.end() ? 0u : 1u);
    if (old != before.end()) {
      EXPECT_EQ(after[path], old->second);
    }
  }
}

// A rename of the commit that fails (a file taken the backup's name since the check; a staged
// file gone, so that the system refuses the rename): every rename so far is undone in reverse
// and stage's work deleted, the folder exactly as it was. The progress line that opens the
// commit, said before any rename, is where the test steps in.
TEST(AllOrNothing, CommitRenameFailsAndEveryRenameIsUndone) {
  TempFolder folder;
  FillReleases(folder);
  const std::vector<uint8_t> package = CreateFrom(folder.path() / "new", {folder.path() / "old"});
  const fs::path installed = folder.path() / "installed";
  const fs::path longFile = installed / fs::u8path(kLongPath);
  struct Case {
    const char* what;
    std::function<void()> interfere;
    std::function<void()> cleanUp;  // what the test itself left
    const char* failure;
  };
  const Case cases[] = {
      {"a file at a backup's name (the third rename)",
       [&] { folder.Write("installed/app.exe.bak", Bytes("appeared")); },
       [&] { fs::remove(installed / "app.exe.bak"); }, "app.exe.bak appeared since the check"},
      {"a staged file gone (the sixth rename)",
       [&] {
         for (const auto& item : fs::directory_iterator(longFile.parent_path())) {
           const std::string name = item.path().filename().u8string();
           if (name.rfind("library.dll.", 0) == 0 && name.size() > 4 &&
               name.compare(name.size() - 4, 4, ".new") == 0)
             fs::remove(item.path());
         }
       },
       [] {}, "commit: FAILED: cannot rename "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CopyTree(folder.path() / "old", installed);
    const auto before = TreeBelow(installed);
    int interfered = 0;
    const Progress progress = [&](const std::string& line) {
      if (line.rfind("commit: ", 0) == 0 && interfered++ == 0) c.interfere();
    };
    const ApplyReport report = ApplyPackage(Source(package), installed, false, progress);
    EXPECT_GT(interfered, 0);
    ASSERT_EQ(report.failures.size(), 1u) << ::testing::PrintToString(report.lines);
    EXPECT_NE(report.failures[0].find(c.failure), std::string::npos) << report.failures[0];
    EXPECT_TRUE(Mentions(report.lines, "commit: every rename undone in reverse"))
        << ::testing::PrintToString(report.lines);
    EXPECT_FALSE(Mentions(report.lines, "commit: file ")) << ::testing::PrintToString(report.lines);
    c.cleanUp();
    EXPECT_EQ(TreeBelow(installed), before);
  }
}

// A reader that follows only the plain format compares the signature first and refuses the whole
// package; the portable reader does the same unless its caller applies deltas.
TEST(CreateFrom, ReadersOfPlainPackagesRefuseADeltaPackage) {
  TempFolder folder;
  FillReleases(folder);
  const std::vector<uint8_t> package = CreateFrom(folder.path() / "new", {folder.path() / "old"});
  EXPECT_NE(std::memcmp(package.data(), kPackageSignature, sizeof kPackageSignature), 0);
  LoadedView plainReader(package, 0);
  EXPECT_EQ(plainReader.ok, 0);
  const std::vector<uint8_t> updater = WrapUpdater(SampleData(3000, 9), package);
  LoadedView plainUpdater(updater, 1);
  EXPECT_EQ(plainUpdater.ok, 0);
}

}  // namespace
