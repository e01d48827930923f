// The portable pieces of the update procedure: name translation, bounded joins, the folder
// steps of a name on disk and the walk over :Folders / :FilesToRemove lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "update/paths.h"

namespace {

// A payload from pieces; each piece is one string with its NUL (std::string keeps embedded NULs).
std::string Payload(std::initializer_list<std::string> strings) {
  std::string out;
  for (const auto& s : strings) {
    out += s;
    out += '\0';
  }
  return out;
}

struct TranslateCase {
  const char* label;
  std::string table;
  const char* name;
  const char* expected;
};

TEST(TranslateName, Table) {
  // "\xC0\xC1" and "\xE0\xE1" are the same two Cyrillic letters in upper and lower case.
  const std::string twoPairs = Payload({"a.txt", "docs\\a.txt", "b.dll", "bin\\b.dll", ""});
  const TranslateCase cases[] = {
      {"empty table", Payload({""}), "a.txt", "a.txt"},
      {"exact match", Payload({"readme.txt", "docs\\readme.txt", ""}), "readme.txt",
       "docs\\readme.txt"},
      {"ASCII case folded", Payload({"readme.txt", "docs\\readme.txt", ""}), "README.TXT",
       "docs\\readme.txt"},
      {"second pair", twoPairs, "B.DLL", "bin\\b.dll"},
      {"no match", twoPairs, "c.dll", "c.dll"},
      {"second strings are never compared", twoPairs, "docs\\a.txt", "docs\\a.txt"},
      {"first match wins", Payload({"x", "first", "X", "second", ""}), "x", "first"},
      {"Cyrillic exact", Payload({"\xC0\xC1.txt", "new.txt", ""}), "\xC0\xC1.txt", "new.txt"},
      {"Cyrillic case not folded", Payload({"\xC0\xC1.txt", "new.txt", ""}), "\xE0\xE1.txt",
       "\xE0\xE1.txt"},
      {"prefix does not match", Payload({"a.tx", "z", ""}), "a.txt", "a.txt"},
      {"longer name does not match", Payload({"a.txtx", "z", ""}), "a.txt", "a.txt"},
      {"first string without its second", Payload({"a.txt", "z", "b.txt", ""}), "b.txt", "b.txt"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(TranslateName(c.table.c_str(), c.name), c.expected) << c.label;
  }
}

TEST(TranslateName, ReturnsPointerIntoTableOrName) {
  const std::string table = Payload({"a", "b\\a", ""});
  const char* name = "other";
  EXPECT_EQ(TranslateName(table.c_str(), name), name);
  EXPECT_EQ(TranslateName(table.c_str(), "A"), table.c_str() + 2);
}

struct JoinCase {
  const char* label;
  std::string folder;
  std::string name;
  size_t outSize;
  int expected;
};

TEST(JoinPath, FitsOrFailsEmpty) {
  const std::string folder(500, 'f');
  const JoinCase cases[] = {
      {"plain", "C:\\P\\", "a.dll", 512, 1},
      {"511 characters fit", folder, std::string(11, 'n'), 512, 1},
      {"512 characters do not", folder, std::string(12, 'n'), 512, 0},
      {"folder alone too long", std::string(512, 'f'), "", 512, 0},
      {"folder alone 511", std::string(511, 'f'), "", 512, 1},
      {"empty both", "", "", 1, 1},
      {"no room at all", "", "", 0, 0},
  };
  for (const auto& c : cases) {
    std::vector<char> out(c.outSize + 8, 'X');  // guard bytes past outSize
    EXPECT_EQ(JoinPath(out.data(), c.outSize, c.folder.c_str(), c.name.c_str()), c.expected)
        << c.label;
    if (c.expected) {
      EXPECT_EQ(std::string(out.data()), c.folder + c.name) << c.label;
    } else if (c.outSize > 0) {
      EXPECT_EQ(out[0], '\0') << c.label;
    }
    for (size_t i = c.outSize; i < out.size(); ++i) ASSERT_EQ(out[i], 'X') << c.label;
  }
}

TEST(BackupPath, AppendsBakWithinBuffer) {
  char out[kPathBufferSize];
  ASSERT_EQ(BackupPath(out, sizeof out, "C:\\P\\a.dll"), 1);
  EXPECT_STREQ(out, "C:\\P\\a.dll.bak");
  const std::string fits(507, 'p');  // 507 + 4 = 511
  EXPECT_EQ(BackupPath(out, sizeof out, fits.c_str()), 1);
  const std::string tooLong(508, 'p');
  EXPECT_EQ(BackupPath(out, sizeof out, tooLong.c_str()), 0);
  EXPECT_STREQ(out, "");
}

TEST(NormaliseFolder, Table) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"C:\\Games\\Product", "C:\\Games\\Product\\"},
      {"C:\\Games\\Product\\", "C:\\Games\\Product\\"},
      {"", "\\"},
      {"C:\\", "C:\\"},
      {"C:\\Games\\Product\\\\", "C:\\Games\\Product\\\\"},
      {"C:/Games/", "C:/Games/\\"},  // only the backslash counts
      {std::string(512, 'd'), std::string(512, 'd') + "\\"},
  };
  for (const auto& c : cases) {
    char out[kFolderBufferSize];
    ASSERT_EQ(NormaliseFolder(out, sizeof out, c.text.c_str()), 1) << c.text;
    EXPECT_EQ(std::string(out), c.expected) << c.text;
  }
}

void Collect(const char* path, void* context) {
  static_cast<std::vector<std::string>*>(context)->push_back(path);
}

TEST(ForEachParentFolder, Table) {
  const struct {
    const char* name;
    std::vector<std::string> expected;
  } cases[] = {
      {"file.dll", {}},
      {"data\\sub\\file.dll", {"P\\data", "P\\data\\sub"}},
      {"\\data\\file.dll", {"P\\data"}},
      {"\\file.dll", {}},
      {"a\\b\\c\\d", {"P\\a", "P\\a\\b", "P\\a\\b\\c"}},
      {"\xC4\xE0\xED\xED\xFB\\f", {"P\\\xC4\xE0\xED\xED\xFB"}},
      {"dir\\", {"P\\dir"}},
      {"data/sub\\file.dll", {"P\\data", "P\\data\\sub"}},
      {"/data/file.dll", {"P\\data"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> seen;
    ForEachParentFolder("P\\", c.name, Collect, &seen);
    EXPECT_EQ(seen, c.expected) << c.name;
  }
}

TEST(ForEachParentFolder, StopsWhenAFolderPathDoesNotFit) {
  const std::string folder(500, 'f');
  // f...f + "abcde" = 505, + "\" + "123456" = 512 characters: does not fit.
  std::vector<std::string> seen;
  ForEachParentFolder(folder.c_str(), "abcde\\123456\\x", Collect, &seen);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], folder + "abcde");
  // Exactly 511 characters still fits.
  seen.clear();
  ForEachParentFolder(folder.c_str(), "abcde\\12345\\x", Collect, &seen);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].size(), 511u);
  // A program folder that fills the buffer visits nothing.
  seen.clear();
  ForEachParentFolder(std::string(512, 'f').c_str(), "a\\b", Collect, &seen);
  EXPECT_TRUE(seen.empty());
}

TEST(ForEachListedPath, Table) {
  const std::string longName(510, 'n');  // "P\" + 510 = 512 characters: skipped
  const struct {
    const char* label;
    std::string payload;
    std::vector<std::string> expected;
  } cases[] = {
      {"in order", Payload({"a\\b", "a", ""}), {"P\\a\\b", "P\\a"}},
      {"empty list", Payload({""}), {}},
      {"stops at the empty name", Payload({"a", "", "b", ""}), {"P\\a"}},
      {"without closing name", Payload({"a", "b"}), {"P\\a", "P\\b"}},
      {"last name without NUL", Payload({"a"}) + "bc", {"P\\a"}},
      {"too long skipped", Payload({"x", longName, "y", ""}), {"P\\x", "P\\y"}},
      {"nothing", std::string(), {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> seen;
    ForEachListedPath(reinterpret_cast<const unsigned char*>(c.payload.data()),
                      static_cast<uint32_t>(c.payload.size()), "P\\", Collect, &seen);
    EXPECT_EQ(seen, c.expected) << c.label;
  }
}

TEST(ForEachListedPath, NeverReadsPastSize) {
  // The byte after size would continue the name; the walk must stop at size.
  const std::string bytes = std::string("a\0bcd", 5) + std::string("e\0", 2);
  std::vector<std::string> seen;
  ForEachListedPath(reinterpret_cast<const unsigned char*>(bytes.data()), 5, "P\\", Collect, &seen);
  EXPECT_EQ(seen, std::vector<std::string>{"P\\a"});
}

TEST(PatchLevelNeedsWarning, SignedComparison) {
  const struct {
    int32_t installed;
    int32_t package;
    bool expected;
  } cases[] = {
      {0, 1, false},
      {1, 1, true},
      {2, 1, true},
      {0, 0, true},
      {0, -1, true},
      {-1, 0, false},
      {INT32_MIN, INT32_MAX, false},
      {INT32_MIN, -2147483647, false},
      {INT32_MAX, INT32_MIN, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PatchLevelNeedsWarning(c.installed, c.package), c.expected)
        << c.installed << " vs " << c.package;
  }
}

TEST(IsAbsoluteFolderPath, Table) {
  const struct {
    const char* text;
    int expected;
  } cases[] = {
      {"C:\\Prog", 1},
      {"c:\\", 1},
      {"C:/Prog", 1},
      {"\\\\server\\share", 1},
      {"\\\\server\\share\\Prog", 1},
      {"", 0},      // would become "\", the current drive's root
      {"Prog", 0},  // relative to the current folder
      {"Prog\\Sub", 0},
      {"C:Prog", 0},  // relative to drive C:'s current folder
      {"C:", 0},
      {"\\Prog", 0},      // rooted on the current drive
      {"1:\\Prog", 0},    // no drive letter
      {"\\\\server", 0},  // no share
      {"\\\\server\\", 0},
      {"\\\\server\\\\share", 0},  // empty share
      {"\\\\\\share", 0},          // empty server
      {"\\\\?\\C:\\Prog", 0},      // device and object-manager paths
      {"\\\\.\\C:\\Prog", 0},
      {"\\\\?\\GLOBALROOT\\x", 0},
      {"\\\\??\\share", 1},  // a server named "??" is an ordinary name
  };
  for (const auto& c : cases) EXPECT_EQ(IsAbsoluteFolderPath(c.text), c.expected) << c.text;
}

TEST(CanonicalName, AsWindowsReadsTheNameThenSplit) {
  const struct {
    const char* name;
    const char* folder;  // after FolderAndLeaf; nullptr: the name does not split
    const char* leaf;
  } cases[] = {
      {"a.dll", "", "a.dll"},
      {"\\lead.dll", "", "lead.dll"},
      {"data\\sub\\file.dll", "data\\sub", "file.dll"},
      {"fwd/new/x.dll", "fwd\\new", "x.dll"},
      {"\\\\data//maps.\\x.dll ", "data\\maps", "x.dll"},  // runs, trailing dots and blanks
      {"data\\.\\x", "data", "x"},                         // "." is the folder itself
      {"", nullptr, nullptr},
      {"\xC0\xC1\\\xE0.txt", "\xC0\xC1", "\xE0.txt"},  // other bytes as they are
  };
  for (const auto& c : cases) {
    char canonical[kPathBufferSize];
    char leaf[kPathBufferSize];
    ASSERT_GE(CanonicalName(c.name, canonical, sizeof canonical), 0) << c.name;
    const int split = FolderAndLeaf(canonical, leaf, sizeof leaf);
    EXPECT_EQ(split, c.folder != nullptr) << c.name;
    if (split && c.folder) {
      EXPECT_STREQ(canonical, c.folder) << c.name;
      EXPECT_STREQ(leaf, c.leaf) << c.name;
    }
  }
  char small[6];
  EXPECT_EQ(CanonicalName("ab\\cd", small, sizeof small), 5);
  EXPECT_EQ(CanonicalName("ab\\cde", small, sizeof small), -1) << "one byte too long";
  EXPECT_STREQ(small, "");
}

TEST(NameDirectlyInside, Table) {
  const struct {
    const wchar_t* folder;
    const wchar_t* name;
    int expected;
  } cases[] = {
      {L"\\??\\C:\\Prog", L"\\??\\C:\\Prog\\a.dll", 1},
      {L"\\??\\C:\\Prog", L"\\??\\c:\\PROG\\A.DLL", 1},  // ASCII letters folded
      {L"\\??\\C:\\", L"\\??\\C:\\a.dll", 1},            // a root ends in its backslash
      {L"\\Device\\HarddiskVolume2\\Prog", L"\\Device\\HarddiskVolume2\\Prog\\x", 1},
      {L"\\??\\C:\\Prog", L"\\??\\C:\\Prog\\data\\a.dll", 0},  // below, not directly in it
      {L"\\??\\C:\\Prog", L"\\??\\C:\\Prog", 0},               // the folder itself
      {L"\\??\\C:\\Prog", L"\\??\\C:\\Prog\\", 0},             // no component
      {L"\\??\\C:\\Prog", L"\\??\\C:\\Program", 0},            // a sibling with a longer name
      {L"\\??\\C:\\Prog", L"\\??\\C:\\Other\\a.dll", 0},       // where a link leads
      {L"\\??\\C:\\Prog", L"\\??\\D:\\Prog\\a.dll", 0},
      {L"\\??\\C:\\\x0410", L"\\??\\C:\\\x0430\\a.dll", 0},  // Cyrillic case is not folded
      {L"", L"\\??\\C:\\Prog", 0},
  };
  for (const auto& c : cases) {
    const std::wstring folder = c.folder, name = c.name;
    EXPECT_EQ(NameDirectlyInside(folder.data(), folder.size(), name.data(), name.size()),
              c.expected)
        << std::string(folder.begin(), folder.end()) << " | "
        << std::string(name.begin(), name.end());
  }
}

// Whether a list has a record of name, and of what kind and identity.
std::string Found(const char* list, size_t size, const char* name) {
  JournalRecord record{};
  if (!JournalListFind(list, size, name, record)) return "none";
  if (!record.hasId) return "by name";
  char text[32];
  std::snprintf(text, sizeof text, "%c %llx", record.kind,
                static_cast<unsigned long long>(record.id));
  return text;
}

TEST(JournalList, AddFindRemove) {
  char list[64] = {};
  size_t size = 0;
  char line[64];
  EXPECT_EQ(Found(list, size, "a.dll"), "none");
  ASSERT_TRUE(FormatJournalRecord(line, sizeof line, "a.dll", {kJournalBackup, 1, 0x4A1F07}));
  EXPECT_STREQ(line, "a.dll|B00000000004A1F07");
  size = JournalListAdd(list, size, sizeof list, line);
  ASSERT_EQ(size, 25u);  // the record, its NUL, the closing NUL
  ASSERT_TRUE(FormatJournalRecord(line, sizeof line, "data\\b.dll",
                                  {kJournalRetired, 1, 0xFEDCBA9876543210}));
  size = JournalListAdd(list, size, sizeof list, line);
  size = JournalListAdd(list, size, sizeof list, "old.dll");  // as an earlier version wrote it
  EXPECT_EQ(Found(list, size, "A.DLL"), "B 4a1f07");  // names compare as the file system does
  EXPECT_EQ(Found(list, size, "data\\B.dll"), "R fedcba9876543210");
  EXPECT_EQ(Found(list, size, "old.dll"), "by name");
  EXPECT_EQ(Found(list, size, "b.dll"), "none");
  EXPECT_EQ(Found(list, size, "a.dl"), "none");
  EXPECT_EQ(Found(list, size, ""), "none");

  size = JournalListRemove(list, size, "A.dll");
  EXPECT_EQ(std::string(list, size), Payload({"data\\b.dll|RFEDCBA9876543210", "old.dll", ""}));
  EXPECT_EQ(JournalListRemove(list, size, "missing"), size);
  EXPECT_EQ(JournalListRemove(list, size, "data"), size) << "a name's prefix is another name";
  size = JournalListRemove(list, size, "data\\b.dll");
  size = JournalListRemove(list, size, "old.dll");
  EXPECT_EQ(size, 1u);  // empty: only the closing NUL
  EXPECT_EQ(Found(list, size, "data\\b.dll"), "none");
}

TEST(JournalList, RecordsThatDoNotReadAsOursNameNothing) {
  const char* damaged[] = {"a.dll|X00000000004A1F07", "a.dll|B4A1F07",
                           "a.dll|B00000000004A1F0g", "a.dll|B00000000004A1F070",
                           "a.dll|b00000000004a1f07", "a.dll|"};
  for (const char* record : damaged) {
    const std::string list = Payload({record, ""});
    EXPECT_EQ(Found(list.data(), list.size(), "a.dll"), "none") << record;
  }
  // A damaged record before a sound one of the same name: the sound one is found.
  const std::string both = Payload({"a.dll|X0", "a.dll|B0000000000000001", ""});
  EXPECT_EQ(Found(both.data(), both.size(), "a.dll"), "B 1");
}

TEST(JournalList, FullBufferAndDamagedLists) {
  char list[8] = {};
  size_t size = JournalListAdd(list, 0, sizeof list, "abcde");
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(JournalListAdd(list, size, sizeof list, "x"), 0u) << "no room: nothing written";
  EXPECT_EQ(Found(list, size, "abcde"), "by name");

  // A list without its closing NUL, or whose last name has no NUL: never read past size.
  const std::string noClose = std::string("a.dll\0b.dll", 11);
  EXPECT_EQ(Found(noClose.data(), noClose.size(), "a.dll"), "by name");
  EXPECT_EQ(Found(noClose.data(), noClose.size(), "b.dll"), "none");
  std::string copy = noClose;
  // The unended last name is no name: a removal leaves the list without it, closed.
  size_t left = JournalListRemove(copy.data(), copy.size(), "x");
  EXPECT_EQ(std::string(copy.data(), left), Payload({"a.dll", ""}));
  EXPECT_EQ(JournalListRemove(copy.data(), left, "a.dll"), 1u);
  // The same name twice (written by hand) goes at once.
  std::string twice = Payload({"a", "b", "a|B0000000000000001", ""});
  left = JournalListRemove(twice.data(), twice.size(), "a");
  EXPECT_EQ(std::string(twice.data(), left), Payload({"b", ""}));
}

TEST(JournalName, DropsOneLeadingBackslash) {
  EXPECT_STREQ(JournalName("\\lead.dll"), "lead.dll");
  EXPECT_STREQ(JournalName("lead.dll"), "lead.dll");
  EXPECT_STREQ(JournalName("data\\x"), "data\\x");
}

}  // namespace
