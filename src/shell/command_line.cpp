#include "shell/command_line.h"

#include <cstdlib>
#include <cstring>

char* ArgTable[kArgTableSize];
int32_t ArgCount = 0;
RunSwitches Switches = {0, 0, nullptr};

namespace {

bool IsBlank(unsigned char c) { return c >= 0x01 && c <= 0x20; }

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// True when text begins with prefix (lower case), ASCII letters of text folded.
bool StartsWithFolded(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    if (FoldAscii(*text) != *prefix) return false;
  }
  return true;
}

bool EqualsFolded(const char* text, const char* lower) {
  return StartsWithFolded(text, lower) && text[std::strlen(lower)] == '\0';
}

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

int TakeSwitches() {
  std::free(Switches.logPath);
  Switches = RunSwitches{0, 0, nullptr};
  int ok = 1;
  int32_t kept = ArgCount > 0 ? 1 : 0;
  for (int32_t i = 1; i < ArgCount; ++i) {
    char* token = ArgTable[i];
    if (EqualsFolded(token, "/s")) {
      Switches.silent = 1;
    } else if (EqualsFolded(token, "/force")) {
      Switches.force = 1;
    } else if (StartsWithFolded(token, "/log=")) {
      std::free(Switches.logPath);
      Switches.logPath = nullptr;
      const char* path = token + 5;
      if (*path) {
        const size_t size = std::strlen(path) + 1;
        Switches.logPath = static_cast<char*>(std::malloc(size));
        if (Switches.logPath) {
          std::memcpy(Switches.logPath, path, size);
        } else {
          ok = 0;
        }
      }
    } else {
      ArgTable[kept++] = token;
      continue;
    }
    std::free(token);
  }
  for (int32_t i = kept; i < ArgCount; ++i) ArgTable[i] = nullptr;
  ArgCount = kept;
  return ok;
}
