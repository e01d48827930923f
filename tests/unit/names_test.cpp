#include "package/names.h"

#include <gtest/gtest.h>

namespace {

TEST(NamesEqual, FoldsOnlyAsciiLetters) {
  struct Case {
    const char* a;
    const char* b;
    int equal;
  };
  const Case cases[] = {
      {":StartupMsg", ":startupmsg", 1},
      {"ABCXYZ", "abcxyz", 1},
      {"A", "B", 0},
      {":Folders", ":FoldersX", 0},  // a prefix is not a match, either way round
      {":FoldersX", ":Folders", 0},
      {"", "", 1},
      {"", "a", 0},
      {"@", "`", 0},        // the bytes just before 'A' and 'a'
      {"[", "{", 0},        // just after 'Z' and 'z'
      {"\xC0", "\xE0", 0},  // Windows-1251 upper and lower A: compared exactly
      {"\xC0", "\xC0", 1},
      {"a\xFF", "A\xFF", 1},
      {"data\\Sub", "DATA\\sub", 1},
      {"data\\sub", "data/sub", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NamesEqual(c.a, c.b), c.equal) << '"' << c.a << "\" vs \"" << c.b << '"';
    EXPECT_EQ(NamesEqual(c.b, c.a), c.equal) << "reversed: " << c.a;
  }
}

TEST(IsSafeRelativeName, RefusesWhatLeavesTheFolder) {
  struct Case {
    const char* name;
    int safe;
  };
  const Case cases[] = {
      {"file.txt", 1},   {"data\\sub\\f.dll", 1},
      {"\\lead.txt", 1}, {"", 1},
      {"..", 0},         {"..\\x", 0},
      {"../x", 0},       {"a\\..", 0},
      {"a/..", 0},       {"a\\..\\b", 0},
      {"a/../b", 0},     {"\\..\\x", 0},
      {"C:\\x", 0},      {"C:x", 0},
      {"x:stream", 0},   {":", 0},
      {"..x", 1},        {"x..", 1},
      {"a\\...\\b", 0},  {".\\x", 1},  // Windows trims "..." and ".. " to ".."
      {"a\\.. \\b", 0},  {". \\x", 1},
      {"a\\.", 1},       {"\\\\server\\share", 1},  // no drive, no "..": stays relative
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafeRelativeName(c.name), c.safe) << c.name;
}

}  // namespace
