// A release folder read once: every file and folder under it with what create needs of each, so
// that no file's name is looked up again to ask its kind or size (under Wine each such question is
// a stat of its own, and they were most of a small file's time).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct TreeItem {
  std::filesystem::path path;  // the root joined with the relative path
  std::string relative;        // UTF-8, '/' between the parts
  bool folder = false;
  uint64_t size = 0;  // bytes, files only
};

// Every regular file and folder under root, in no set order. A symbolic link counts as what it
// points to, and a linked folder is listed but not entered; anything else (a device, a broken link)
// is left out. Throws ToolError naming root when it cannot be read.
std::vector<TreeItem> WalkTree(const std::filesystem::path& root);
