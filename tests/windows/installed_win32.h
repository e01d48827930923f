// An installed program for the update tests, and the helpers that build their packages and run
// the updater on them as a user would.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "package_writer.h"

constexpr DWORD kUpdateTimeoutMs = 20000;
// What Installed::Level gives when there is no patch level in the registry.
constexpr int64_t kNoLevel = -0x100000000LL;

// printf of a format with one %s (the updater's own texts), as the status line shows it.
std::string Format(const char* format, const std::string& argument);

WriterEntry Entry(const std::string& name, const std::vector<uint8_t>& data, bool deflate = true);

// Contents of a file entry, different for every name so that a mix-up shows.
std::vector<uint8_t> ContentsFor(const std::string& name, size_t repeat = 50);

// stream with the byte at at changed: a damaged zlib stream.
std::vector<uint8_t> Damaged(std::vector<uint8_t> stream, size_t at);

// An installed program: folder prog\ with prog.exe below a fresh folder (in base, a folder path
// without a trailing backslash, or the temporary folder), and the registry values that name it.
class Installed {
 public:
  explicit Installed(const std::string& tag, const std::string& base = "");
  // The program folder, without a trailing backslash (as installers usually store it).
  const std::string& folder() const { return folder_; }
  std::string Path(const std::string& relative) const { return folder_ + "\\" + relative; }
  RegistryFixture& registry() { return registry_; }
  std::vector<uint8_t> Keys(int32_t level) const;
  WriterEntry KeysEntry(int32_t level) const { return Entry(":RegistryKeys", Keys(level)); }
  int64_t Level() const { return registry_.GetDword("PatchLevel", kNoLevel); }
  // The names in the updater's backup journal under the program's key, in order; empty when
  // there is no journal.
  std::vector<std::string> Journal() const;
  // Writes the journal as a run killed with these backups made would have left it.
  bool SetJournal(const std::vector<std::string>& names);
  // Writes spec as update.pkg beside the program folder and returns its path.
  std::string WritePackage(const PackageSpec& spec) const;

 private:
  TempFolder root_;
  RegistryFixture registry_;
  std::string folder_;
};

// Runs the updater on packagePath (then switches, when given) and plays the user: the n-th
// message box gets answers[n] (Cancel beyond the list); a waiting window gets the click on "OK".
// Expects a start, an end and the exit code expectedExit (shell/exit_codes.h).
UserOutcome RunUpdater(const std::string& packagePath, const std::vector<int>& answers,
                       DWORD expectedExit = 0, const std::string& switches = "");

// The run ended waiting, with the completion text and exit code 0.
void ExpectCompleted(const UserOutcome& o);

// The whole state a run leaves: every file below the program folder with its contents (folders
// as "name\\"), and the patch level.
struct InstalledState {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  int64_t level = kNoLevel;
  bool operator==(const InstalledState& o) const { return files == o.files && level == o.level; }
};
InstalledState StateOf(const Installed& app);

// The log file's text, its UTF-8 checked and turned into UTF-16; bom tells whether it began with
// the UTF-8 byte-order mark (which is not part of the text). False when the file cannot be read
// or is not valid UTF-8.
bool ReadUtf8Log(const std::string& path, std::wstring& text, bool& bom);
// Windows-1251 bytes as UTF-16, as the log is expected to hold them.
std::wstring FromCp1251(const std::string& bytes);
// A status text as the log holds it: its line breaks as " | ", the last one dropped.
std::wstring AsLogged(std::string text);

// The start of an all-or-nothing package for app at level 2 (installed at 1): its keys, the mark,
// the folder logs to make and old.dll to remove, which it writes into the program folder.
PackageSpec AllOrNothingStart(Installed& app);
