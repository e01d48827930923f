// The opened package: a reader of the package file, a copy of the header and an owned copy of
// the directory. Nothing of the file is mapped or held whole: the directory and every entry are
// read in bounded chunks and inflated chunk by chunk into a sink, so memory and address space
// stay the same whatever the sizes. The checks and the extraction are portable; only
// OpenPackage/ClosePackage (package_win32.cpp) touch files.
#pragma once

#include <cstdint>

#include "package/format.h"

// Reads of the container file (a bare package or a self-contained updater).
struct ByteSource {
  // Reads exactly count bytes at file offset offset into buffer; 1 on success, 0 on any failure
  // (a read error, or fewer bytes than asked). count is at most kExtractChunk.
  int (*read)(void* context, uint32_t offset, unsigned char* buffer, uint32_t count);
  void* context;
  uint32_t length;  // bytes in the file
};

// Receives an entry's extracted bytes in order. write returns 1 to go on, 0 to stop the
// extraction, which then fails.
struct ByteSink {
  int (*write)(void* context, const unsigned char* data, uint32_t count);
  void* context;
};

// Bytes read or written per step of an extraction. Two buffers of this size are all the memory
// an extraction needs besides zlib's own state.
constexpr uint32_t kExtractChunk = 256 * 1024;

// Why LoadPackage refused a package: the first check that failed. The reasons follow the order
// of the checks; those from kRefusedEntryName on concern one entry, named by
// PackageView::refusedEntry, and leave the loaded directory in the view.
enum PackageRefusal : unsigned char {
  kRefusedNone,               // loaded
  kRefusedUnreadable,         // no source, or a read of the file failed
  kRefusedNoTrailer,          // self-contained, and FindTrailer finds no trailer
  kRefusedHeaderBounds,       // the header does not lie before packageEnd
  kRefusedSignature,          // neither signature (the delta one counts only with acceptDeltas)
  kRefusedHeaderEmpty,        // entryCount or directoryOffset is 0
  kRefusedDirectoryTooLarge,  // entryCount * kEntrySize does not fit 32 bits
  kRefusedDirectoryMethod,    // the low two bits of directoryMethod are kDirectoryRejected
  kRefusedDirectoryBounds,    // the stored directory does not lie inside the package
  kRefusedDirectoryRatio,     // a deflated directory's stream is too short for its size
  kRefusedNoMemory,           // no memory for the directory, extraction or the deltas' check
  kRefusedDirectoryDamaged,   // the directory does not extract (a damaged stream, a failed read)
  kRefusedEntryName,          // the entry's name has no NUL in its 32 bytes
  kRefusedEntryBounds,        // the entry's stored data does not lie inside the package
  kRefusedInflateRatio,       // a deflated entry's stream is too short for its size
  kRefusedNotAFileName,       // a file entry's name fails IsFileName
  kRefusedDeltaForm,          // a delta entry is deflated or a control section
  kRefusedDeltaHeader,        // a delta entry's header is unsound (ReadDeltaHeader)
  kRefusedDeltaOrder,         // a file's entries are not together, deltas first, one whole last;
                              // or a delta's base of another name is not before its file
  kRefusedDeltaResult,        // a file's delta or whole entry gives another version than its first
                              // delta (result size or hash; a whole entry's size only)
  kRefusedSectionDamaged,     // a control section does not extract (or no memory for it)
  // A control section's payload is empty or has not the layout of its section (sections.h), or
  // a name of :Folders or :FilesToRemove leaves the program folder; in kControlSections' order.
  kRefusedStartupMsg,
  kRefusedRegistryKeys,
  kRefusedXlatTable,
  kRefusedFolders,
  kRefusedFilesToRemove,
  kRefusalCount
};

struct PackageView {
  void* file;              // HANDLE of the package file; InvalidHandle() while not open
  ByteSource source;       // reads the file; set before LoadPackage
  uint32_t packageOffset;  // file offset of the PackageHeader
  // File offset just past the last byte that may be package data: the end of the file, or in
  // a self-contained updater the end of its trailer (a signed updater's certificate table and
  // the padding before it are never package data).
  uint32_t packageEnd;
  PackageHeader header;
  DirectoryEntry* directory;  // header.entryCount records, malloc'd; null while not loaded
  unsigned char* scratch;     // 2 chunks for extraction, malloc'd; null until then
  // Bytes per step of an extraction, set before LoadPackage: 0 (InitPackageView's) means
  // kExtractChunk, as does anything larger. Fuzzers set a small one, as the quarter-megabyte
  // buffers cost more than the rest of a run under the sanitizers.
  uint32_t chunk;
  // Set before LoadPackage by a caller that applies delta entries (delta/delta_package.h); a
  // package with the delta signature is refused otherwise, as by every reader of plain packages.
  int acceptDeltas;
  int hasDeltas;  // set by LoadPackage: the package has the delta signature
  // Set by LoadPackage: why it refused the package (kRefusedNone when it loaded it), and the
  // index of the entry at fault, -1 when the reason concerns none.
  PackageRefusal refusal;
  int refusedEntry;
};

// INVALID_HANDLE_VALUE, without windows.h.
inline void* InvalidHandle() { return reinterpret_cast<void*>(static_cast<intptr_t>(-1)); }

// Puts the view in the closed state: invalid handle, no source, no directory, no scratch.
void InitPackageView(PackageView& view);

// A source over length bytes in memory, owned by the caller, who keeps them alive while the
// source is used.
ByteSource MemorySource(const unsigned char* bytes, uint32_t length);

// Makes MemorySource(bytes, length) the view's source.
void SetMemorySource(PackageView& view, const unsigned char* bytes, uint32_t length);

// The trailer of a self-contained updater read through source. A signed file (a PE image with a
// non-empty security entry, see pe_image.h) is read only up to its certificate table: the
// trailer is the 8 bytes just before the table and the zero bytes, at most 7, that signing puts
// in front of it, and their last 4 must be "PINE"; the file's last 8 bytes never count, and a
// table that does not end the file makes it no updater. Any other file: its last 8 bytes, which
// must end in "PINE". 1 with trailerOffset, the file offset of the trailer's first byte, and
// packageOffset, the value it holds; 0 when there is none (or it cannot be read).
int FindTrailer(const ByteSource& source, uint32_t& trailerOffset, uint32_t& packageOffset);

// Given view.source, finds the package (through the trailer when selfContained), checks the
// header, loads the directory and checks every entry and control section so that nothing later
// reads outside the package. Returns 1 on success; 0 on any failure, with view.refusal and
// view.refusedEntry saying why, after which UnloadPackage (or ClosePackage) cleans up.
int LoadPackage(PackageView& view, int selfContained);

// LoadPackage's checks of each entry, from entry index on, over a loaded directory:
// a name with a NUL, stored data inside the package, a deflated size its stream can reach, a
// file's name (IsFileName) for every entry but a control section. kRefusedNone when every
// entry from index on passes; otherwise the reason, with index set to the entry at fault (so a
// caller that wants every fault calls again from index + 1).
PackageRefusal CheckEntries(const PackageView& view, int& index);

// LoadPackage's check of the payload (size bytes, extracted) of control section
// kControlSections[section]: not empty, and the layout of that section (sections.h), the names
// of :Folders and :FilesToRemove kept inside the program folder. kRefusedNone, or the reason.
PackageRefusal CheckSectionPayload(int section, const unsigned char* data, uint32_t size);

// Index of the first entry whose name equals key (NamesEqual), or -1.
int FindEntry(const PackageView& view, const char* key);

// Streams entry index's extracted contents, exactly its size bytes, into sink, in pieces of at
// most kExtractChunk bytes. A stored entry is copied; a deflated one is inflated chunk by chunk
// and succeeds only when the stream ends (Adler-32 checked) after exactly size bytes, within its
// packedSize. Returns 1 or 0; on 0 the sink may have received part of the contents (or, for a
// damaged stream, bytes that are not the contents).
int StreamEntry(const PackageView& view, int index, const ByteSink& sink);

// StreamEntry into destination (room for the entry's size bytes). Returns 1 or 0; on 0 the
// destination's contents are undefined.
int ExtractEntry(const PackageView& view, int index, unsigned char* destination);

// Extracts entry index into a fresh malloc'd buffer of its size (at least 1 byte, so that an
// empty section still yields a valid pointer). Returns null on failure; the caller frees.
unsigned char* ExtractToBuffer(const PackageView& view, int index);

// Frees the directory and the scratch buffers; safe when none was loaded.
void UnloadPackage(PackageView& view);

// Win32 only. A ByteSource read function over a file HANDLE (context): each read sets the
// handle's file pointer to its offset first, so no earlier position is relied on (the handle
// must not be read or written elsewhere at the same time).
int ReadFromHandle(void* context, uint32_t offset, unsigned char* buffer, uint32_t count);

// Win32 only. A ByteSink write function over a file HANDLE (context): writes at the file's
// current position, all count bytes or fails. A full disk or any other write error is a failed
// write; nothing is written through a mapped view, so no fault of the file system can end the
// process.
int WriteToHandle(void* context, const unsigned char* data, uint32_t count);

// Win32 only. Opens path read-only (sharing read access), sets the view's source to read the
// file and calls LoadPackage. 1 on success; 0 on failure, leaving a partly opened view that
// ClosePackage releases.
int OpenPackage(PackageView& view, const char* path, int selfContained);

// Win32 only. Releases whatever OpenPackage obtained; safe in every state it leaves.
void ClosePackage(PackageView& view);
