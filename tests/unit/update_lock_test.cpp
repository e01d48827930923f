// The update lock's owner record: one name per process, read back only as written, so that a
// ticket of another shape is never taken for some other process's.
#include "shell/update_lock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Name(uint32_t id, uint64_t time) {
  char out[kLockOwnerNameSize];
  std::memset(out, 'x', sizeof out);
  FormatLockOwner({id, time}, out);
  EXPECT_LT(std::strlen(out), sizeof out);
  return out;
}

TEST(LockOwner, NamesReadBackAsWritten) {
  const struct {
    uint32_t id;
    uint64_t time;
    const char* name;
  } cases[] = {
      {0, 0, "0000000000-0000000000000000"},
      {32, 0x01DD8823E89DD9C4ull, "0000000032-01DD8823E89DD9C4"},
      {1000, 0xFEDCBA9876543210ull, "0000001000-FEDCBA9876543210"},
      {0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull, "4294967295-FFFFFFFFFFFFFFFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Name(c.id, c.time), c.name);
    EXPECT_EQ(std::strlen(c.name) + 1, kLockOwnerNameSize);
    LockOwner read{7, 7};
    ASSERT_EQ(ParseLockOwner(c.name, read), 1);
    EXPECT_EQ(read.processId, c.id);
    EXPECT_EQ(read.startTime, c.time);
  }
}

TEST(LockOwner, AnythingElseIsRefused) {
  const char* const names[] = {
      "",
      "-01DD8823E89DD9C4",             // no id
      "32-01DD8823E89DD9C4",           // the id without its leading zeros
      "00000000032-01DD8823E89DD9C4",  // one zero too many
      "4294967296-01DD8823E89DD9C4",   // beyond 32 bits
      "4294967328-01DD8823E89DD9C4",   // the same, 32 once wrapped
      "0000000032-01DD8823E89DD9C",    // fifteen hex digits
      "0000000032-01DD8823E89DD9C40",  // seventeen
      "0000000032-01dd8823e89dd9c4",   // lower case
      "0000000032-01DD8823G89DD9C4",   // not a hex digit
      "0000000032-01DD8823:89DD9C4",   // the character after '9'
      "0000000032+01DD8823E89DD9C4",   // another separator
      "0000000032",                    // the id alone
      "0000000032-01DD8823E89DD9C4 ",  // something after it
      " 0000000032-01DD8823E89DD9C4",  // or before it
      "RlPatchLock",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    LockOwner read{7, 9};
    EXPECT_EQ(ParseLockOwner(name, read), 0);
  }
}

}  // namespace
