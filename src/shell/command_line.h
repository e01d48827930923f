// The command line: the program's own splitting rules and the choice of run mode.
#pragma once

#include <cstdint>

constexpr int kArgTableSize = 256;

// The tokens; entry 0 is the program's own name as the command line gives it. Each entry is a
// malloc'd NUL-terminated copy. Filled by SplitCommandLine and kept for the life of the process.
extern char* ArgTable[kArgTableSize];
extern int32_t ArgCount;

// Splits commandLine (NUL-terminated, unchanged) into ArgTable/ArgCount. Blanks are the bytes
// 0x01-0x20; a double quote opens a token that runs to the next double quote or the end; there
// are no escapes; an empty quoted token ends the split. Tokens past the 256th are ignored.
// A second call releases the tokens of the first.
void SplitCommandLine(const char* commandLine);

enum class RunMode {
  Usage,          // the usage text, then wait for the user
  Build,          // tokens 0, 1, 2: program, package, output ("MAKEEXE")
  PackageFile,    // token 1: a bare package
  SelfContained,  // token 0: the program's own file, package found through its trailer
};

// The mode for the current ArgTable/ArgCount. Four or more tokens: Build when token 3 is exactly
// "MAKEEXE" (case-sensitive), else Usage. Two or three: PackageFile. One: SelfContained.
// None at all (an empty command line): Usage.
RunMode ChooseRunMode();
