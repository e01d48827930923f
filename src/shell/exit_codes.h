// The process exit codes: one table for the interactive and the silent run, so that a
// deployment tool can tell what happened on each machine. Where the Windows installer has a code
// for the same outcome, it is that code, so that tools which already know those read these too.
#pragma once

namespace exit_codes {

// An update that installs all or nothing found a file held open by another program, and the
// user cancelled (or the run was silent): nothing changed (ERROR_SHARING_VIOLATION).
inline constexpr int kFileInUse = 32;
// Such an update found too little free space on the program's volume: nothing changed
// (ERROR_DISK_FULL).
inline constexpr int kDiskFull = 112;
// The update was installed completely (every file written, the patch level recorded), or the
// build wrote its updater.
inline constexpr int kSuccess = 0;
// The user declined the startup question (ERROR_INSTALL_USEREXIT).
inline constexpr int kDeclined = 1602;
// One or more files failed and were rolled back, or the patch level could not be recorded, or
// the run ran out of memory part-way: the update is not complete (ERROR_INSTALL_FAILURE).
inline constexpr int kFilesFailed = 1603;
// The installed program was not found (ERROR_UNKNOWN_PRODUCT).
inline constexpr int kNotFound = 1605;
// Another update of the same program is running; this one touched nothing
// (ERROR_INSTALL_ALREADY_RUNNING).
inline constexpr int kAlreadyRunning = 1618;
// The package could not be opened or was refused (ERROR_INSTALL_PACKAGE_INVALID).
inline constexpr int kPackageRefused = 1620;
// The log named by /LOG= could not be opened; nothing was done (ERROR_INSTALL_LOG_FAILURE).
inline constexpr int kLogFailed = 1622;
// The build mode could not write its updater (ERROR_FUNCTION_FAILED).
inline constexpr int kBuildFailed = 1627;
// The installed patch level is the package's or later: the warning was declined, or a silent
// run without /FORCE skipped the update (ERROR_PRODUCT_VERSION).
inline constexpr int kLevelNotOlder = 1638;
// The command line was refused: the usage text (ERROR_INVALID_COMMAND_LINE).
inline constexpr int kUsage = 1639;

}  // namespace exit_codes
