// The run's log for administrators: one timestamped UTF-8 line per event, appended, each line on
// disk before the caller goes on, so that the log of a killed run ends where the run stopped.
// Every function does nothing while no log is open. Win32 only.
#pragma once

#include <windows.h>

// Opens path for appending (created when missing; a new or empty file gets the UTF-8 byte-order
// mark). Refuses a file that is a reparse point or has more than one name (a hard link): a log
// in a folder that others can write to, such as the system's temporary folder of an updater
// running as SYSTEM, must not let them point the appended lines into a file of their choice.
// 1 when open; 0 otherwise, with no log open.
int OpenLog(const char* path);

// Opens the default log of a silent run: the temporary folder's file named after the updater's
// own file, its extension replaced by ".log" (UPDATE.EXE: %TEMP%\UPDATE.log). 1 or 0, as OpenLog.
int OpenDefaultLog();

// Whether a log is open.
int LogIsOpen();

// Writes text, in the program's code page (Windows-1251), as one line: the local time to the
// millisecond, then the text with each run of line breaks turned into " | " and trailing ones
// dropped. Flushed to disk before returning.
void LogText(const char* text);

// printf-style LogText (the C runtime's formatter; "%s", "%d", "%u", "%lu", "%.32s" and the like).
// The text is cut at 4,095 bytes.
void LogFormat(const char* format, ...);

// One line: what (Windows-1251), a blank, path (or nothing when null), then "- error N: " and the
// system's text for error, which FormatMessage gives in UTF-16 and the log keeps as it is.
void LogError(const char* what, const char* path, DWORD error);
