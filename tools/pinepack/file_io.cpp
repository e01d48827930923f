#include "file_io.h"

#include <cerrno>
#include <system_error>

#include "tool_error.h"

namespace fs = std::filesystem;

std::string Show(const fs::path& path) { return path.u8string(); }

namespace {

// "cannot open PATH: REASON", the reason the C runtime gave (a sharing violation is EACCES there).
[[noreturn]] void CannotOpen(const fs::path& path, int code) {
  throw ToolError("cannot open " + Show(path) +
                  (code != 0 ? ": " + std::generic_category().message(code) : std::string()));
}

}  // namespace

std::vector<uint8_t> ReadFileBytes(const fs::path& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) CannotOpen(path, errno);
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  if (length < 0) throw ToolError("cannot read " + Show(path));
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (length > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), length))
    throw ToolError("cannot read " + Show(path));
  return bytes;
}

void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  FileSink out(path);
  out.Append(bytes.data(), bytes.size());
  out.Commit();
}

FileSource::FileSource(const fs::path& path) {
  errno = 0;
  if (!file_.open(path, std::ios::in | std::ios::binary)) CannotOpen(path, errno);
  const std::streamoff length = file_.pubseekoff(0, std::ios::end, std::ios::in);
  if (length < 0) throw ToolError("cannot read " + Show(path));
  if (static_cast<uint64_t>(length) > UINT32_MAX)
    throw ToolError(Show(path) + " is 4 GiB or more, beyond the format's 32-bit offsets");
  source_ = ByteSource{Read, this, static_cast<uint32_t>(length)};
}

int FileSource::Read(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  std::filebuf& file = static_cast<FileSource*>(context)->file_;
  if (file.pubseekpos(offset, std::ios::in) != std::streampos(offset)) return 0;
  return file.sgetn(reinterpret_cast<char*>(buffer), count) == static_cast<std::streamsize>(count);
}

FileSink::FileSink(const fs::path& path) : path_(path), temporary_(path) {
  temporary_ += ".pinepack-tmp";
  if (!file_.open(temporary_, std::ios::out | std::ios::binary | std::ios::trunc))
    throw ToolError("cannot create " + Show(temporary_));
}

FileSink::~FileSink() {
  if (committed_) return;
  file_.close();
  std::error_code ignored;
  fs::remove(temporary_, ignored);
}

int FileSink::Write(void* context, const unsigned char* data, uint32_t count) {
  auto* self = static_cast<FileSink*>(context);
  if (!self->failed_ &&
      self->file_.sputn(reinterpret_cast<const char*>(data), count) != std::streamsize(count))
    self->failed_ = true;
  return !self->failed_;
}

void FileSink::Append(const uint8_t* data, size_t count) {
  while (count > 0) {
    const uint32_t step = count < kExtractChunk ? static_cast<uint32_t>(count) : kExtractChunk;
    if (!Write(this, data, step)) throw ToolError("cannot write " + Show(temporary_));
    data += step;
    count -= step;
  }
}

void FileSink::Commit() {
  if (!file_.close() || failed_) throw ToolError("cannot write " + Show(temporary_));
  std::error_code error;
  fs::rename(temporary_, path_, error);
  if (error) throw ToolError("cannot write " + Show(path_) + ": " + error.message());
  committed_ = true;
}
