#include "shell/command_line.h"

#include <cstdlib>
#include <cstring>

char* ArgTable[kArgTableSize];
int32_t ArgCount = 0;

namespace {

bool IsBlank(unsigned char c) { return c >= 0x01 && c <= 0x20; }

}  // namespace

void SplitCommandLine(const char* commandLine) {
  for (int32_t i = 0; i < ArgCount; ++i) {
    std::free(ArgTable[i]);
    ArgTable[i] = nullptr;
  }
  ArgCount = 0;

  const auto* p = reinterpret_cast<const unsigned char*>(commandLine);
  while (*p && ArgCount < kArgTableSize) {
    while (IsBlank(*p)) ++p;
    if (!*p) break;
    const bool quoted = *p == '"';
    if (quoted) ++p;
    const unsigned char* start = p;
    if (quoted) {
      while (*p && *p != '"') ++p;
    } else {
      while (*p && !IsBlank(*p)) ++p;
    }
    const size_t length = static_cast<size_t>(p - start);
    if (length == 0) break;  // an empty quoted token ends the split
    char* token = static_cast<char*>(std::malloc(length + 1));
    if (!token) break;
    std::memcpy(token, start, length);
    token[length] = '\0';
    ArgTable[ArgCount++] = token;
    if (*p == '"') ++p;
  }
}

RunMode ChooseRunMode() {
  if (ArgCount > 3)
    return std::strcmp(ArgTable[3], "MAKEEXE") == 0 ? RunMode::Build : RunMode::Usage;
  if (ArgCount >= 2) return RunMode::PackageFile;
  if (ArgCount == 1) return RunMode::SelfContained;
  return RunMode::Usage;
}
