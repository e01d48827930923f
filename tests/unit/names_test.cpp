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

// Names of the files an update writes: safe, a file name at the end, no device in any component.
TEST(IsFileName, RefusesDevicesAndNamesWithoutAFile) {
  struct Case {
    const char* name;
    int file;
  };
  const Case cases[] = {
      {"file.txt", 1},    {"data\\sub\\f.dll", 1},
      {"\\lead.txt", 1},  {"..\\x", 0},
      {"C:x", 0},         {"", 0},
      {"\\", 0},          {"dir\\", 0},
      {"dir/", 0},        {".", 0},
      {"a\\. ", 0},       {"a\\.\\b", 1},
      {"CON", 0},         {"con", 0},
      {"Con.txt", 0},     {"nul.tar.gz", 0},
      {"PRN", 0},         {"aux.h", 0},
      {"COM1", 0},        {"com9.log", 0},
      {"LPT1", 0},        {"lpt9", 0},
      {"CON .txt", 0},    {"con ", 0},
      {"con.", 0},        {"data\\NUL\\x.dll", 0},
      {"aux\\x.dll", 0},  {"a/com1/b", 0},
      {"COM0", 1},        {"LPT10", 1},
      {"COM", 1},         {"CONSOLE", 1},
      {"icon.ico", 1},    {"xcon", 1},
      {" con", 1},        {"con_x.txt", 1},
      {"nul\xE0.txt", 1}, {"data\\prn1\\x", 1},
      {"com\xB9", 0},     {"LPT\xB2.txt", 0},
      {"a\\Com\xB3", 0},  {"com\xB4", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(IsFileName(c.name), c.file) << '"' << c.name << '"';
}

}  // namespace
