/* hold_file.exe FILE READY: opens FILE for reading with no sharing, so that every other open of it
   fails as on Windows while a program holds it; then creates READY and keeps FILE open until READY
   is deleted (at most a minute). Exits 1 when FILE cannot be opened. */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  for (int i = 0; i < 1200 && GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(50);
  CloseHandle(file);
  return 0;
}
