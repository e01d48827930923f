// File reads and writes for pinepack. Packages and updaters are read through a ByteSource and
// written through a ByteSink in bounded pieces, so memory stays the same whatever their size;
// packages are 32-bit by format, so files of 4 GiB or more are refused where one is read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package/package.h"

// The bytes of path, read whole (manifests, and the files that create packs). Throws ToolError
// naming the path.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

// Writes bytes to a temporary file beside path and renames it over path, so that a failure
// never leaves a partial output behind. Throws ToolError naming the path.
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// An open file read through source() with positioned reads; nothing of it is held in memory.
// Throws ToolError when path cannot be opened or is 4 GiB or more.
class FileSource {
 public:
  explicit FileSource(const std::filesystem::path& path);
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  const ByteSource& source() const { return source_; }

 private:
  static int Read(void* context, uint32_t offset, unsigned char* buffer, uint32_t count);
  std::filebuf file_;
  ByteSource source_{};
};

// A file written piece by piece into a temporary beside path and renamed over path by Commit.
// Destroyed without Commit (a failure on the way), it removes the temporary, so that no partial
// output is ever left under path. Every method throws ToolError naming the path.
class FileSink {
 public:
  explicit FileSink(const std::filesystem::path& path);
  ~FileSink();
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  // A sink whose write returns 0 once a write has failed (Commit then throws).
  ByteSink sink() { return ByteSink{Write, this}; }
  void Append(const uint8_t* data, size_t count);
  void Commit();

 private:
  static int Write(void* context, const unsigned char* data, uint32_t count);
  std::filesystem::path path_;
  std::filesystem::path temporary_;
  std::filebuf file_;
  bool failed_ = false;
  bool committed_ = false;
};

// Human-readable path for messages (UTF-8).
std::string Show(const std::filesystem::path& path);
