#include "file_io.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include "tool_error.h"

std::string Show(const std::filesystem::path& path) { return path.u8string(); }

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot open " + Show(path));
  in.seekg(0, std::ios::end);
  const std::streamoff length = in.tellg();
  if (length < 0) throw ToolError("cannot read " + Show(path));
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (length > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), length))
    throw ToolError("cannot read " + Show(path));
  return bytes;
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::filesystem::path temporary = path;
  temporary += ".pinepack-tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) throw ToolError("cannot create " + Show(temporary));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw ToolError("cannot write " + Show(temporary));
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw ToolError("cannot write " + Show(path) + ": " + error.message());
  }
}
