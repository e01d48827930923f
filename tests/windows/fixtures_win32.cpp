#include "fixtures_win32.h"

#include <algorithm>
#include <atomic>

#include "driver_win32.h"

namespace {

std::atomic<int> folderCounter{0};

}  // namespace

TempFolder::TempFolder(const std::string& tag, const std::string& base) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string parent = base.empty() ? std::string(temp) : base + "\\";
  for (;;) {
    path_ = parent + "pinecone-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(folderCounter++);
    if (CreateDirectoryA(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
    ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  CloseHandle(file);
  return ok;
}

bool WriteFileText(const std::string& path, const std::string& text) {
  return WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok) bytes.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (ok && done < bytes.size()) {
    DWORD got = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 24));
    ok = ReadFile(file, bytes.data() + done, chunk, &got, nullptr) && got > 0;
    done += got;
  }
  CloseHandle(file);
  return ok;
}

std::vector<uint8_t> ReadFileOrEmpty(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, bytes)) bytes.clear();
  return bytes;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// The Unix path of a Windows path under Wine (its last component need not exist); empty
// elsewhere.
std::string UnixPath(const std::string& windowsPath) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!unixName) return "";
  std::wstring wide(windowsPath.begin(), windowsPath.end());  // ASCII paths of the tests
  char* name = unixName(wide.c_str());
  if (!name) return "";
  std::string out = name;
  HeapFree(GetProcessHeap(), 0, name);
  return out;
}

// Starts the Linux program at unixProgram with the arguments given (quoted). Wine does not wait
// for a Linux program nor report its exit code: the caller polls for its effect.
bool RunUnix(const std::string& unixProgram, const std::vector<std::string>& arguments) {
  std::string commandLine = Quote(unixProgram);
  for (const std::string& a : arguments) commandLine += " " + Quote(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const std::string program = "Z:" + unixProgram;  // drive Z: is the Unix root under Wine
  if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    return false;
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return true;
}

}  // namespace

bool MakeUnixLink(const std::string& link, const std::string& target) {
  const std::string unixLink = UnixPath(link), unixTarget = UnixPath(target);
  if (unixLink.empty() || unixTarget.empty()) return false;
  // The exit code Wine reports for a Linux program is not its own: the link is looked at instead.
  if (!RunUnix("/bin/ln", {"-s", unixTarget, unixLink})) return false;
  for (int wait = 0; wait < 100 && !PathExists(link); ++wait) Sleep(50);
  return PathExists(link);
}

bool StopWhenRead(const std::string& token, const std::string& path, const std::string& flag,
                  bool staged) {
  static const char kWatcher[] = R"(
import os, signal, sys, time
token, target, flag = sys.argv[1].encode(), os.path.realpath(sys.argv[2]), sys.argv[3]
staged = sys.argv[4] == '1'
end = time.time() + 60
pid = None
while pid is None and time.time() < end:
    for p in os.listdir('/proc'):
        try:
            mine = p.isdigit() and int(p) != os.getpid()
            if mine and token in open('/proc/%s/cmdline' % p, 'rb').read():
                pid = p
        except OSError:
            pass
while pid is not None and time.time() < end:
    try:
        fds = os.listdir('/proc/%s/fd' % pid)
    except OSError:
        sys.exit(1)
    for fd in fds:
        try:
            link = os.readlink('/proc/%s/fd/%s' % (pid, fd))
            if link != target if not staged else not link.startswith(target + '.'):
                continue
            with open('/proc/%s/fdinfo/%s' % (pid, fd)) as info:
                position = int(info.readline().split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if position > 0:
            os.kill(int(pid), signal.SIGSTOP)
            with open(flag, 'w') as out:
                out.write(pid)
            sys.exit(0)
)";
  const std::string unixPath = UnixPath(path), unixFlag = UnixPath(flag);
  if (unixPath.empty() || unixFlag.empty()) return false;
  return RunUnix("/usr/bin/python3",
                 {"-c", kWatcher, token, unixPath, unixFlag, staged ? "1" : "0"});
}

bool ContinueStopped(const std::string& flag) {
  const std::string pid = Text(ReadFileOrEmpty(flag));
  return !pid.empty() && RunUnix("/bin/kill", {"-CONT", pid});
}

bool MoveAsUnix(const std::string& from, const std::string& to) {
  const std::string unixFrom = UnixPath(from), unixTo = UnixPath(to);
  if (unixFrom.empty() || unixTo.empty() || !RunUnix("/bin/mv", {unixFrom, unixTo})) return false;
  for (int wait = 0; wait < 100 && !PathExists(to); ++wait) Sleep(50);
  return PathExists(to);
}

std::map<std::string, std::string> TreeSnapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const std::string& name : ListFolder(folder)) {
    const std::string path = folder + "\\" + name;
    if (IsFolder(path)) {
      out[name] = "<folder>";
      for (const auto& [below, contents] : TreeSnapshot(path)) out[name + "\\" + below] = contents;
    } else {
      out[name] = Text(ReadFileOrEmpty(path));
    }
  }
  return out;
}

void RemoveTree(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // A link: removed itself, whatever it points to.
    if (!RemoveDirectoryA(path.c_str()) && !DeleteFileA(path.c_str())) {
      const std::string unixPath = UnixPath(path);
      if (!unixPath.empty() && RunUnix("/bin/rm", {"-f", unixPath})) {
        for (int wait = 0; wait < 100 && PathExists(path); ++wait) Sleep(50);
      }
    }
    return;
  }
  if (!IsFolder(path)) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    return;
  }
  for (const std::string& name : ListFolder(path)) RemoveTree(path + "\\" + name);
  RemoveDirectoryA(path.c_str());
}

RegistryFixture::RegistryFixture(const std::string& name)
    : keyPath_("Software\\PineconeTests\\" + name) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath_.c_str());
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) == ERROR_SUCCESS)
    RegCloseKey(key);
}

RegistryFixture::~RegistryFixture() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath_.c_str()); }

namespace {

bool SetValue(const std::string& keyPath, const std::string& value, DWORD type, const void* data,
              DWORD size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return false;
  const bool ok = RegSetValueExA(key, value.c_str(), 0, type, static_cast<const BYTE*>(data),
                                 size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

}  // namespace

bool RegistryFixture::SetString(const std::string& value, const std::string& data) {
  return SetValue(keyPath_, value, REG_SZ, data.c_str(), static_cast<DWORD>(data.size() + 1));
}

bool RegistryFixture::SetDword(const std::string& value, uint32_t data) {
  return SetValue(keyPath_, value, REG_DWORD, &data, sizeof data);
}

bool RegistryFixture::Get(const std::string& value, DWORD& type, std::vector<uint8_t>& data) const {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  DWORD size = 0;
  bool ok = RegQueryValueExA(key, value.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  if (ok) {
    data.resize(size);
    ok = RegQueryValueExA(key, value.c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
    data.resize(size);
  }
  RegCloseKey(key);
  return ok;
}

int64_t RegistryFixture::GetDword(const std::string& value, int64_t fallback) const {
  DWORD type = 0;
  std::vector<uint8_t> data;
  if (!Get(value, type, data) || type != REG_DWORD || data.size() != 4) return fallback;
  int32_t level;
  memcpy(&level, data.data(), 4);
  return level;
}

std::vector<uint8_t> RlPatchBytes() { return ReadFileOrEmpty(RlPatchPath()); }
