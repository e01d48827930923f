// libFuzzer target: arbitrary bytes as a bare package and as a self-contained updater, through
// open, section checks and extraction of every entry. Besides the sanitizers it traps when the
// reader breaks its own promises: a package that opened must have NUL-terminated names, control
// sections that extract and parse, and entries that extract into exactly their size.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package/format.h"
#include "package/names.h"
#include "package/package.h"
#include "package/sections.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

void CheckSections(const PackageView& view) {
  for (const char* key : kControlSections) {
    const int index = FindEntry(view, key);
    if (index < 0) continue;
    const uint32_t size = view.directory[index].size;
    unsigned char* payload = ExtractToBuffer(view, index);
    Require(payload != nullptr);  // checked at open
    if (NamesEqual(key, kStartupMsgSection)) {
      const char* caption;
      const char* text;
      Require(ParseStartupMsg(payload, size, caption, text) == 1);
    } else if (NamesEqual(key, kRegistryKeysSection)) {
      RegistryKeys keys;
      Require(ParseRegistryKeys(payload, size, keys) == 1);
    } else if (NamesEqual(key, kXlatNamesSection)) {
      Require(CheckXlatTable(payload, size) == 1);
    } else {
      Require(CheckNameList(payload, size, 1) == 1);
    }
    std::free(payload);
  }
}

void ExtractAll(const PackageView& view) {
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    const DirectoryEntry& e = view.directory[i];
    Require(std::memchr(e.name, 0, kEntryNameSize) != nullptr);
    Require(IsControlSection(e) || IsFileName(e.name));
    // Exactly size bytes, so that the sanitizer sees any write past them.
    unsigned char* destination = static_cast<unsigned char*>(std::malloc(e.size ? e.size : 1));
    if (!destination) continue;
    ExtractEntry(view, static_cast<int>(i), destination);
    std::free(destination);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  for (int selfContained = 0; selfContained < 2; ++selfContained) {
    PackageView view;
    InitPackageView(view);
    SetMemorySource(view, data, static_cast<uint32_t>(size));
    if (LoadPackage(view, selfContained)) {
      Require(view.directory != nullptr && view.header.entryCount > 0);
      CheckSections(view);
      ExtractAll(view);
    }
    UnloadPackage(view);
    Require(view.directory == nullptr);
  }
  return 0;
}
