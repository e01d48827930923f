// The backup journal: which name.bak files in the program folder a run of the updater made. Kept
// as the REG_MULTI_SZ value kJournalValue under the program's own key below HKEY_LOCAL_MACHINE,
// where only administrators write, so that a user who can write to the program folder cannot
// make a .bak of theirs pass for ours: each record holds the backup's file identity, which a
// rename keeps and no file made later has. A name is recorded before its backup is made and
// forgotten once the backup is gone, so that a run killed at any moment leaves every backup of its
// own recorded; a run that completes leaves no value behind. Win32 only.
#pragma once

#include "update/paths.h"

inline constexpr char kJournalValue[] = "RlPatchBackups";

// Records name's backup (name as the journal spells it: JournalName) under keyPath as record,
// replacing any record of the name. 1 when the journal holds it; 0 when it could not be written
// (no backup may then be made).
int JournalPut(const char* keyPath, const char* name, const JournalRecord& record);

// 1 when the journal under keyPath has a record of name, with record filled from it.
int JournalFind(const char* keyPath, const char* name, JournalRecord& record);

// 1 when record names the open file backup: a record of an earlier version names it by its name
// alone; any other must have the file's identity.
int JournalRecordIs(const JournalRecord& record, void* backup);

// Forgets name; the value is deleted when no name is left. Failures are ignored: the name then
// stays recorded, which only keeps a backup of ours trusted while its identity matches.
void JournalRemove(const char* keyPath, const char* name);
