// The lock name of an update: one per installed program, whatever spelling names its key.
#include "shell/update_lock.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Name(const char* key, const char* prefix = "Global\\") {
  char out[kUpdateLockNameSize];
  EXPECT_EQ(UpdateLockName(prefix, key, out, sizeof out), 1);
  return out;
}

TEST(UpdateLockName, SameKeySameNameOtherKeyOtherName) {
  const std::string base = Name("SOFTWARE\\Maker\\Product");
  EXPECT_EQ(base.rfind("Global\\Pinecone.Update.", 0), 0u) << base;
  EXPECT_EQ(base.size(), std::string("Global\\Pinecone.Update.").size() + 16);
  EXPECT_EQ(base.find('\\', 7), std::string::npos) << "no backslash after the namespace";
  const struct {
    const char* label;
    const char* key;
    bool same;
  } cases[] = {
      {"other letter case", "software\\MAKER\\product", true},
      {"a trailing backslash", "SOFTWARE\\Maker\\Product\\", true},
      {"another product", "SOFTWARE\\Maker\\Product2", false},
      {"a sub-key", "SOFTWARE\\Maker\\Product\\Sub", false},
      {"the separator moved", "SOFTWARE\\MakerProduct\\", false},
      {"a Cyrillic letter differs", "SOFTWARE\\Maker\\\xCF", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Name(c.key) == base, c.same);
  }
  // A key far longer than an object name may be still gives a name of the same length.
  const std::string longKey(1000, 'k');
  EXPECT_EQ(Name(longKey.c_str()).size(), base.size());
  EXPECT_EQ(Name("SOFTWARE\\Maker\\Product", "Local\\").substr(6), base.substr(7));
}

TEST(UpdateLockName, TooSmallABufferGivesNothing) {
  char out[20] = "unchanged";
  EXPECT_EQ(UpdateLockName("Global\\", "key", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

}  // namespace
