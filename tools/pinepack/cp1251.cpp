#include "cp1251.h"

#include <cstdint>
#include <cstdio>

namespace {

// Code points of the bytes 0x80-0xBF; 0 marks 0x98, which has none. 0xC0-0xFF are U+0410-U+044F.
constexpr uint16_t kUpperHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
};

uint32_t CodePointOf(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);
  return kUpperHalf[byte - 0x80];
}

// The Windows-1251 byte of code point cp, or -1.
int ByteOf(uint32_t cp) {
  if (cp < 0x80) return static_cast<int>(cp);
  if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(0xC0 + (cp - 0x0410));
  for (int i = 0; i < 64; ++i) {
    if (kUpperHalf[i] != 0 && kUpperHalf[i] == cp) return 0x80 + i;
  }
  return -1;
}

std::string Describe(uint32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
  return buffer;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool Utf8ToCp1251(const std::string& utf8, std::string& out, std::string& error) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const size_t n = utf8.size();
  for (size_t i = 0; i < n;) {
    const size_t start = i;
    const unsigned char lead = s[i++];
    uint32_t cp;
    int continuation;
    uint32_t minimum;
    if (lead < 0x80) {
      cp = lead;
      continuation = 0;
      minimum = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F;
      continuation = 1;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F;
      continuation = 2;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07;
      continuation = 3;
      minimum = 0x10000;
    } else {
      error = "malformed UTF-8 at byte " + std::to_string(start);
      return false;
    }
    for (int k = 0; k < continuation; ++k) {
      if (i >= n || (s[i] & 0xC0) != 0x80) {
        error = "malformed UTF-8 at byte " + std::to_string(start);
        return false;
      }
      cp = (cp << 6) | (s[i++] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (cp < minimum || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      error = "malformed UTF-8 at byte " + std::to_string(start);
      return false;
    }
    if (cp == 0) {
      error = "a NUL character at byte " + std::to_string(start);
      return false;
    }
    const int byte = ByteOf(cp);
    if (byte < 0) {
      error = "character " + Describe(cp) + " at byte " + std::to_string(start) +
              " has no Windows-1251 form";
      return false;
    }
    out += static_cast<char>(byte);
  }
  return true;
}

std::string Cp1251ToUtf8(const std::string& cp1251) {
  std::string out;
  out.reserve(cp1251.size() * 2);
  for (const char c : cp1251) {
    const uint32_t cp = CodePointOf(static_cast<unsigned char>(c));
    AppendUtf8(out, cp == 0 && c != '\0' ? 0xFFFD : cp);
  }
  return out;
}
