// The program's own texts, stored as Windows-1251 bytes so that they show correctly through the
// ANSI API whatever compiler or source encoding builds them. Each is preceded by its reading.
#pragma once

namespace texts {

inline constexpr char kDialogCaption[] = "Pinecone updater";
inline constexpr char kButtonDone[] = "Done";
inline constexpr char kButtonOk[] = "OK";

// The usage text; shown as the format itself, with no argument.
// "Usage: RL_PATCH.EXE resource_nm [output_nm MAKEEXE]"
inline constexpr char kUsageText[] = "Usage: RL_PATCH.EXE resource_nm [output_nm MAKEEXE]";

// A registry key cannot be opened; %s is the key path.
// "Ошибка при получении ключа %s из Windows registry\r\n"
inline constexpr char kKeyOpenErrorFormat[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xEF\xEE\xEB\xF3\xF7\xE5\xED\xE8\xE8 "
    "\xEA\xEB\xFE\xF7\xE0 %s \xE8\xE7 Windows registry\r\n";

// A registry value cannot be read; %s is the value name.
// "Ошибка при чтении из Windows registry (%s)\r\n"
inline constexpr char kValueReadErrorFormat[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xF7\xF2\xE5\xED\xE8\xE8 \xE8\xE7 Windows registry "
    "(%s)\r\n";

// The installed program was not found.
// "Оригинальная программа не найдена на вашем компьютере!\r\n"
inline constexpr char kNotFoundText[] =
    "\xCE\xF0\xE8\xE3\xE8\xED\xE0\xEB\xFC\xED\xE0\xFF \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0 "
    "\xED\xE5 \xED\xE0\xE9\xE4\xE5\xED\xE0 \xED\xE0 \xE2\xE0\xF8\xE5\xEC "
    "\xEA\xEE\xEC\xEF\xFC\xFE\xF2\xE5\xF0\xE5!\r\n";

// The question when the installed patch level is the package's or later.
// "Обнаружено текущее или более позднее обновление!\r\nПродолжить установку?\r\n"
inline constexpr char kPatchLevelWarningText[] =
    "\xCE\xE1\xED\xE0\xF0\xF3\xE6\xE5\xED\xEE \xF2\xE5\xEA\xF3\xF9\xE5\xE5 \xE8\xEB\xE8 "
    "\xE1\xEE\xEB\xE5\xE5 \xEF\xEE\xE7\xE4\xED\xE5\xE5 "
    "\xEE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5!\r\n\xCF\xF0\xEE\xE4\xEE\xEB\xE6\xE8\xF2\xFC "
    "\xF3\xF1\xF2\xE0\xED\xEE\xE2\xEA\xF3?\r\n";

// Caption of that question.
// "!"
inline constexpr char kPatchLevelWarningCaption[] = "!";

// Every file was written; shown before the patch level is recorded.
// "Обновление успешно установлено!\r\n"
inline constexpr char kUpdateInstalledText[] =
    "\xCE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xF3\xF1\xEF\xE5\xF8\xED\xEE "
    "\xF3\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED\xEE!\r\n";

// A file is being written; %s is its name on disk, relative.
// "Обновляем файл %s...."
inline constexpr char kUpdatingFileFormat[] =
    "\xCE\xE1\xED\xEE\xE2\xEB\xFF\xE5\xEC \xF4\xE0\xE9\xEB %s....";

// A file was written; %s is its full path.
// "Обновление успешно завершено!\r\n(%s)\r\n"
inline constexpr char kFileUpdatedFormat[] =
    "\xCE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xF3\xF1\xEF\xE5\xF8\xED\xEE "
    "\xE7\xE0\xE2\xE5\xF0\xF8\xE5\xED\xEE!\r\n(%s)\r\n";

// A file could not be written; %s is its full path.
// "Ошибка в процессе обновления файла!\r\n(%s)\r\n"
inline constexpr char kFileFailedFormat[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xE2 \xEF\xF0\xEE\xF6\xE5\xF1\xF1\xE5 "
    "\xEE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xFF \xF4\xE0\xE9\xEB\xE0!\r\n(%s)\r\n";

// A file, folder or removal whose path leaves the program folder through a link (a junction, a
// symbolic link, a mount point) or no longer leads to the folder held: refused untouched; %s is
// its full path.
// "Путь выходит за пределы папки программы!\r\n(%s)\r\n"
inline constexpr char kOutsideFolderFormat[] =
    "\xCF\xF3\xF2\xFC \xE2\xFB\xF5\xEE\xE4\xE8\xF2 \xE7\xE0 \xEF\xF0\xE5\xE4\xE5\xEB\xFB "
    "\xEF\xE0\xEF\xEA\xE8 \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB!\r\n(%s)\r\n";

// A file whose backup name is taken by a .bak that no run of the updater made (the user's own):
// the file is left untouched; %s is the full path of that .bak.
// "Найдена чужая резервная копия, файл не обновлен!\r\n(%s)\r\n"
inline constexpr char kForeignBackupFormat[] =
    "\xCD\xE0\xE9\xE4\xE5\xED\xE0 \xF7\xF3\xE6\xE0\xFF \xF0\xE5\xE7\xE5\xF0\xE2\xED\xE0\xFF "
    "\xEA\xEE\xEF\xE8\xFF, \xF4\xE0\xE9\xEB \xED\xE5 \xEE\xE1\xED\xEE\xE2\xEB\xE5\xED!\r\n(%s)\r\n";

// A file of a patch package that is neither a version the package's deltas were made from nor
// the new version, where the package carries no whole copy of it: left untouched; %s is its full
// path.
// "Файл не той версии, для которой сделано обновление!\r\n(%s)\r\n"
inline constexpr char kNotABaseFormat[] =
    "\xD4\xE0\xE9\xEB \xED\xE5 \xF2\xEE\xE9 \xE2\xE5\xF0\xF1\xE8\xE8, \xE4\xEB\xFF "
    "\xEA\xEE\xF2\xEE\xF0\xEE\xE9 \xF1\xE4\xE5\xEB\xE0\xED\xEE "
    "\xEE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5!\r\n(%s)\r\n";

// The updater could not be built; %s is the output's name.
// "Ошибка при создании файла %s\r\n"
inline constexpr char kBuildFailedFormat[] =
    "\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xF1\xEE\xE7\xE4\xE0\xED\xE8\xE8 \xF4\xE0\xE9\xEB\xE0 "
    "%s\r\n";

// Another updater of the same program holds its lock; this one touches nothing.
// "Другое обновление этой программы уже выполняется!\r\n"
inline constexpr char kAlreadyRunningText[] =
    "\xC4\xF0\xF3\xE3\xEE\xE5 \xEE\xE1\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xFD\xF2\xEE\xE9 "
    "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB \xF3\xE6\xE5 "
    "\xE2\xFB\xEF\xEE\xEB\xED\xFF\xE5\xF2\xF1\xFF!\r\n";

// An update that installs all or nothing checks every file before it changes any.
// "Проверяем файлы...."
inline constexpr char kCheckingText[] =
    "\xCF\xF0\xEE\xE2\xE5\xF0\xFF\xE5\xEC \xF4\xE0\xE9\xEB\xFB....";
// Every new file of such an update is built beside its target; now they are renamed into place.
// "Устанавливаем новые файлы...."
inline constexpr char kCommittingText[] =
    "\xD3\xF1\xF2\xE0\xED\xE0\xE2\xEB\xE8\xE2\xE0\xE5\xEC \xED\xEE\xE2\xFB\xE5 "
    "\xF4\xE0\xE9\xEB\xFB....";
// A file of such an update is held open by another program, which the first %s names (" (name)")
// where the system tells it, else it is empty; the second %s is the file's full path. Asked with
// Retry and Cancel; nothing has changed.
// "Файл занят другой программой%s!\r\n(%s)\r\nЗакройте её и повторите попытку.\r\n"
inline constexpr char kFileInUseFormat[] =
    "\xD4\xE0\xE9\xEB \xE7\xE0\xED\xFF\xF2 \xE4\xF0\xF3\xE3\xEE\xE9 "
    "\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xEE\xE9%s!\r\n(%s)\r\n\xC7\xE0\xEA\xF0\xEE\xE9\xF2\xE5 "
    "\xE5\xB8 \xE8 \xEF\xEE\xE2\xF2\xEE\xF0\xE8\xF2\xE5 \xEF\xEE\xEF\xFB\xF2\xEA\xF3.\r\n";
// The volume lacks room for the new files of such an update beside the old ones; %s is how many
// kilobytes more it needs. Nothing has changed.
// "Недостаточно места на диске: нужно ещё %s КБ!\r\n"
inline constexpr char kNoSpaceFormat[] =
    "\xCD\xE5\xE4\xEE\xF1\xF2\xE0\xF2\xEE\xF7\xED\xEE \xEC\xE5\xF1\xF2\xE0 \xED\xE0 "
    "\xE4\xE8\xF1\xEA\xE5: \xED\xF3\xE6\xED\xEE \xE5\xF9\xB8 %s \xCA\xC1!\r\n";
}  // namespace texts
