// The portable pieces of the update procedure: name translation, bounded joins, the folder
// steps of a name on disk and the walk over :Folders / :FilesToRemove lists.
#include <gtest/gtest.h>

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

}  // namespace
