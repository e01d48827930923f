// Whole-file reads and writes for pinepack. Packages are 32-bit by format, so files of 4 GiB or
// more are refused where a package is read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The bytes of path. Throws ToolError naming the path.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

// Writes bytes to a temporary file beside path and renames it over path, so that a failure
// never leaves a partial output behind. Throws ToolError naming the path.
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Human-readable path for messages (UTF-8).
std::string Show(const std::filesystem::path& path);
