#include "update/file_holder_win32.h"

#include <windows.h>

#include <cstring>

#include "update/paths.h"

namespace {

// The records of the Restart Manager's interface (restartmanager.h, Windows Vista and later).
struct RmUniqueProcess {
  DWORD processId;
  FILETIME startTime;
};
struct RmProcessInfo {
  RmUniqueProcess process;
  wchar_t appName[256];
  wchar_t serviceShortName[64];
  int applicationType;
  ULONG appStatus;
  DWORD sessionId;
  BOOL restartable;
};

using RmStartSessionFunction = DWORD(WINAPI*)(DWORD*, DWORD, wchar_t*);
using RmRegisterResourcesFunction = DWORD(WINAPI*)(DWORD, UINT, const wchar_t**, UINT, void*, UINT,
                                                   const wchar_t**);
using RmGetListFunction = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RmProcessInfo*, DWORD*);
using RmEndSessionFunction = DWORD(WINAPI*)(DWORD);

template <typename Function>
Function Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

void FileHolderName(const char* path, char* out, size_t outSize) {
  out[0] = '\0';
  // From System32 alone: the folder the updater was started from may hold a planted DLL.
  HMODULE module = LoadLibraryExA("rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) return;
  const auto start = Find<RmStartSessionFunction>(module, "RmStartSession");
  const auto add = Find<RmRegisterResourcesFunction>(module, "RmRegisterResources");
  const auto list = Find<RmGetListFunction>(module, "RmGetList");
  const auto end = Find<RmEndSessionFunction>(module, "RmEndSession");
  wchar_t wide[kPathBufferSize];
  DWORD session = 0;
  wchar_t key[33];
  if (start && add && list && end &&
      MultiByteToWideChar(CP_ACP, 0, path, -1, wide, kPathBufferSize) > 0 &&
      start(&session, 0, key) == ERROR_SUCCESS) {
    const wchar_t* files[1] = {wide};
    RmProcessInfo info[4];
    UINT needed = 0;
    UINT count = 4;
    DWORD reasons = 0;
    const DWORD listed = add(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS
                             ? list(session, &needed, &count, info, &reasons)
                             : ERROR_INVALID_DATA;
    // Up to four programs are listed; with more (ERROR_MORE_DATA) the list is not filled.
    if (listed == ERROR_SUCCESS && count > 0 && outSize > 8) {
      info[0].appName[255] = L'\0';
      char name[256];
      if (WideCharToMultiByte(CP_ACP, 0, info[0].appName, -1, name, sizeof name, nullptr, nullptr) >
          1) {
        std::strcpy(out, " (");
        JoinPath(out + 2, outSize - 3, name, ")");
        if (out[2] == '\0') out[0] = '\0';
      }
    }
    end(session);
  }
  FreeLibrary(module);
}
