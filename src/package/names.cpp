#include "package/names.h"

#include <cstring>

namespace {

unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Windows drops trailing dots and blanks from a path component, so ".. " and "..." may act as
// "..": a component made of dots and blanks only, with two dots or more, is refused.
bool IsParentComponent(const char* begin, const char* end) {
  int dots = 0;
  for (const char* c = begin; c != end; ++c) {
    if (*c == '.')
      ++dots;
    else if (*c != ' ')
      return false;
  }
  return dots >= 2;
}

// Windows opens the device, not a file, for a component whose part before its first dot is a
// device name once trailing blanks are dropped: "con", "NUL.txt", "com1 .log".
bool IsDeviceComponent(const char* begin, const char* end) {
  static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
  const char* dot = static_cast<const char*>(std::memchr(begin, '.', end - begin));
  if (dot) end = dot;
  while (end > begin && end[-1] == ' ') --end;
  const long length = end - begin;
  if (length != 3 && length != 4) return false;
  char base[4];
  for (long i = 0; i < length; ++i) base[i] = static_cast<char>(FoldAscii(begin[i]));
  if (length == 3) {
    for (const char* device : kDevices) {
      if (std::memcmp(base, device, 3) == 0) return true;
    }
    return false;
  }
  if (std::memcmp(base, "com", 3) != 0 && std::memcmp(base, "lpt", 3) != 0) return false;
  // The digits 1 to 9, and the superscripts one, two and three of the Western code pages, which
  // Windows reserves as port names too.
  const auto digit = static_cast<unsigned char>(base[3]);
  return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// A last component that Windows trims to nothing (empty, or only dots and blanks) names the
// folder it is in, not a file.
bool IsEmptyFileName(const char* begin, const char* end) {
  for (const char* c = begin; c != end; ++c) {
    if (*c != '.' && *c != ' ') return false;
  }
  return true;
}

}  // namespace

int NamesEqual(const char* a, const char* b) { return CompareNames(a, b) == 0; }

int CompareNames(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    const int order = FoldAscii(*x) - FoldAscii(*y);
    if (order != 0 || *x == 0) return order;
  }
}

int IsSafeRelativeName(const char* name) {
  const char* component = name;
  for (const char* p = name;; ++p) {
    if (*p == ':') return 0;
    if (IsSeparator(*p) || *p == '\0') {
      if (IsParentComponent(component, p)) return 0;
      if (*p == '\0') return 1;
      component = p + 1;
    }
  }
}

int IsFileName(const char* name) {
  if (!IsSafeRelativeName(name)) return 0;
  const char* component = name;
  for (const char* p = name;; ++p) {
    if (IsSeparator(*p) || *p == '\0') {
      if (IsDeviceComponent(component, p)) return 0;
      if (*p == '\0') return !IsEmptyFileName(component, p);
      component = p + 1;
    }
  }
}
