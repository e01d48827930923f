#include "package/names.h"

namespace {

unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

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

}  // namespace

int NamesEqual(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const unsigned char*>(a);
  const auto* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    if (FoldAscii(*x) != FoldAscii(*y)) return 0;
    if (*x == 0) return 1;
  }
}

int IsSafeRelativeName(const char* name) {
  const char* component = name;
  for (const char* p = name;; ++p) {
    if (*p == ':') return 0;
    if (*p == '\\' || *p == '/' || *p == '\0') {
      if (IsParentComponent(component, p)) return 0;
      if (*p == '\0') return 1;
      component = p + 1;
    }
  }
}
