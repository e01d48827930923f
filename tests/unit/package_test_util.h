// Helpers of the package tests: packages made by the writer, opened by the portable reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/package.h"
#include "package_writer.h"

// Owns a PackageView over bytes held by the caller (which must outlive it).
struct LoadedView {
  PackageView view;
  int ok = 0;
  LoadedView(const std::vector<uint8_t>& bytes, int selfContained) {
    InitPackageView(view);
    SetMemorySource(view, bytes.data(), static_cast<uint32_t>(bytes.size()));
    ok = LoadPackage(view, selfContained);
  }
  ~LoadedView() { UnloadPackage(view); }
  LoadedView(const LoadedView&) = delete;
  LoadedView& operator=(const LoadedView&) = delete;
};

inline std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Deterministic, moderately compressible contents of n bytes.
inline std::vector<uint8_t> SampleData(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>((x >> 16) % 7 + 'a');
  }
  return out;
}

// A complete, valid package: both required sections, a stored and two deflated files.
inline PackageSpec SamplePackageSpec() {
  PackageSpec spec;
  spec.entries.push_back({":StartupMsg", StartupMsgPayload("Caption", "Apply?\r\nYes"), true});
  spec.entries.push_back({":RegistryKeys",
                          RegistryKeysPayload("SOFTWARE\\Maker\\Product", "ProgramPath",
                                              "ProgramName", "PatchLevel", 1),
                          true});
  spec.entries.push_back({"app.exe", SampleData(5000, 1), true});
  spec.entries.push_back({"data\\sub\\lib.dll", SampleData(3000, 2), false});
  spec.entries.push_back({"readme.txt", Bytes("hello"), true});
  return spec;
}
