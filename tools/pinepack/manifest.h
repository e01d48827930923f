// The vendor's package manifest: a small JSON file beside the folder of new files.
//
//   {
//     "registry": { "key": "SOFTWARE\\Maker\\Product", "folderValue": "ProgramPath",
//                   "fileValue": "ProgramName", "patchLevelValue": "PatchLevel" },
//     "patchLevel": 2,
//     "startup": { "caption": "...", "text": "line 1\nline 2" },      (optional)
//     "folders": [ "data", "data/sub" ],                              (optional)
//     "remove": [ "old.dll" ],                                        (optional)
//     "rename": { "path/in/folder.dll": "name\\on\\disk.dll" },       (optional)
//     "entryNames": { "path/in/folder.dll": "~1.dll" }                (optional)
//   }
//
// Texts are UTF-8 in the file and Windows-1251 in the package; the startup text's line breaks
// become CR LF. Names may use '/' or '\' and are stored with '\'. entryNames gives a file the
// entry name to store it under (at most 31 bytes, kept byte for byte) instead of the one create
// would choose; pinepack extract writes it so that a rebuilt package keeps its entry names.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Every string already converted to Windows-1251, names with '\' separators.
struct Manifest {
  std::string keyPath;
  std::string folderValue;
  std::string fileValue;
  std::string patchLevelValue;
  int32_t patchLevel = 0;
  bool hasStartup = false;
  std::string caption;
  std::string text;  // lines separated by CR LF
  std::vector<std::string> folders;
  std::vector<std::string> removals;
  // (file's path relative to the folder, name to install it under)
  std::vector<std::pair<std::string, std::string>> renames;
  // (file's path relative to the folder, entry name to store it under)
  std::vector<std::pair<std::string, std::string>> entryNames;
};

// Parses and checks the manifest text. Throws ToolError naming the field at fault: a missing or
// mistyped field, an unknown field, a text Windows-1251 cannot hold, a name that leaves the
// program folder.
Manifest ParseManifest(const std::string& json);

// The manifest as JSON text (UTF-8, '\n' line breaks), such that ParseManifest gives it back.
std::string ManifestToJson(const Manifest& manifest);

// A relative name from a manifest or a folder walk, in UTF-8 with '/' or '\' separators, as the
// package stores it: Windows-1251, '\' separators. Throws ToolError (naming what) when it is
// empty, cannot be converted, or leaves the program folder ('..' component, ':').
std::string PackageName(const std::string& utf8, const std::string& what);

// PackageName for the name of a file the update writes (a file in the folder, a rename's name on
// disk): also throws when it is not a file's name (IsFileName: a device name such as CON or NUL in
// any component, or no file name at its end).
std::string PackageFileName(const std::string& utf8, const std::string& what);
