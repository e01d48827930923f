#include "inspect.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <unordered_map>

#include "cp1251.h"
#include "delta/delta_package.h"
#include "file_io.h"
#include "package/format.h"
#include "package/names.h"
#include "package/package.h"
#include "package/pe_image.h"
#include "package/sections.h"
#include "package_writer.h"
#include "update/paths.h"

namespace fs = std::filesystem;

namespace {

std::string EntryLabel(uint32_t index, const char* name32) {
  const char* end = static_cast<const char*>(std::memchr(name32, 0, kEntryNameSize));
  const std::string name(name32, end ? end : name32 + kEntryNameSize);
  return "entry " + std::to_string(index) + " (\"" + Cp1251ToUtf8(name) + "\")";
}

// Facts that place a refusal, shown after its wording; empty when the wording says all.
std::string RefusalFacts(const PackageView& view, PackageRefusal refusal, int entry) {
  const PackageHeader& h = view.header;
  const auto n = [](uint64_t value) { return std::to_string(value); };
  const std::string package = "package of " + n(view.packageEnd - view.packageOffset) + " bytes";
  const DirectoryEntry* e = entry >= 0 ? &view.directory[entry] : nullptr;
  const bool deflated = e && (e->flags & ENTRY_DEFLATED) != 0;
  switch (refusal) {
    case kRefusedHeaderBounds:
      return "packageOffset " + n(view.packageOffset) + ", end of the file at " +
             n(view.packageEnd) +
             (view.packageEnd != view.source.length ? " before the certificate table" : "");
    case kRefusedSignature:
      return "package at file offset " + n(view.packageOffset);
    case kRefusedHeaderEmpty:
    case kRefusedDirectoryTooLarge:
      return "entryCount " + n(h.entryCount) + ", directoryOffset " + n(h.directoryOffset);
    case kRefusedDirectoryMethod:
      return "directoryMethod " + n(h.directoryMethod);
    case kRefusedDirectoryBounds:
      return n((h.directoryMethod & 3) == kDirectoryDeflated
                   ? h.directoryPackedSize
                   : uint64_t{h.entryCount} * kEntrySize) +
             " bytes at offset " + n(h.directoryOffset) + ", " + package;
    case kRefusedDirectoryRatio:
    case kRefusedDirectoryDamaged:
      return n(uint64_t{h.entryCount} * kEntrySize) + " bytes" +
             ((h.directoryMethod & 3) == kDirectoryDeflated
                  ? " from a stream of " + n(h.directoryPackedSize) + " bytes"
                  : " stored");
    case kRefusedEntryBounds:
      return n(deflated ? e->packedSize : e->size) + " stored bytes at offset " + n(e->dataOffset) +
             ", " + package;
    case kRefusedInflateRatio:
      return n(e->size) + " bytes from a stream of " + n(e->packedSize) + " bytes";
    case kRefusedNotAFileName:
      if (e->name[0] == '\0') return "empty name";
      if (!IsSafeRelativeName(e->name)) return "it leaves the program folder: a '..' or ':'";
      return "a device name such as CON or NUL, or no file name at its end";
    case kRefusedDeltaResult: {
      // The reader compares with the file's first entry, a delta of a sound header.
      int first = entry;
      while (first > 0 && NamesEqual(view.directory[first - 1].name, e->name)) --first;
      DeltaHeader theirs, own;
      if (!ReadDeltaHeader(EntryDeltaStream(view, view.directory[first]), theirs)) return "";
      const std::string gives =
          IsDeltaEntry(view, *e) && ReadDeltaHeader(EntryDeltaStream(view, *e), own)
              ? "it builds " + n(own.resultSize) + " bytes, SHA-256 " + HexDigest(own.resultHash)
              : "it is " + n(e->size) + " bytes";
      return gives + "; entry " + n(first) + " builds " + n(theirs.resultSize) +
             " bytes, SHA-256 " + HexDigest(theirs.resultHash);
    }
    default:
      return "";
  }
}

// A package opened by the updater's reader through a source the caller keeps open.
class OpenedPackage {
 public:
  explicit OpenedPackage(const ByteSource& source) {
    InitPackageView(view_);
    const Container container = DetectContainer(source);
    if (container == Container::kUnknown)
      throw ToolError("neither a package nor a self-contained updater");
    view_.source = source;
    view_.acceptDeltas = 1;
    if (!LoadPackage(view_, container == Container::kSelfContained)) {
      const std::string why = RefusalProblem(view_, view_.refusal, view_.refusedEntry);
      UnloadPackage(view_);  // no destructor runs for a constructor that throws
      throw ToolError("the updater would reject this package (" + why +
                      "); run pinepack verify for details");
    }
    selfContained_ = container == Container::kSelfContained;
  }
  ~OpenedPackage() { UnloadPackage(view_); }
  OpenedPackage(const OpenedPackage&) = delete;
  OpenedPackage& operator=(const OpenedPackage&) = delete;

  const PackageView& view() const { return view_; }
  bool selfContained() const { return selfContained_; }
  uint32_t count() const { return view_.header.entryCount; }
  const DirectoryEntry& entry(uint32_t i) const { return view_.directory[i]; }

  // The extracted contents of entry i (checked at open for control sections).
  std::vector<uint8_t> Extract(uint32_t i) const {
    std::vector<uint8_t> out(entry(i).size);
    if (!ExtractEntry(view_, static_cast<int>(i), out.data())) throw Damaged(i);
    return out;
  }

  // Streams entry i into sink; throws when its stored data is damaged or the sink fails.
  void Stream(uint32_t i, const ByteSink& sink) const {
    if (!StreamEntry(view_, static_cast<int>(i), sink)) throw Damaged(i);
  }

  ToolError Damaged(uint32_t i) const {
    return ToolError("entry " + std::to_string(i) + " (" + Cp1251ToUtf8(entry(i).name) +
                     "): the stored data is damaged or cannot be written");
  }

  // The payload of a control section, or false when the package has none.
  bool Section(const char* key, std::vector<uint8_t>& payload) const {
    const int index = FindEntry(view_, key);
    if (index < 0) return false;
    payload = Extract(static_cast<uint32_t>(index));
    return true;
  }

 private:
  PackageView view_;
  bool selfContained_ = false;
};

// The strings of a NUL-separated run ended by an empty string (layout already checked).
std::vector<std::string> Strings(const std::vector<uint8_t>& payload) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < payload.size() && payload[at] != 0) {
    const char* s = reinterpret_cast<const char*>(payload.data() + at);
    out.emplace_back(s);
    at += out.back().size() + 1;
  }
  return out;
}

std::string Quoted(const std::string& cp1251) { return "\"" + Cp1251ToUtf8(cp1251) + "\""; }

// The key under which the updater's comparison (NamesEqual: A-Z folded onto a-z, every other
// byte exact) takes two names for one.
std::string FoldedName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// How a delta's body rebuilds its file, as list shows it.
std::string DeltaMethodName(uint32_t method) {
  if (method == kDeltaRangeCoded) return "range-coded";
  std::string name = PredictingMethod(method) ? "predicted-words" : "deflated-words";
  if (CallsMethod(method)) name += ", calls by target";
  if (LzCopiedMethod(method)) name += ", new bytes as matches";
  if (RelocatedMethod(method)) name += ", relocated words by their pages";
  if (CallPlacesMethod(method)) name += ", calls by their targets' pages";
  if (TablesWordsMethod(method))
    name += CallsMethod(method) ? ", over coded tables" : " over coded tables";
  return name;
}

}  // namespace

std::string HexDigest(const unsigned char* digest) {
  std::string out;
  char two[3];
  for (uint32_t i = 0; i < kSha256Size; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    out += two;
  }
  return out;
}

Container DetectContainer(const ByteSource& source) {
  unsigned char signature[sizeof kPackageSignature];
  if (source.length >= kHeaderSize && source.read(source.context, 0, signature, sizeof signature) &&
      (std::memcmp(signature, kPackageSignature, sizeof kPackageSignature) == 0 ||
       std::memcmp(signature, kDeltaPackageSignature, sizeof kDeltaPackageSignature) == 0))
    return Container::kBare;
  uint32_t trailerOffset, packageOffset;
  if (FindTrailer(source, trailerOffset, packageOffset)) return Container::kSelfContained;
  return Container::kUnknown;
}

const char* RefusalWording(PackageRefusal refusal) {
  switch (refusal) {
    case kRefusedNone:
      return "the updater's reader takes the package";
    case kRefusedUnreadable:
      return "the file cannot be read";
    case kRefusedNoTrailer:
      return "no trailer: no \"PINE\" in the last 4 bytes, nor before a certificate table";
    case kRefusedHeaderBounds:
      return "trailer: packageOffset + 32 passes the end of the file";
    case kRefusedSignature:
      return "header: wrong signature";
    case kRefusedHeaderEmpty:
      return "header: entryCount or directoryOffset is 0";
    case kRefusedDirectoryTooLarge:
      return "header: entryCount x 48 does not fit 32 bits";
    case kRefusedDirectoryMethod:
      return "header: a directoryMethod with low bits 1 is not accepted";
    case kRefusedDirectoryBounds:
      return "directory: its stored bytes pass the end of the package";
    case kRefusedDirectoryRatio:
      return "directory: its stream is too short to inflate to entryCount x 48 bytes";
    case kRefusedNoMemory:
      return "not enough memory for the directory";
    case kRefusedDirectoryDamaged:
      return "directory: damaged (a stored one cannot be read, a deflated one does not inflate "
             "to exactly entryCount x 48 bytes with a good Adler-32)";
    case kRefusedEntryName:
      return "the name has no NUL in its 32 bytes (longer than 31)";
    case kRefusedEntryBounds:
      return "its stored bytes pass the end of the package";
    case kRefusedInflateRatio:
      return "its stream is too short to inflate to its size";
    case kRefusedNotAFileName:
      return "not a file's name";
    case kRefusedDeltaForm:
      return "a delta, but deflated as a whole or a control section";
    case kRefusedDeltaHeader:
      return "not a delta stream of a known method (its header is damaged)";
    case kRefusedDeltaOrder:
      return "out of order: a file's entries stand together, its deltas first and at most one "
             "whole entry last, and a delta from another file's new version names a file before "
             "its own";
    case kRefusedDeltaResult:
      return "not the version that the file's first delta builds: a file's deltas and its whole "
             "entry all give one new version (size and SHA-256)";
    case kRefusedSectionDamaged:
      return "the stored data of the section is damaged (it does not extract)";
    case kRefusedStartupMsg:
      return "the caption or the text lacks its NUL";
    case kRefusedRegistryKeys:
      return "four NUL-terminated strings and a 4-byte level do not fit";
    case kRefusedXlatTable:
      return "a pair lacks its second string or a NUL, the closing empty string is missing, or a "
             "name on disk leaves the program folder or is not a file's name (a device name such "
             "as CON or NUL)";
    case kRefusedFolders:
      return "a folder's name lacks its NUL, the closing empty name is missing, or a folder "
             "leaves the program folder";
    case kRefusedFilesToRemove:
      return "a name to remove lacks its NUL, the closing empty name is missing, or a name "
             "leaves the program folder";
    case kRefusalCount:
      break;
  }
  return "";
}

std::string RefusalProblem(const PackageView& view, PackageRefusal refusal, int entry) {
  // A section's reason covers an empty payload too, which is said plainly.
  const bool empty = refusal >= kRefusedStartupMsg && entry >= 0 && view.directory[entry].size == 0;
  std::string problem = empty ? "an empty section (length 0)" : RefusalWording(refusal);
  if (entry >= 0)
    problem = EntryLabel(static_cast<uint32_t>(entry), view.directory[entry].name) + ": " + problem;
  const std::string facts = RefusalFacts(view, refusal, entry);
  return facts.empty() ? problem : problem + " (" + facts + ")";
}

std::vector<std::string> VerifyPackage(const ByteSource& source, const Progress& progress) {
  std::vector<std::string> problems;
  const Container container = DetectContainer(source);
  CertificateTable table;
  if (container == Container::kUnknown) {
    if (CertificateTableAtEnd(source, table))
      problems.push_back("signed (a certificate table of " + std::to_string(table.size) +
                         " bytes ends the file), but no trailer lies before the table after at "
                         "most 7 zero bytes: was the package appended after signing?");
    else if (ReadCertificateTable(source, table) && table.size != 0)
      problems.push_back("the security directory names a certificate table of " +
                         std::to_string(table.size) + " bytes at file offset " +
                         std::to_string(table.offset) +
                         ", which does not end the file: a signed file ends with its table, so "
                         "nothing in it is read");
    else
      problems.push_back(
          "neither a package (no signature at offset 0) nor a self-contained updater "
          "(no \"PINE\" in the last 4 bytes, nor before a certificate table)");
    return problems;
  }

  // The updater's reader checks first; what it refuses before the entries ends the check.
  PackageView view;
  InitPackageView(view);
  view.source = source;
  view.acceptDeltas = 1;
  struct Unload {
    PackageView& view;
    ~Unload() { UnloadPackage(view); }
  } unload{view};
  const int loaded = LoadPackage(view, container == Container::kSelfContained);
  if (!loaded && view.refusal < kRefusedEntryName)
    return {RefusalProblem(view, view.refusal, view.refusedEntry)};

  // Every entry that the reader's checks refuse, where the reader stops at the first.
  const uint32_t count = view.header.entryCount;
  std::vector<PackageRefusal> refused(count, kRefusedNone);
  for (int i = 0; i < static_cast<int>(count); ++i) {
    const PackageRefusal refusal = CheckEntries(view, i);
    if (refusal != kRefusedNone) refused[i] = refusal;
  }
  // Entries are inflated in full and thrown away: nothing but the reader's chunks is held. A
  // whole entry after a file's deltas is hashed on the way, as the reader cannot at load.
  const ByteSink discard{[](void*, const unsigned char*, uint32_t) { return 1; }, nullptr};
  Sha256 wholeHash;
  const ByteSink hash{[](void* context, const unsigned char* data, uint32_t count) {
                        Sha256Update(*static_cast<Sha256*>(context), data, count);
                        return 1;
                      },
                      &wholeHash};
  std::vector<bool> readable(count, false);
  std::unordered_map<std::string, uint32_t> firstWithName;
  // The current file's first entry when it is a delta whose header reads, else -1; its header.
  int firstDelta = -1;
  DeltaHeader firstHeader;
  for (uint32_t i = 0; i < count; ++i) {
    const DirectoryEntry& e = view.directory[i];
    const std::string label = EntryLabel(i, e.name);
    if (progress)
      progress("[" + std::to_string(i + 1) + "/" + std::to_string(count) + "] " + label);
    if (refused[i] != kRefusedNone)
      problems.push_back(RefusalProblem(view, refused[i], static_cast<int>(i)));
    if (refused[i] == kRefusedEntryName) continue;
    const auto named = firstWithName.emplace(FoldedName(e.name), i);
    // In a delta package a file's deltas and its whole entry share its name (the reader checks
    // their order).
    if (!named.second && !(view.hasDeltas && !IsControlSection(e)))
      problems.push_back(label + ": same name as entry " + std::to_string(named.first->second) +
                         ", which hides it");
    // Every entry of a file that gives another version than its first delta, where the reader
    // names the first; and a whole entry of the right size, once inflated, by its hash.
    // (A deflated delta, which the reader refuses as such, is neither a delta nor a version.)
    const bool isDelta = IsDeltaEntry(view, e);
    const bool fileEntry = view.hasDeltas && !IsControlSection(e) && refused[i] == kRefusedNone &&
                           !(isDelta && (e.flags & ENTRY_DEFLATED));
    DeltaHeader header;
    bool hashWhole = false;
    if (i == 0 || refused[i - 1] == kRefusedEntryName ||
        !NamesEqual(view.directory[i - 1].name, e.name)) {
      firstDelta = fileEntry && isDelta && ReadDeltaHeader(EntryDeltaStream(view, e), firstHeader)
                       ? static_cast<int>(i)
                       : -1;
    } else if (fileEntry && firstDelta >= 0) {
      const bool differs =
          isDelta ? ReadDeltaHeader(EntryDeltaStream(view, e), header) &&
                        (header.resultSize != firstHeader.resultSize ||
                         std::memcmp(header.resultHash, firstHeader.resultHash, kSha256Size) != 0)
                  : e.size != firstHeader.resultSize;
      if (differs)
        problems.push_back(RefusalProblem(view, kRefusedDeltaResult, static_cast<int>(i)));
      hashWhole = !isDelta && !differs;
    }
    if (refused[i] == kRefusedEntryBounds || refused[i] == kRefusedInflateRatio) continue;
    if (hashWhole) Sha256Init(wholeHash);
    if (!StreamEntry(view, static_cast<int>(i), hashWhole ? hash : discard)) {
      problems.push_back(label + ": the stream is damaged (it does not inflate to exactly " +
                         std::to_string(e.size) + " bytes with a good Adler-32)");
      continue;
    }
    unsigned char digest[kSha256Size];
    if (hashWhole) Sha256Final(wholeHash, digest);
    if (hashWhole && std::memcmp(digest, firstHeader.resultHash, kSha256Size) != 0)
      problems.push_back(label + ": " + RefusalWording(kRefusedDeltaResult) + " (it inflates to " +
                         std::to_string(e.size) + " bytes, SHA-256 " + HexDigest(digest) +
                         "; entry " + std::to_string(firstDelta) + " builds SHA-256 " +
                         HexDigest(firstHeader.resultHash) + ")");
    // The whole delta, where the reader reads its header only. A deflated one or a section is
    // refused by the reader, and its stored bytes are not a delta stream to read.
    DeltaHeader delta;
    if (IsDeltaEntry(view, e) && !(e.flags & ENTRY_DEFLATED) && !IsControlSection(e) &&
        ReadDeltaHeader(EntryDeltaStream(view, e), delta) &&
        !CheckDeltaStream(EntryDeltaStream(view, e))) {
      problems.push_back(label + ": the delta's commands are damaged (they do not inflate, " +
                         "reach outside the base or the result, or do not end with the stream)");
      continue;
    }
    readable[i] = true;
  }
  // The reader's check of the deltas' headers, order and results, run once every entry passed
  // (a differing result is named above already).
  if (view.refusal >= kRefusedDeltaForm && view.refusal <= kRefusedDeltaResult) {
    const std::string problem = RefusalProblem(view, view.refusal, view.refusedEntry);
    if (std::find(problems.begin(), problems.end(), problem) == problems.end())
      problems.push_back(problem);
  }

  // Every control section, where the reader stops at the first it refuses.
  for (int section = 0; section < kControlSectionCount; ++section) {
    const char* key = kControlSections[section];
    int index = -1;
    for (uint32_t i = 0; i < count && index < 0; ++i) {
      if (refused[i] != kRefusedEntryName && NamesEqual(view.directory[i].name, key))
        index = static_cast<int>(i);
    }
    if (index < 0 || !readable[index]) continue;  // an unreadable entry is reported above
    std::vector<uint8_t> payload(view.directory[index].size);
    ExtractEntry(view, index, payload.data());
    const auto size = static_cast<uint32_t>(payload.size());
    const PackageRefusal refusal = CheckSectionPayload(section, payload.data(), size);
    if (refusal == kRefusedNone) continue;
    // A list whose layout is sound: each name that leaves the program folder.
    if (size != 0 && (refusal == kRefusedFolders || refusal == kRefusedFilesToRemove) &&
        CheckNameList(payload.data(), size, 0)) {
      for (const std::string& name : Strings(payload)) {
        if (!IsSafeRelativeName(name.c_str()))
          problems.push_back(EntryLabel(static_cast<uint32_t>(index), view.directory[index].name) +
                             ": " + Quoted(name) + " leaves the program folder");
      }
      continue;
    }
    problems.push_back(RefusalProblem(view, refusal, index));
  }

  // The reader has the last word: a refusal that nothing above named.
  if (problems.empty() && !loaded)
    problems.push_back(RefusalProblem(view, view.refusal, view.refusedEntry));
  return problems;
}

Manifest ManifestOfPackage(const ByteSource& source) {
  const OpenedPackage package(source);
  Manifest m;
  std::vector<uint8_t> payload;
  if (!package.Section(kRegistryKeysSection, payload))
    throw ToolError("the package has no :RegistryKeys section");
  RegistryKeys keys;
  ParseRegistryKeys(payload.data(), static_cast<uint32_t>(payload.size()), keys);
  m.keyPath = keys.keyPath;
  m.folderValue = keys.folderValueName;
  m.fileValue = keys.fileValueName;
  m.patchLevelValue = keys.patchValueName;
  m.patchLevel = keys.patchLevel;
  if (package.Section(kStartupMsgSection, payload)) {
    const char* caption;
    const char* text;
    ParseStartupMsg(payload.data(), static_cast<uint32_t>(payload.size()), caption, text);
    m.hasStartup = true;
    m.caption = caption;
    m.text = text;
  }
  if (package.Section(kFoldersSection, payload)) m.folders = Strings(payload);
  if (package.Section(kFilesToRemoveSection, payload)) m.removals = Strings(payload);
  if (package.Section(kXlatNamesSection, payload)) {
    const std::vector<std::string> strings = Strings(payload);
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
      m.renames.emplace_back(strings[i], strings[i + 1]);
  }
  return m;
}

bool KnownTransactionRules(const std::vector<uint8_t>& payload) {
  return payload.size() == 4 && ReadLE32(payload.data()) == kTransactionRules;
}

std::string ListPackage(const ByteSource& source) {
  const OpenedPackage package(source);
  const PackageView& view = package.view();
  std::string out;
  char line[512];
  if (package.selfContained()) {
    std::snprintf(line, sizeof line,
                  "self-contained updater: executable of %u bytes, package of %u bytes\n",
                  view.packageOffset, view.packageEnd - kTrailerSize - view.packageOffset);
    out += line;
    CertificateTable table;
    if (CertificateTableAtEnd(source, table)) {
      std::snprintf(line, sizeof line, "signed: certificate table of %u bytes at file offset %u\n",
                    table.size, table.offset);
    } else {
      std::snprintf(line, sizeof line, "not signed: no certificate table\n");
    }
  } else {
    std::snprintf(line, sizeof line, "package of %u bytes\n", source.length);
  }
  out += line;
  const uint32_t method = view.header.directoryMethod & 3;
  std::snprintf(line, sizeof line, "%u entries, directory %s at offset %u\n",
                view.header.entryCount, method == kDirectoryDeflated ? "deflated" : "stored",
                view.header.directoryOffset);
  out += line;
  if (view.hasDeltas)
    out +=
        "delta package: a file's deltas (one per base version) come before its whole entry; "
        "updaters that know only whole files refuse it\n";
  std::vector<uint8_t> payload;
  if (!package.Section(kTransactionSection, payload)) {
    out += "installs: file by file (no :Transaction): a file that fails does not stop the others\n";
  } else if (KnownTransactionRules(payload)) {
    out += "installs: all or nothing (:Transaction, rules " + std::to_string(kTransactionRules) +
           "): every file checked, then built beside its target, then all renamed into place, "
           "or nothing changes\n";
  } else {
    out += "installs: file by file: its :Transaction (" + std::to_string(payload.size()) +
           " bytes" +
           (payload.size() == 4 ? ", rules " + std::to_string(ReadLE32(payload.data())) : "") +
           ") names rules this pinepack does not know\n";
  }
  out += "     # offset       size       packed     flags     name\n";
  for (uint32_t i = 0; i < package.count(); ++i) {
    const DirectoryEntry& e = package.entry(i);
    const bool deflated = (e.flags & ENTRY_DEFLATED) != 0;
    std::snprintf(line, sizeof line, "%6u %-12u %-10u %-10s 0x%-7x %s\n", i, e.dataOffset, e.size,
                  deflated ? std::to_string(e.packedSize).c_str() : "stored", e.flags,
                  Cp1251ToUtf8(e.name).c_str());
    out += line;
    DeltaHeader delta;
    if (IsDeltaEntry(view, e) && ReadDeltaHeader(EntryDeltaStream(view, e), delta)) {
      out += std::string("         ") + DeltaMethodName(delta.method) + " delta from a base of " +
             std::to_string(delta.baseSize) + " bytes" +
             (delta.baseEntry && delta.baseEntry <= package.count()
                  ? " (the new version of entry " + std::to_string(delta.baseEntry - 1) + ", " +
                        Cp1251ToUtf8(view.directory[delta.baseEntry - 1].name) + ")"
              : delta.baseEntry ? " (the new version of entry " +
                                      std::to_string(delta.baseEntry - 1) + ", which is not there)"
                                : std::string()) +
             ", SHA-256 " + HexDigest(delta.baseHash) + "\n         to " +
             std::to_string(delta.resultSize) + " bytes, SHA-256 " + HexDigest(delta.resultHash) +
             "\n";
    }
  }

  if (package.Section(kRegistryKeysSection, payload)) {
    RegistryKeys k;
    ParseRegistryKeys(payload.data(), static_cast<uint32_t>(payload.size()), k);
    out += "registry key HKEY_LOCAL_MACHINE\\" + Cp1251ToUtf8(k.keyPath) + ", values " +
           Quoted(k.folderValueName) + " (folder), " + Quoted(k.fileValueName) + " (file), " +
           Quoted(k.patchValueName) + " (patch level)\n";
    out += "patch level " + std::to_string(k.patchLevel) + "\n";
  } else {
    out += "no :RegistryKeys: the updater will not find the program\n";
  }
  if (package.Section(kStartupMsgSection, payload)) {
    const char* caption;
    const char* text;
    ParseStartupMsg(payload.data(), static_cast<uint32_t>(payload.size()), caption, text);
    out += "startup question " + Quoted(caption) + ":\n";
    std::string shown = Cp1251ToUtf8(text);
    for (size_t p; (p = shown.find("\r\n")) != std::string::npos;) shown.replace(p, 2, "\n  ");
    out += "  " + shown + "\n";
  }
  if (package.Section(kFoldersSection, payload)) {
    for (const std::string& s : Strings(payload)) out += "folder " + Quoted(s) + "\n";
  }
  if (package.Section(kFilesToRemoveSection, payload)) {
    for (const std::string& s : Strings(payload)) out += "remove " + Quoted(s) + "\n";
  }
  if (package.Section(kXlatNamesSection, payload)) {
    const std::vector<std::string> strings = Strings(payload);
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
      out += "install " + Quoted(strings[i]) + " as " + Quoted(strings[i + 1]) + "\n";
  }
  return out;
}

size_t ExtractPackage(const ByteSource& source, const fs::path& folder,
                      const fs::path& manifestPath, ExtractLayout layout,
                      const Progress& progress) {
  const OpenedPackage package(source);
  // The translation table as the update reads it (its layout checked at open), or an empty one.
  std::vector<uint8_t> table(1, 0);
  if (layout == ExtractLayout::kInstalled) package.Section(kXlatNamesSection, table);
  const char* xlat = reinterpret_cast<const char*>(table.data());

  // Where each file entry goes, in directory order: its path in the folder in package form
  // ('\' separators, no leading '\', which names the program folder itself).
  struct Placed {
    uint32_t index;
    std::string path;
  };
  std::vector<Placed> placed;
  std::unordered_map<std::string, size_t> placedByName;  // FoldedName(path) -> index in placed
  for (uint32_t i = 0; i < package.count(); ++i) {
    const DirectoryEntry& e = package.entry(i);
    if (IsControlSection(e)) continue;
    std::string path = layout == ExtractLayout::kInstalled ? TranslateName(xlat, e.name) : e.name;
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    while (!path.empty() && path.front() == '\\') path.erase(0, 1);
    if (path.empty() || path.back() == '\\') {
      if (progress) progress("skipped " + EntryLabel(i, e.name) + ": not a file name");
      continue;
    }
    // Names are compared as the update compares them (A-Z folded), since Windows puts both in
    // one file: there the later entry's contents stay, and so they do here, under the name
    // first written.
    const auto named = placedByName.emplace(FoldedName(path), placed.size());
    if (named.second) {
      placed.push_back({i, path});
      continue;
    }
    Placed& other = placed[named.first->second];
    const std::string clash = EntryLabel(other.index, package.entry(other.index).name) + " and " +
                              EntryLabel(i, e.name) + " are both written as " + Quoted(other.path);
    if (!manifestPath.empty())
      throw ToolError(clash + ": no folder can rebuild this package (try --raw)");
    if (progress) progress(clash + "; the later one is kept, as the update keeps it");
    other.index = i;
  }

  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw ToolError("cannot create " + Show(folder) + ": " + error.message());
  for (const Placed& p : placed) {
    std::string relative = Cp1251ToUtf8(p.path);
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    const fs::path target = folder / fs::u8path(relative);
    fs::create_directories(target.parent_path(), error);
    if (error) throw ToolError("cannot create " + Show(target.parent_path()));
    FileSink out(target);
    package.Stream(p.index, out.sink());
    out.Commit();
    if (progress)
      progress("[" + std::to_string(p.index + 1) + "/" + std::to_string(package.count()) + "] " +
               relative + " (" + std::to_string(package.entry(p.index).size) + " bytes)");
  }

  if (!manifestPath.empty()) {
    Manifest manifest = ManifestOfPackage(source);
    if (layout == ExtractLayout::kInstalled) {
      // The files already lie under their names on disk: what create needs besides is the entry
      // name of every file stored under another name.
      manifest.renames.clear();
      for (const Placed& p : placed) {
        std::string entry = package.entry(p.index).name;
        if (!entry.empty() && entry.front() == '\\') entry.erase(0, 1);
        if (entry != p.path) manifest.entryNames.emplace_back(p.path, package.entry(p.index).name);
      }
    }
    const std::string json = ManifestToJson(manifest);
    WriteFileBytes(manifestPath, std::vector<uint8_t>(json.begin(), json.end()));
  }
  return placed.size();
}
