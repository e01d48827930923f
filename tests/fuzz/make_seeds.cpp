// Writes the fuzzer's seed corpus: small packages and updaters made by the package writer,
// covering every section, both directory methods, stored and deflated, empty and long entries,
// and signed updaters (PE32 and PE32+, with and without signing's padding).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "delta_writer.h"
#include "package_test_util.h"
#include "package_writer.h"

namespace {

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

void Save(const std::filesystem::path& folder, const std::string& name,
          const std::vector<uint8_t>& bytes) {
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (folder / name).c_str());
    std::exit(1);
  }
}

PackageSpec Full(bool deflate) {
  PackageSpec spec;
  spec.deflateDirectory = deflate;
  spec.entries.push_back({":StartupMsg", StartupMsgPayload("Update", "Apply it?\r\nYes"), deflate});
  spec.entries.push_back({":RegistryKeys",
                          RegistryKeysPayload("SOFTWARE\\Maker\\Product", "ProgramPath",
                                              "ProgramName", "PatchLevel", 2),
                          deflate});
  spec.entries.push_back(
      {":XlatNamesTable", XlatTablePayload({{"~1.dll", "data\\sub\\a.dll"}}), deflate});
  spec.entries.push_back({":Folders", NameListPayload({"data", "data\\sub"}), deflate});
  spec.entries.push_back({":FilesToRemove", NameListPayload({"old.dll"}), deflate});
  std::string text;
  for (int i = 0; i < 40; ++i) text += "line " + std::to_string(i) + "\r\n";
  spec.entries.push_back({"app.exe", Text(text), true});
  spec.entries.push_back({"~1.dll", Text("MZ library"), false});
  spec.entries.push_back({"empty.txt", {}, deflate});
  return spec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::filesystem::create_directories(folder);
  const std::vector<uint8_t> exe = Text("MZ\x90 a tiny stand-in for the updater executable");

  const std::vector<uint8_t> deflated = WritePackage(Full(true));
  const std::vector<uint8_t> stored = WritePackage(Full(false));
  Save(folder, "full-deflated.pkg", deflated);
  Save(folder, "full-stored.pkg", stored);
  Save(folder, "full-deflated.exe", WrapUpdater(exe, deflated));
  Save(folder, "full-stored.exe", WrapUpdater(exe, stored));
  Save(folder, "twice-wrapped.exe", WrapUpdater(WrapUpdater(exe, stored), deflated));

  // A delta package: a file's two deltas and its whole entry, beside a whole file.
  const std::vector<uint8_t> v1 = SampleData(2000, 11), v2 = SampleData(2100, 12);
  std::vector<uint8_t> v3 = v1;
  v3.insert(v3.begin() + 700, v2.begin(), v2.begin() + 90);
  PackageSpec deltas = Full(true);
  for (const std::vector<uint8_t>* base : {&v1, &v2}) {
    WriterEntry delta{"tool.exe", MakeDelta(*base, v3), false};
    delta.extraFlags |= ENTRY_DELTA;
    deltas.entries.push_back(delta);
  }
  deltas.entries.push_back({"tool.exe", v3, true});
  // And a near copy of it under another name, from tool.exe's new version.
  std::vector<uint8_t> copy = v3;
  copy[100] ^= 1;
  WriterEntry fromTool{"tool2.exe", MakeDelta(v3, copy), false};
  fromTool.extraFlags |= ENTRY_DELTA;
  WriteLE32(fromTool.data.data() + kDeltaBaseEntryOffset,
            static_cast<uint32_t>(deltas.entries.size() - 3 + 1));
  deltas.entries.push_back(fromTool);
  const std::vector<uint8_t> deltaPackage = WritePackage(deltas);
  Save(folder, "deltas.pkg", deltaPackage);
  Save(folder, "deltas.exe", WrapUpdater(exe, deltaPackage));

  // Signed: the builder's output needs no padding; a PE32+ updater built without the builder's
  // padding gets 3 zeros from signing; a signed executable as the updater's executable part.
  Save(folder, "signed.exe", Signed(WrapUpdater(PeImage(false, 600), stored), 64));
  std::vector<uint8_t> unpadded = PeImage(true, 600);
  unpadded.insert(unpadded.end(), deflated.begin(), deflated.end());
  while (unpadded.size() % 8 != 5) unpadded.push_back('x');
  const unsigned char trailer[8] = {0x58, 0x02, 0, 0, 'P', 'I', 'N', 'E'};  // offset 600
  unpadded.insert(unpadded.end(), trailer, trailer + 8);
  Save(folder, "signed-padded.exe", Signed(unpadded, 16));
  Save(folder, "signed-exe-wrapped.exe", WrapUpdater(Signed(PeImage(false, 600), 32), stored));
  // A signed updater whose certificate table an attacker grew by a package and a trailer.
  const std::vector<uint8_t> signedUpdater = Signed(WrapUpdater(PeImage(false, 600), stored), 64);
  Save(folder, "signed-grown.exe",
       GrownTable(signedUpdater, HiddenUpdaterTail(deflated, signedUpdater.size())));

  PackageSpec minimal;
  minimal.entries.push_back({":RegistryKeys", RegistryKeysPayload("K", "F", "N", "P", -1), false});
  minimal.deflateDirectory = false;
  Save(folder, "minimal.pkg", WritePackage(minimal));

  PackageSpec files;
  files.entries.push_back({"\\lead.txt", Text("leading backslash"), true});
  files.entries.push_back({"a\\b\\c.bin", std::vector<uint8_t>(300, 0x41), true});
  files.entries.push_back({":Other", Text("ignored section"), false});
  files.entries.push_back({std::string(31, 'n'), Text("longest name"), false});
  Save(folder, "files-only.pkg", WritePackage(files));
  return 0;
}
