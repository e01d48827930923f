// Owners of Win32 handles and heap blocks: released on every path by construction.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <utility>

// A file or mapping handle; "none" is null or INVALID_HANDLE_VALUE, which CreateFileA and
// CreateFileMappingA use for failure respectively.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE h) : handle_(h) {}
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Close(); }

  bool Valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  // Gives the handle up to the caller, who closes it.
  HANDLE Release() { return std::exchange(handle_, nullptr); }
  void Close() {
    if (Valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A malloc'd block, freed on every path.
class OwnedBuffer {
 public:
  explicit OwnedBuffer(size_t size) : bytes_(static_cast<unsigned char*>(malloc(size))) {}
  OwnedBuffer(const OwnedBuffer&) = delete;
  OwnedBuffer& operator=(const OwnedBuffer&) = delete;
  ~OwnedBuffer() { free(bytes_); }

  bool Valid() const { return bytes_ != nullptr; }
  unsigned char* Bytes() const { return bytes_; }

 private:
  unsigned char* bytes_;
};

// Opens an existing file for reading, sharing read access only.
inline OwnedHandle OpenForReading(const char* path) {
  return OwnedHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}
