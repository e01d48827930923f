#include "package/names.h"

namespace {

unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

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
      if (p - component == 2 && component[0] == '.' && component[1] == '.') return 0;
      if (*p == '\0') return 1;
      component = p + 1;
    }
  }
}
