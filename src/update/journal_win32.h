// The journal of what runs of the updater made in the program folder and have not yet finished
// with: backups (name.bak) and new files under names of the run's own. Kept as the REG_MULTI_SZ
// value kJournalValue under the program's own key below HKEY_LOCAL_MACHINE, where only
// administrators write, so that a user who can write to the program folder cannot make a file
// of theirs pass for ours: each record holds the file's identity, which a rename keeps and no
// file made later has. The run writes the whole journal once per phase of an update, each write
// before the acts it records, so that a run killed at any moment leaves every file of its own
// recorded; a run that completes leaves no value behind. Win32 only.
#pragma once

#include <cstddef>

#include "update/paths.h"

inline constexpr char kJournalValue[] = "RlPatchBackups";

// The journal under keyPath, read into list (malloc'd, the caller frees it; null when there is
// no journal), size its bytes with the closing NUL. 0 when it cannot be read or there is no
// memory for it.
int JournalRead(const char* keyPath, char*& list, size_t& size);

// Replaces the journal under keyPath with list (size bytes, its closing NUL included); an empty
// list (size 1 or less) deletes the value. 1 when written.
int JournalWrite(const char* keyPath, const char* list, size_t size);

// 1 when the journal under keyPath has a record of name, with record filled from it.
int JournalFind(const char* keyPath, const char* name, JournalRecord& record);

// 1 when record names the open file: a record of an earlier version names it by its name alone;
// any other must have the file's identity.
int JournalRecordIs(const JournalRecord& record, void* file);
