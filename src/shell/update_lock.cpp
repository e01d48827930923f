#include "shell/update_lock.h"

#include <cstdint>
#include <cstring>

int UpdateLockName(const char* prefix, const char* keyPath, char* out, size_t outSize) {
  static const char kStem[] = "Pinecone.Update.";
  const size_t prefixLength = std::strlen(prefix);
  if (outSize < prefixLength + sizeof kStem - 1 + 16 + 1) {
    if (outSize > 0) out[0] = '\0';
    return 0;
  }
  size_t length = std::strlen(keyPath);
  while (length > 0 && keyPath[length - 1] == '\\') --length;
  uint64_t hash = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(keyPath[i]);
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    hash = (hash ^ c) * 0x100000001B3ull;
  }
  std::memcpy(out, prefix, prefixLength);
  char* at = out + prefixLength;
  std::memcpy(at, kStem, sizeof kStem - 1);
  at += sizeof kStem - 1;
  for (int shift = 60; shift >= 0; shift -= 4) *at++ = "0123456789ABCDEF"[(hash >> shift) & 15];
  *at = '\0';
  return 1;
}
