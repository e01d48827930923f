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

// The switches of an unattended run, taken out of the tokens by TakeSwitches.
struct RunSwitches {
  int silent;     // /S: no window, no message box; the startup question counts as accepted
  int force;      // /FORCE: with /S, a package whose level is not newer is installed all the same
  char* logPath;  // /LOG=path: malloc'd copy of the path (the last such switch), or null
};
extern RunSwitches Switches;

// Takes the switches out of ArgTable/ArgCount, keeping the other tokens in their order, and
// sets Switches from them (the previous logPath is freed). A switch is a token after token 0
// that is "/S" or "/FORCE", or begins with "/LOG=", in any letter case; "/LOG=" with nothing
// after it asks for no log. Any other token, whether it begins with '/' or not, stays. 1, or 0
// when there is no memory for the log path (the switch is then taken out all the same).
int TakeSwitches();

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
