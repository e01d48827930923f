// The backup journal: which name.bak files in the program folder a run of the updater made. Kept
// as the REG_MULTI_SZ value kJournalValue under the program's own key below HKEY_LOCAL_MACHINE,
// where only administrators write, so that a user who can write to the program folder cannot
// make a .bak of theirs pass for ours. A name is recorded before its backup is made and forgotten
// once the backup is gone, so that a run killed at any moment leaves every backup of its own
// recorded; a run that completes leaves no value behind. Win32 only.
#pragma once

inline constexpr char kJournalValue[] = "RlPatchBackups";

// Records name (a name on disk, relative to the program folder) under keyPath. wasThere receives
// 1 when an earlier run had recorded it already. 1 when the journal holds the name; 0 when it
// could not be written (no backup may then be made).
int JournalAdd(const char* keyPath, const char* name, int& wasThere);

// 1 when the journal under keyPath records name.
int JournalHas(const char* keyPath, const char* name);

// Forgets name; the value is deleted when no name is left. Failures are ignored: the name then
// stays recorded, which only keeps a backup of ours trusted.
void JournalRemove(const char* keyPath, const char* name);
