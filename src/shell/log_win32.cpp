#include "shell/log_win32.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <aclapi.h>

#include "package/handles_win32.h"
#include "update/checked_fs_win32.h"
#include "update/paths.h"

namespace {

// The program's own texts are Windows-1251 whatever the system's code page (shell/texts.h).
constexpr UINT kTextCodePage = 1251;
constexpr size_t kFormatBufferSize = 4096;

// Null while no log is open: zero-initialised data takes no room in the file.
HANDLE LogFile = nullptr;

// A growable UTF-16 line, malloc'd. A failed allocation drops the part being added; the line
// written is then shorter, never wrong in what it holds.
struct WideLine {
  wchar_t* text = nullptr;
  size_t length = 0;
  size_t capacity = 0;

  WideLine() = default;
  WideLine(const WideLine&) = delete;
  WideLine& operator=(const WideLine&) = delete;
  ~WideLine() { std::free(text); }

  bool Reserve(size_t more) {
    if (length + more + 1 <= capacity) return true;
    const size_t wanted = (length + more + 1) * 2;
    auto* grown = static_cast<wchar_t*>(std::realloc(text, wanted * sizeof(wchar_t)));
    if (!grown) return false;
    text = grown;
    capacity = wanted;
    return true;
  }
  void Append(const wchar_t* part, size_t count) {
    if (!Reserve(count)) return;
    std::wmemcpy(text + length, part, count);
    length += count;
    text[length] = L'\0';
  }
  void Append(const wchar_t* part) { Append(part, std::wcslen(part)); }
  void AppendAscii(const char* part) {
    const size_t count = std::strlen(part);
    if (!Reserve(count)) return;
    for (size_t i = 0; i < count; ++i) text[length++] = static_cast<unsigned char>(part[i]);
    text[length] = L'\0';
  }
  // Windows-1251 bytes (one UTF-16 unit each); each run of CR and LF becomes " | ", and a run
  // at the end is dropped, so that a status text ending in "\r\n" stays one line.
  void AppendText(const char* bytes) {
    const int count = static_cast<int>(std::strlen(bytes));
    if (count == 0) return;
    auto* wide = static_cast<wchar_t*>(std::malloc(static_cast<size_t>(count) * sizeof(wchar_t)));
    if (!wide) return;
    const int converted = MultiByteToWideChar(kTextCodePage, 0, bytes, count, wide, count);
    // Each break run of n >= 1 units becomes 3: at most 3 units per converted unit.
    if (Reserve(static_cast<size_t>(converted) * 3)) {
      for (int i = 0; i < converted; ++i) {
        if (wide[i] != L'\r' && wide[i] != L'\n') {
          text[length++] = wide[i];
          continue;
        }
        while (i + 1 < converted && (wide[i + 1] == L'\r' || wide[i + 1] == L'\n')) ++i;
        if (i + 1 == converted) break;
        text[length++] = L' ';
        text[length++] = L'|';
        text[length++] = L' ';
      }
      text[length] = L'\0';
    }
    std::free(wide);
  }
};

// The local time, "YYYY-MM-DD hh:mm:ss.mmm ".
void AppendTimestamp(WideLine& line) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[32];
  _snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth,
            now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  stamp[sizeof stamp - 1] = '\0';
  line.AppendAscii(stamp);
}

// The line, its CR LF added, as UTF-8 in one write, then flushed to the disk.
void WriteLine(WideLine& line) {
  line.Append(L"\r\n", 2);
  if (!line.text) return;
  const int length = static_cast<int>(line.length);
  const int size = WideCharToMultiByte(CP_UTF8, 0, line.text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  char* bytes = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  if (!bytes) return;
  WideCharToMultiByte(CP_UTF8, 0, line.text, length, bytes, size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(LogFile, bytes, static_cast<DWORD>(size), &written, nullptr);
  FlushFileBuffers(LogFile);
  std::free(bytes);
}

// True when file is a plain file with one name.
bool IsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  return info.nNumberOfLinks == 1;
}

// True when the file's owner is an administrator: the Administrators group, LocalSystem, or the
// account this updater runs as (an elevated administrator's files are the account's own). A file
// that a user made and owns is not appended to: that user could read and change the log.
bool OwnedByAdministrators(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  bool ok = IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
            IsWellKnownSid(owner, WinLocalSystemSid);
  HANDLE token;
  if (!ok && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    ok = GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
         EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    CloseHandle(token);
  }
  LocalFree(descriptor);
  return ok;
}

// The log's access: appends only (every write goes to the end, also while another updater
// appends to the same log), and what the checks read.
constexpr DWORD kLogAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL;
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens the log at path (made absolute first) through checked handles: the drive's or share's
// root by its name, each folder on the way relative to the one above, none a link, and the file
// itself never through one. An existing file under the log's name that is no plain file with one
// name, or not the administrators' own, is set aside under a name of its own in the same folder
// (renaming a link or a stranger's file harms nobody) and a fresh log begins: nobody can point
// the log elsewhere, read it, or stop the run by leaving a file there. aside receives the name it
// was set aside under ("" when nothing was). The file, or INVALID_HANDLE_VALUE.
HANDLE OpenCheckedLog(const char* path, char (&aside)[kPathBufferSize]) {
  aside[0] = '\0';
  char full[kPathBufferSize];
  char* filePart = nullptr;
  const DWORD length = GetFullPathNameA(path, sizeof full, full, &filePart);
  if (length == 0 || length >= sizeof full) return INVALID_HANDLE_VALUE;
  // The root: "C:\" or "\\server\share\".
  size_t rootLength = 0;
  if (full[1] == ':' && full[2] == '\\') {
    rootLength = 3;
  } else if (full[0] == '\\' && full[1] == '\\') {
    int separators = 0;
    for (rootLength = 2; full[rootLength] != '\0' && separators < 2; ++rootLength)
      separators += full[rootLength] == '\\';
    if (separators < 2) return INVALID_HANDLE_VALUE;
  } else {
    return INVALID_HANDLE_VALUE;
  }
  char canonical[kPathBufferSize];
  char leaf[kPathBufferSize];
  if (CanonicalName(full + rootLength, canonical, sizeof canonical) < 0 ||
      !FolderAndLeaf(canonical, leaf, sizeof leaf))
    return INVALID_HANDLE_VALUE;
  full[rootLength] = '\0';
  FolderTree tree;
  if (!HoldFolderByName(full, tree)) return INVALID_HANDLE_VALUE;
  HANDLE result = INVALID_HANDLE_VALUE;
  const int folder = FindFolder(tree, canonical, kFolderOpen, nullptr);
  OwnedHandle file;
  int created = 0;
  if (folder >= 0 &&
      OpenOrCreateInFolder(tree, folder, leaf, kLogAccess, kLogShare, file, created)) {
    if (!created && (!IsPlainFile(file.Get()) || !OwnedByAdministrators(file.Get()))) {
      file.Close();
      OwnedHandle foreign;
      if (OpenInFolder(tree, folder, leaf, DELETE | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       foreign) == kEntryPresent &&
          UniqueName(leaf, aside) && RenameInFolder(foreign.Get(), tree, folder, aside)) {
        foreign.Close();
        if (!OpenOrCreateInFolder(tree, folder, leaf, kLogAccess, kLogShare, file, created) ||
            !created)
          file.Close();
      }
    }
    if (file.Valid()) result = file.Release();
  }
  ReleaseFolders(tree);
  return result;
}

}  // namespace

int OpenLog(const char* path) {
  if (LogFile) CloseHandle(LogFile);
  LogFile = nullptr;
  char aside[kPathBufferSize];
  const HANDLE file = OpenCheckedLog(path, aside);
  if (file == INVALID_HANDLE_VALUE) return 0;
  LARGE_INTEGER size;
  if (GetFileSizeEx(file, &size) && size.QuadPart == 0) {
    static const unsigned char kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};
    DWORD written = 0;
    WriteFile(file, kByteOrderMark, sizeof kByteOrderMark, &written, nullptr);
  }
  LogFile = file;
  if (aside[0] != '\0')
    LogFormat("The file under the log's name was not the administrators' own: set aside as %s",
              aside);
  return 1;
}

int OpenDefaultLog() {
  // The system's own temporary folder, never the environment's %TEMP%, which the user who
  // started an elevated run can point anywhere.
  char folder[MAX_PATH + 1];
  char module[MAX_PATH + 1];
  const UINT folderLength = GetSystemWindowsDirectoryA(folder, sizeof folder);
  const DWORD moduleLength = GetModuleFileNameA(nullptr, module, sizeof module);
  if (folderLength == 0 || folderLength >= sizeof folder) return 0;
  if (moduleLength == 0 || moduleLength >= sizeof module) return 0;
  const char* name = std::strrchr(module, '\\');
  name = name ? name + 1 : module;
  char* dot = std::strrchr(module, '.');
  if (dot && dot > name) *dot = '\0';
  char path[2 * MAX_PATH + 16];
  _snprintf(path, sizeof path, "%s\\Temp\\%s.log", folder, name);
  path[sizeof path - 1] = '\0';
  return OpenLog(path);
}

int LogIsOpen() { return LogFile != nullptr; }

void LogText(const char* text) {
  if (!LogFile) return;
  WideLine line;
  AppendTimestamp(line);
  line.AppendText(text);
  WriteLine(line);
}

void LogFormat(const char* format, ...) {
  if (!LogFile) return;
  char text[kFormatBufferSize];
  va_list args;
  va_start(args, format);
  _vsnprintf(text, sizeof text, format, args);
  va_end(args);
  text[sizeof text - 1] = '\0';
  LogText(text);
}

void LogError(const char* what, const char* path, DWORD error) {
  if (!LogFile) return;
  WideLine line;
  AppendTimestamp(line);
  line.AppendText(what);
  if (path) {
    line.Append(L" ", 1);
    line.AppendText(path);
  }
  char number[48];
  _snprintf(number, sizeof number, " - error %lu: ", static_cast<unsigned long>(error));
  number[sizeof number - 1] = '\0';
  line.AppendAscii(number);
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (length > 0 && message) {
    DWORD end = length;  // the system's texts end in a line break
    while (end > 0 &&
           (message[end - 1] == L'\r' || message[end - 1] == L'\n' || message[end - 1] == L' '))
      --end;
    line.Append(message, end);
  } else {
    line.AppendAscii("(no text for this code)");
  }
  if (message) LocalFree(message);
  WriteLine(line);
}
