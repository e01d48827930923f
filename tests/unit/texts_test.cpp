// The program's texts are Windows-1251 bytes. Each is pinned here against its Russian written in
// UTF-8 and converted by iconv, so a mistyped escape in texts.h cannot go unnoticed.
#include "shell/texts.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

namespace {

// utf8 converted to Windows-1251; "<iconv failed>" when it cannot be.
std::string ToCp1251(const std::string& utf8) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv failed>";
  std::string in = utf8;
  std::string out(utf8.size() + 1, '\0');  // never longer than the UTF-8 form
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  const size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == static_cast<size_t>(-1) || inLeft != 0) return "<iconv failed>";
  out.resize(out.size() - outLeft);
  return out;
}

TEST(Texts, EveryTextIsItsRussianInWindows1251) {
  struct Case {
    const char* name;
    const char* bytes;
    size_t size;  // sizeof the constant: shows an embedded NUL
    const char* utf8;
  };
#define TEXT_CASE(constant, utf8) \
  { #constant, texts::constant, sizeof texts::constant, utf8 }
  const Case cases[] = {
      TEXT_CASE(kDialogCaption, u8"Pinecone updater"),
      TEXT_CASE(kButtonDone, u8"Done"),
      TEXT_CASE(kButtonOk, u8"OK"),
      TEXT_CASE(kUsageText, u8"Usage: RL_PATCH.EXE resource_nm [output_nm MAKEEXE]"),
      TEXT_CASE(kKeyOpenErrorFormat, u8"Ошибка при получении ключа %s из Windows registry\r\n"),
      TEXT_CASE(kValueReadErrorFormat, u8"Ошибка при чтении из Windows registry (%s)\r\n"),
      TEXT_CASE(kNotFoundText, u8"Оригинальная программа не найдена на вашем компьютере!\r\n"),
      TEXT_CASE(kPatchLevelWarningText,
                u8"Обнаружено текущее или более позднее обновление!\r\nПродолжить установку?\r\n"),
      TEXT_CASE(kPatchLevelWarningCaption, u8"!"),
      TEXT_CASE(kUpdateInstalledText, u8"Обновление успешно установлено!\r\n"),
      TEXT_CASE(kUpdatingFileFormat, u8"Обновляем файл %s...."),
      TEXT_CASE(kFileUpdatedFormat, u8"Обновление успешно завершено!\r\n(%s)\r\n"),
      TEXT_CASE(kFileFailedFormat, u8"Ошибка в процессе обновления файла!\r\n(%s)\r\n"),
      TEXT_CASE(kOutsideFolderFormat, u8"Путь выходит за пределы папки программы!\r\n(%s)\r\n"),
      TEXT_CASE(kForeignBackupFormat,
                u8"Найдена чужая резервная копия, файл не обновлен!\r\n(%s)\r\n"),
      TEXT_CASE(kNotABaseFormat,
                u8"Файл не той версии, для которой сделано обновление!\r\n(%s)\r\n"),
      TEXT_CASE(kBuildFailedFormat, u8"Ошибка при создании файла %s\r\n"),
      TEXT_CASE(kAlreadyRunningText, u8"Другое обновление этой программы уже выполняется!\r\n"),
      TEXT_CASE(kCheckingText, u8"Проверяем файлы...."),
      TEXT_CASE(kCommittingText, u8"Устанавливаем новые файлы...."),
      TEXT_CASE(
          kFileInUseFormat,
          u8"Файл занят другой программой%s!\r\n(%s)\r\nЗакройте её и повторите попытку.\r\n"),
      TEXT_CASE(kNoSpaceFormat, u8"Недостаточно места на диске: нужно ещё %s КБ!\r\n"),
  };
#undef TEXT_CASE
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = ToCp1251(c.utf8);
    EXPECT_EQ(std::string(c.bytes, c.size - 1), expected);
    EXPECT_EQ(std::strlen(c.bytes), c.size - 1);
  }
}

TEST(Texts, FormatsHoldOnlyTheirOneStringConversion) {
  // ShowStatus gets these as formats: one "%s" where a value is given, none where it is not.
  struct Case {
    const char* text;
    int conversions;
  };
  const Case cases[] = {
      {texts::kUsageText, 0},           {texts::kNotFoundText, 0},
      {texts::kKeyOpenErrorFormat, 1},  {texts::kValueReadErrorFormat, 1},
      {texts::kUpdatingFileFormat, 1},  {texts::kFileUpdatedFormat, 1},
      {texts::kFileFailedFormat, 1},    {texts::kBuildFailedFormat, 1},
      {texts::kOutsideFolderFormat, 1}, {texts::kForeignBackupFormat, 1},
      {texts::kNotABaseFormat, 1},      {texts::kAlreadyRunningText, 0},
      {texts::kCheckingText, 0},        {texts::kCommittingText, 0},
      {texts::kFileInUseFormat, 2},     {texts::kNoSpaceFormat, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int percents = 0;
    int strings = 0;
    for (const char* p = c.text; *p; ++p) {
      if (*p != '%') continue;
      ++percents;
      if (p[1] == 's') ++strings;
    }
    EXPECT_EQ(percents, c.conversions);
    EXPECT_EQ(strings, c.conversions);
  }
}

}  // namespace
