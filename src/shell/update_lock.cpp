#include "shell/update_lock.h"

#include <cstring>

void FormatLockOwner(const LockOwner& owner, char* out) {
  uint32_t id = owner.processId;
  for (int i = 9; i >= 0; --i, id /= 10) out[i] = static_cast<char>('0' + id % 10);
  out[10] = '-';
  for (int i = 0; i < 16; ++i)
    out[11 + i] = "0123456789ABCDEF"[(owner.startTime >> (60 - 4 * i)) & 15];
  out[27] = '\0';
}

int ParseLockOwner(const char* name, LockOwner& owner) {
  // Read loosely, then written again: only a name that reads back as itself is one.
  owner = {0, 0};
  const char* at = name;
  for (; *at >= '0' && *at <= '9'; ++at)
    owner.processId = owner.processId * 10 + static_cast<uint32_t>(*at - '0');
  if (*at) ++at;  // the dash
  for (; *at; ++at)
    owner.startTime =
        owner.startTime << 4 | static_cast<uint64_t>(*at <= '9' ? *at - '0' : *at - 'A' + 10);
  char written[kLockOwnerNameSize];
  FormatLockOwner(owner, written);
  return std::strcmp(written, name) == 0;
}
