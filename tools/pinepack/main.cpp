// pinepack: makes, inspects and wraps update packages for the Pinecone updater.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(_WIN32)
#include <windows.h>

// The C runtime's wide command line, split as it splits argv (msvcrt; no more DLLs for it).
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expand,
                              int* startInfo);
#endif

#include "apply.h"
#include "create.h"
#include "file_io.h"
#include "inspect.h"
#include "manifest.h"
#include "package_writer.h"
#include "tool_error.h"

namespace fs = std::filesystem;

namespace {

std::string TextOf(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  if (fs::exists(a, error) && fs::exists(b, error)) return fs::equivalent(a, b, error);
  return fs::absolute(a, error).lexically_normal() == fs::absolute(b, error).lexically_normal();
}

// CLI11's checks of an existing file or folder, with the name read as UTF-8 as the tool reads
// every name (CLI11's own take a narrow string in the system's code page on Windows).
const CLI::Validator kExistingFile(
    [](std::string& name) {
      std::error_code error;
      const fs::file_status status = fs::status(fs::u8path(name), error);
      if (!fs::exists(status)) return "File does not exist: " + name;
      return fs::is_directory(status) ? "File is actually a directory: " + name : std::string();
    },
    "FILE");
const CLI::Validator kExistingDirectory(
    [](std::string& name) {
      std::error_code error;
      const fs::file_status status = fs::status(fs::u8path(name), error);
      if (!fs::exists(status)) return "Directory does not exist: " + name;
      return fs::is_directory(status) ? std::string() : "Directory is actually a file: " + name;
    },
    "DIR");

#if defined(_WIN32)
// The command line as UTF-8, as the tool reads every narrow string (file names included): argv
// holds it in the system's code page, where a name in other letters is lost or misread. Empty
// when Windows does not give it (argv is kept then).
std::vector<std::string> Utf8Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  int startInfo = 0;
  if (__wgetmainargs(&count, &wide, &environment, 0, &startInfo) != 0) return arguments;
  for (int i = 0; wide && i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
      WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, argument.data(), size, nullptr, nullptr);
    arguments.push_back(argument);
  }
  return arguments;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
  // What the tool prints is UTF-8 (names in any letters): the console shows it as such.
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> utf8 = Utf8Arguments();
  std::vector<char*> utf8Argv;
  for (std::string& argument : utf8) utf8Argv.push_back(argument.data());
  if (!utf8Argv.empty()) {
    utf8Argv.push_back(nullptr);
    argc = static_cast<int>(utf8.size());
    argv = utf8Argv.data();
  }
#endif
#if defined(__GLIBC__)
  // Each delta's coder model and the applier's work area (about 6 MB each, touched only where a
  // file's contexts fall) are mapped fresh and given back when freed. Without this, glibc raises
  // its mapping threshold after the first such block is freed and serves the next from the heap,
  // where calloc must clear all of it: the whole model would stay resident.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
  CLI::App app{
      "pinepack: makes, inspects and wraps update packages for the Pinecone updater "
      "(RL_PATCH.EXE)."};
  app.require_subcommand(1);
  app.fallthrough();  // --quiet also after the subcommand
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "No progress on stderr");

  std::string folder, manifestPath, output, input, updater;
  int level = 9;
  bool store = false;
  auto* create =
      app.add_subcommand("create", "Make a package from a folder of new files and a JSON manifest");
  create->add_option("folder", folder, "Folder whose files the package installs")
      ->required()
      ->check(kExistingDirectory);
  create->add_option("manifest", manifestPath, "JSON manifest (registry, patch level, ...)")
      ->required()
      ->check(kExistingFile);
  create->add_option("output", output, "Package file to write")->required();
  create->add_option("-l,--level", level, "zlib level, 0 to 9 (default 9)")
      ->check(CLI::Range(0, 9));
  create->add_flag("--store", store, "Store every entry (no deflating)");
  std::vector<std::string> bases;
  bool fullFallback = false;
  create
      ->add_option("--from", bases,
                   "Folder of an installed old version (repeatable): only what differs from "
                   "each goes into the package, changed files as deltas")
      ->check(kExistingDirectory);
  create->add_flag("--full-fallback", fullFallback,
                   "With --from: every changed file carries its whole entry too, installed where "
                   "the file on disk is no old version the package knows");
  bool perFile = false;
  create->add_flag("--per-file", perFile,
                   "Leave out the :Transaction mark: the updater installs each file on its own "
                   "(a failed file does not stop the others), as packages were before the mark. "
                   "By default it installs all or nothing: every file checked, then built beside "
                   "its target, then all renamed into place, or nothing changes");
  create->footer(
      "Manifest (UTF-8 JSON; texts are stored in Windows-1251):\n"
      "  {\"registry\": {\"key\": \"SOFTWARE\\\\Maker\\\\Product\", \"folderValue\": "
      "\"ProgramPath\",\n"
      "                \"fileValue\": \"ProgramName\", \"patchLevelValue\": \"PatchLevel\"},\n"
      "   \"patchLevel\": 2,\n"
      "   \"startup\": {\"caption\": \"...\", \"text\": \"...\"},\n"
      "   \"folders\": [\"data\", \"data/sub\"],\n"
      "   \"remove\": [\"old.dll\"],\n"
      "   \"rename\": {\"file/in/folder.dll\": \"name/on/disk.dll\"},\n"
      "   \"entryNames\": {\"file/in/folder.dll\": \"~1.dll\"}}\n"
      "startup, folders, remove, rename and entryNames are optional. Files whose path is longer "
      "than 31 bytes get a short entry name and a translation pair; entryNames chooses the entry "
      "name of a file (extract -m writes it, so that a rebuilt package keeps its entries).");

  auto* list = app.add_subcommand("list", "Show a package's or updater's entries and sections");
  list->add_option("file", input, "Package or self-contained updater")
      ->required()
      ->check(kExistingFile);

  auto* verify = app.add_subcommand(
      "verify", "Check a package or updater as the updater will, and extract every entry");
  verify->add_option("file", input, "Package or self-contained updater")
      ->required()
      ->check(kExistingFile);

  std::string against;
  verify
      ->add_option("--against", against,
                   "Also build every file of the package from this old version's folder "
                   "(nothing is written) and check it")
      ->check(kExistingDirectory);

  auto* apply = app.add_subcommand(
      "apply",
      "Apply a package to a folder by the updater's rules, without the registry: all or "
      "nothing for a package with :Transaction (check every file, build the new ones beside "
      "their targets, rename them all into place), else file by file (old versions checked, new "
      "files checked, a backup kept until each file is complete)");
  apply->add_option("file", input, "Package or self-contained updater")
      ->required()
      ->check(kExistingFile);
  apply->add_option("folder", folder, "The program folder to update (a copy of an installation)")
      ->required()
      ->check(kExistingDirectory);

  std::string extractManifest;
  bool raw = false;
  auto* extract = app.add_subcommand(
      "extract", "Write a package's files into a folder, laid out as the update installs them");
  extract->add_option("file", input, "Package or self-contained updater")
      ->required()
      ->check(kExistingFile);
  extract->add_option("folder", folder, "Folder to write the files into")->required();
  extract->add_option("-m,--manifest", extractManifest,
                      "Also write the manifest that rebuilds the package with create");
  extract->add_flag("--raw", raw,
                    "Write each file under its entry name as stored (e.g. ~1.dat), not under "
                    "its name on disk");

  bool unchecked = false;
  auto* wrap = app.add_subcommand(
      "wrap", "Make a self-contained updater: UPDATER + PACKAGE + trailer (as MAKEEXE does)");
  wrap->add_option("updater", updater, "RL_PATCH.EXE (or any updater executable)")
      ->required()
      ->check(kExistingFile);
  wrap->add_option("package", input, "Package file")->required()->check(kExistingFile);
  wrap->add_option("output", output, "Self-contained updater to write")->required();
  wrap->add_flag("--unchecked", unchecked,
                 "Append the package even when the updater would reject it");

  // A usage error (a missing folder or file, an unknown option) reads like every other failure:
  // "pinepack: <reason>", status 1. Help still goes to stdout with status 0.
  app.failure_message([](const CLI::App* failed, const CLI::Error& e) {
    return "pinepack: " + CLI::FailureMessage::simple(failed, e);
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;
  }

  const Progress progress = quiet ? Progress() : [](const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
  };

  try {
    if (*create) {
      if (SameFile(output, manifestPath))
        throw ToolError("the output would overwrite the manifest");
      const Manifest manifest = ParseManifest(TextOf(ReadFileBytes(manifestPath)));
      CreateOptions options;
      options.level = level;
      options.storeAll = store;
      options.exclude = {manifestPath, output};
      for (const std::string& base : bases) options.bases.push_back(fs::u8path(base));
      options.fullFallback = fullFallback;
      options.allOrNothing = !perFile;
      if (fullFallback && bases.empty()) throw ToolError("--full-fallback needs --from");
      std::vector<PackedFile> files;
      const PackageSpec spec = BuildPackageSpec(folder, manifest, options, progress, &files);
      const std::vector<uint8_t> package = WritePackage(spec);
      WriteFileBytes(output, package);
      if (progress)
        progress("wrote " + output + ": " + std::to_string(spec.entries.size()) + " entries, " +
                 std::to_string(files.size()) + " files, " + std::to_string(package.size()) +
                 " bytes");
      return 0;
    }
    if (*list) {
      const FileSource file(input);
      std::cout << ListPackage(file.source());
      return 0;
    }
    if (*verify) {
      const FileSource file(input);
      std::vector<std::string> problems = VerifyPackage(file.source(), progress);
      if (problems.empty() && !against.empty()) {
        const ApplyReport report = ApplyPackage(file.source(), fs::u8path(against), true, progress);
        for (const std::string& failure : report.failures)
          problems.push_back("against " + against + ": " + failure);
      }
      for (const std::string& problem : problems) std::cout << input << ": " << problem << "\n";
      if (!problems.empty()) {
        std::cerr << input << ": " << problems.size() << " problem(s)\n";
        return 1;
      }
      std::cout << input << ": OK\n";
      return 0;
    }
    if (*apply) {
      const FileSource file(input);
      const ApplyReport report = ApplyPackage(file.source(), fs::u8path(folder), false, Progress());
      for (const std::string& line : report.lines) std::cout << line << "\n";
      if (!report.failures.empty()) {
        if (report.allOrNothing)
          std::cerr << "pinepack: " << report.failures.size()
                    << " problem(s); the package installs all or nothing\n";
        else
          std::cerr << "pinepack: " << report.failures.size() << " file(s) failed\n";
        return 1;
      }
      return 0;
    }
    if (*extract) {
      const FileSource file(input);
      const size_t written =
          ExtractPackage(file.source(), folder, extractManifest,
                         raw ? ExtractLayout::kRaw : ExtractLayout::kInstalled, progress);
      if (progress) progress("wrote " + std::to_string(written) + " files into " + folder);
      return 0;
    }
    if (*wrap) {
      if (SameFile(output, updater) || SameFile(output, input))
        throw ToolError("the output must differ from both inputs");
      const FileSource executable(updater);
      const FileSource package(input);
      if (!unchecked) {
        if (DetectContainer(package.source()) != Container::kBare)
          throw ToolError(input + " is not a bare package (use --unchecked to append it anyway)");
        const std::vector<std::string> problems = VerifyPackage(package.source(), Progress());
        if (!problems.empty())
          throw ToolError(input + ": " + problems.front() +
                          " (pinepack verify lists every problem; --unchecked appends it anyway)");
      }
      FileSink out(output);
      WrapUpdater(executable.source(), package.source(), out.sink());
      out.Commit();
      return 0;
    }
  } catch (const ToolError& e) {
    std::cerr << "pinepack: " << e.what() << "\n";
    return 1;
  } catch (const PackageWriteError& e) {
    std::cerr << "pinepack: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "pinepack: " << e.what() << "\n";
    return 1;
  }
  return 1;
}
