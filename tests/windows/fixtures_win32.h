// Fixtures shared by the Windows tests: temporary folders, whole-file reads and writes, and
// registry keys of a test's own below HKEY_LOCAL_MACHINE. Each owner removes what it made.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A fresh folder below base (a folder path without a trailing backslash; empty: the system's
// temporary folder), removed with its contents on destruction. path() ends without a backslash.
class TempFolder {
 public:
  explicit TempFolder(const std::string& tag, const std::string& base = "");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

 private:
  std::string path_;
};

// A command-line token in double quotes.
inline std::string Quote(const std::string& s) { return "\"" + s + "\""; }
inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
inline std::string Text(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool WriteFileText(const std::string& path, const std::string& text);
// The whole file; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFileOrEmpty(const std::string& path);
bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);
// The folder's entries (names only, sorted), to show that nothing else was left behind.
std::vector<std::string> ListFolder(const std::string& path);
// Removes a folder with everything below it; safe when it does not exist. A link below it is
// removed itself, never followed.
void RemoveTree(const std::string& path);

// Every entry below folder, as paths relative to it: a file's contents, or "<folder>" for a
// folder. Shows that nothing below folder changed.
std::map<std::string, std::string> TreeSnapshot(const std::string& folder);

// Under Wine, a Unix symbolic link standing in for the junction or symbolic link a user makes on
// Windows: link (a Windows path, not existing) made to point to target (a Windows path), through
// /bin/ln, which Wine starts like any program. False when it could not be made (not under Wine).
bool MakeUnixLink(const std::string& link, const std::string& target);

// Under Wine, the stand-in for the pause an opportunistic lock gives on Windows: a watcher (a
// Linux program) that finds the Linux process whose command line holds token, waits until it has
// the file at path open and read past its start, stops it (SIGSTOP) and writes its process id to
// the file flag (a Windows path). With staged, any file whose path is path, a dot and more: the
// file's staged name, which ends in random digits. Gives up after 60 s. False when it could not
// be started.
bool StopWhenRead(const std::string& token, const std::string& path, const std::string& flag,
                  bool staged = false);

// Lets a process StopWhenRead stopped go on (SIGCONT), its id read from flag. False when flag
// names none.
bool ContinueStopped(const std::string& flag);

// Renames a folder or file as a Linux program does, whatever Windows handles to it are open.
bool MoveAsUnix(const std::string& from, const std::string& to);

// HKEY_LOCAL_MACHINE\Software\PineconeTests\<name>, created empty and deleted with its values.
class RegistryFixture {
 public:
  explicit RegistryFixture(const std::string& name);
  ~RegistryFixture();
  RegistryFixture(const RegistryFixture&) = delete;
  RegistryFixture& operator=(const RegistryFixture&) = delete;
  // The key path below HKEY_LOCAL_MACHINE, as a package names it.
  const std::string& keyPath() const { return keyPath_; }
  bool SetString(const std::string& value, const std::string& data);
  bool SetDword(const std::string& value, uint32_t data);
  // The value's type and data; false when it does not exist.
  bool Get(const std::string& value, DWORD& type, std::vector<uint8_t>& data) const;
  // The REG_DWORD's value, or fallback when it is missing or of another type.
  int64_t GetDword(const std::string& value, int64_t fallback = -0x100000000LL) const;

 private:
  std::string keyPath_;
};

// The bytes of the RL_PATCH.EXE under test.
std::vector<uint8_t> RlPatchBytes();
