#include "shell/log_win32.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

// The program's own texts are Windows-1251 whatever the system's code page (shell/texts.h).
constexpr UINT kTextCodePage = 1251;
constexpr size_t kFormatBufferSize = 4096;

HANDLE LogFile = INVALID_HANDLE_VALUE;

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

}  // namespace

int OpenLog(const char* path) {
  if (LogFile != INVALID_HANDLE_VALUE) CloseHandle(LogFile);
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file, also
  // when another updater appends to the same log. The reparse point itself is opened, not
  // followed, so that the check below sees it.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  LogFile = INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) return 0;
  if (!IsPlainFile(file)) {
    CloseHandle(file);
    return 0;
  }
  LARGE_INTEGER size;
  if (GetFileSizeEx(file, &size) && size.QuadPart == 0) {
    static const unsigned char kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};
    DWORD written = 0;
    WriteFile(file, kByteOrderMark, sizeof kByteOrderMark, &written, nullptr);
  }
  LogFile = file;
  return 1;
}

int OpenDefaultLog() {
  char folder[MAX_PATH + 1];
  char module[MAX_PATH + 1];
  const DWORD folderLength = GetTempPathA(sizeof folder, folder);
  const DWORD moduleLength = GetModuleFileNameA(nullptr, module, sizeof module);
  if (folderLength == 0 || folderLength >= sizeof folder) return 0;
  if (moduleLength == 0 || moduleLength >= sizeof module) return 0;
  const char* name = std::strrchr(module, '\\');
  name = name ? name + 1 : module;
  char* dot = std::strrchr(module, '.');
  if (dot && dot > name) *dot = '\0';
  char path[2 * MAX_PATH + 8];
  _snprintf(path, sizeof path, "%s%s.log", folder, name);
  path[sizeof path - 1] = '\0';
  return OpenLog(path);
}

int LogIsOpen() { return LogFile != INVALID_HANDLE_VALUE; }

void LogText(const char* text) {
  if (LogFile == INVALID_HANDLE_VALUE) return;
  WideLine line;
  AppendTimestamp(line);
  line.AppendText(text);
  WriteLine(line);
}

void LogFormat(const char* format, ...) {
  if (LogFile == INVALID_HANDLE_VALUE) return;
  char text[kFormatBufferSize];
  va_list args;
  va_start(args, format);
  _vsnprintf(text, sizeof text, format, args);
  va_end(args);
  text[sizeof text - 1] = '\0';
  LogText(text);
}

void LogError(const char* what, const char* path, DWORD error) {
  if (LogFile == INVALID_HANDLE_VALUE) return;
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
