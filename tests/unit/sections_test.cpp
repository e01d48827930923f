#include "package/sections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Raw(const char* s, size_t n) {
  return std::vector<unsigned char>(s, s + n);
}

TEST(SkipString, StaysInsideSize) {
  const std::vector<unsigned char> data = Raw("ab\0c\0d", 6);
  struct Case {
    uint32_t size;
    uint32_t offset;
    uint32_t next;
  };
  const Case cases[] = {
      {6, 0, 3}, {6, 3, 5}, {6, 5, 0},  // "d" has no NUL inside size
      {6, 6, 0}, {6, 7, 0}, {2, 0, 0},  // the NUL at 2 is outside a size of 2
      {3, 0, 3}, {3, 2, 3}, {0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SkipString(data.data(), c.size, c.offset), c.next)
        << "size " << c.size << " offset " << c.offset;
  }
}

TEST(ParseRegistryKeys, LevelRightAfterTheFourthNul) {
  struct Case {
    std::vector<unsigned char> payload;
    int ok;
    int32_t level;
  };
  const Case cases[] = {
      {Raw("K\0F\0N\0P\0\x01\0\0\0", 12), 1, 1},
      {Raw("K\0F\0N\0P\0\xFF\xFF\xFF\xFF\0", 13), 1, -1},
      {Raw("K\0F\0N\0P\0\x00\x00\x00\x80", 12), 1, INT32_MIN},
      {Raw("\0\0\0\0\x02\0\0\0", 8), 1, 2},  // four empty strings are a complete layout
      {Raw("K\0F\0N\0P\0\x01\0\0", 11), 0, 0},
      {Raw("K\0F\0N\0P\0", 8), 0, 0},
      {Raw("K\0F\0N\0P", 7), 0, 0},
      {Raw("K\0F\0N", 5), 0, 0},
  };
  for (const Case& c : cases) {
    RegistryKeys keys{};
    const int ok =
        ParseRegistryKeys(c.payload.data(), static_cast<uint32_t>(c.payload.size()), keys);
    EXPECT_EQ(ok, c.ok) << c.payload.size() << " bytes";
    if (ok) {
      EXPECT_EQ(keys.patchLevel, c.level);
    }
  }
  const std::vector<unsigned char> named = Raw("Key\0Folder\0File\0Level\0\x05\0\0\0", 26);
  RegistryKeys keys{};
  ASSERT_EQ(ParseRegistryKeys(named.data(), 26, keys), 1);
  EXPECT_STREQ(keys.keyPath, "Key");
  EXPECT_STREQ(keys.folderValueName, "Folder");
  EXPECT_STREQ(keys.fileValueName, "File");
  EXPECT_STREQ(keys.patchValueName, "Level");
  EXPECT_EQ(keys.patchLevel, 5);
}

TEST(ParseStartupMsg, CaptionThenText) {
  const std::vector<unsigned char> payload = Raw("Cap\0Line1\r\nLine2\0\0", 19);
  const char* caption = nullptr;
  const char* text = nullptr;
  ASSERT_EQ(ParseStartupMsg(payload.data(), 19, caption, text), 1);
  EXPECT_STREQ(caption, "Cap");
  EXPECT_STREQ(text, "Line1\r\nLine2");
  EXPECT_EQ(ParseStartupMsg(payload.data(), 4, caption, text), 0);   // the text's NUL is outside
  EXPECT_EQ(ParseStartupMsg(payload.data(), 17, caption, text), 1);  // exactly at the end
  EXPECT_EQ(ParseStartupMsg(payload.data(), 16, caption, text), 0);
}

TEST(NameListsAndXlat, SafetyIsChecked) {
  struct Case {
    std::vector<unsigned char> payload;
    int listUnchecked;
    int listSafe;
    int xlat;
  };
  const Case cases[] = {
      {Raw("a\0b\0\0", 5), 1, 1, 1},
      {Raw("a\0..\0\0", 6), 1, 0, 0},  // ".." as a list name, or as a target
      {Raw("..\0a\0\0", 6), 1, 0, 1},  // ".." as an entry name translates nothing dangerous
      {Raw("a\0b\0", 4), 0, 0, 0},
      {Raw("a\0\0", 3), 1, 1, 0},  // a list of one; a pair without its target
      {Raw("\0", 1), 1, 1, 1},
      {Raw("a\0c:x\0\0", 7), 1, 0, 0},
      {Raw("a\0CON\0\0", 7), 1, 1, 0},  // a device: a list may name it, no file is written there
      {Raw("a\0d\\nul.x\0\0", 11), 1, 1, 0},
      {Raw("a\0\\\0\0", 5), 1, 1, 0},   // a lone "\" names no file
      {Raw("con\0a\0\0", 7), 1, 1, 1},  // entry names are checked with the directory
  };
  for (const Case& c : cases) {
    const auto size = static_cast<uint32_t>(c.payload.size());
    const std::string shown(c.payload.begin(), c.payload.end());
    EXPECT_EQ(CheckNameList(c.payload.data(), size, 0), c.listUnchecked) << shown;
    EXPECT_EQ(CheckNameList(c.payload.data(), size, 1), c.listSafe) << shown;
    EXPECT_EQ(CheckXlatTable(c.payload.data(), size), c.xlat) << shown;
  }
}

}  // namespace
