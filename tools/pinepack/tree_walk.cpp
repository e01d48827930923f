#include "tree_walk.h"

#include <system_error>

#include "file_io.h"
#include "tool_error.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

[[noreturn]] void CannotRead(const fs::path& root, const std::string& why) {
  throw ToolError("cannot read " + Show(root) + ": " + why);
}

// A link, or an entry whose kind the listing did not give: asked of the file system by name.
bool Resolve(TreeItem& item) {
  std::error_code error;
  const fs::file_status status = fs::status(item.path, error);
  if (error) return false;
  item.folder = fs::is_directory(status);
  if (!item.folder && !fs::is_regular_file(status)) return false;
  if (!item.folder) item.size = fs::file_size(item.path, error);
  return !error;
}

}  // namespace

#if defined(_WIN32)

// FindFirstFileEx gives each entry's attributes and size with its name, a folder at a time.
std::vector<TreeItem> WalkTree(const fs::path& root) {
  std::vector<TreeItem> items;
  std::vector<size_t> pending;  // folders still to list, as indexes into items; root is ~0
  pending.push_back(SIZE_MAX);
  while (!pending.empty()) {
    const size_t at = pending.back();
    pending.pop_back();
    const fs::path folder = at == SIZE_MAX ? root : items[at].path;
    const std::string prefix = at == SIZE_MAX ? std::string() : items[at].relative + "/";
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) continue;  // an empty drive's root
      CannotRead(root, std::system_category().message(static_cast<int>(code)));
    }
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      TreeItem item;
      item.path = folder / name;
      item.relative = prefix + fs::path(name).u8string();
      const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      item.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      item.size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
      if (link && !Resolve(item)) continue;
      if (item.folder && !link) pending.push_back(items.size());
      items.push_back(std::move(item));
    } while (FindNextFileW(find, &data));
    const DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES)
      CannotRead(root, std::system_category().message(static_cast<int>(code)));
  }
  return items;
}

#else

// readdir's d_type gives the kind of all but links; a file's size is one stat.
std::vector<TreeItem> WalkTree(const fs::path& root) {
  std::vector<TreeItem> items;
  std::error_code error;
  fs::recursive_directory_iterator it(root, error), end;
  if (error) CannotRead(root, error.message());
  // A failed step ends the walk with error set.
  for (; it != end; it.increment(error)) {
    TreeItem item;
    item.path = it->path();
    item.relative = item.path.lexically_relative(root).generic_u8string();
    if (it->is_symlink() || !(it->is_directory() || it->is_regular_file())) {
      if (!Resolve(item)) continue;
    } else {
      item.folder = it->is_directory();
      if (!item.folder) item.size = it->file_size(error);
      if (error) CannotRead(item.path, error.message());
    }
    items.push_back(std::move(item));
  }
  if (error) CannotRead(root, error.message());
  return items;
}

#endif
