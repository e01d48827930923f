// Move-only owners of Win32 handles and mapped views: released on every path by construction.
#pragma once

#include <windows.h>

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
  void Close() {
    if (Valid()) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A mapped view of a file mapping.
class MappedView {
 public:
  MappedView() = default;
  explicit MappedView(void* view) : view_(view) {}
  MappedView(MappedView&& other) noexcept : view_(std::exchange(other.view_, nullptr)) {}
  MappedView& operator=(MappedView&& other) noexcept {
    if (this != &other) {
      Unmap();
      view_ = std::exchange(other.view_, nullptr);
    }
    return *this;
  }
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() { Unmap(); }

  bool Valid() const { return view_ != nullptr; }
  unsigned char* Bytes() const { return static_cast<unsigned char*>(view_); }
  void Unmap() {
    if (view_) UnmapViewOfFile(view_);
    view_ = nullptr;
  }

 private:
  void* view_ = nullptr;
};

// Opens an existing file for reading, sharing read access only.
inline OwnedHandle OpenForReading(const char* path) {
  return OwnedHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A read-only view of all of an open file; invalid when the file is empty or cannot be mapped.
inline bool MapWholeFileForReading(const OwnedHandle& file, OwnedHandle& mapping,
                                   MappedView& view) {
  mapping = OwnedHandle(CreateFileMappingA(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.Valid()) return false;
  view = MappedView(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
  return view.Valid();
}
