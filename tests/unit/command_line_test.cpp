// The command-line split and the run-mode choice, table-driven from the program's own rules:
// quotes without escapes, blanks 0x01-0x20, every byte 0x21-0xFF ordinary, an empty quoted
// token ending the split, at most 256 tokens.
#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& commandLine) {
  SplitCommandLine(commandLine.c_str());
  std::vector<std::string> tokens;
  for (int32_t i = 0; i < ArgCount; ++i) tokens.emplace_back(ArgTable[i]);
  return tokens;
}

// "p" followed by count - 1 tokens "t1", "t2", ...; token 3 replaced by fourth when given.
std::string ManyTokens(int count, const char* fourth = nullptr) {
  std::string line = "p";
  for (int i = 1; i < count; ++i) {
    line += ' ';
    line += (i == 3 && fourth) ? std::string(fourth) : "t" + std::to_string(i);
  }
  return line;
}

TEST(SplitCommandLine, Tokens) {
  struct Case {
    const char* name;
    std::string commandLine;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"blanks only", " \t\r\n\x01\x1f ", {}},
      {"program alone", "RL_PATCH.EXE", {"RL_PATCH.EXE"}},
      {"two tokens", "RL_PATCH.EXE upd.pkg", {"RL_PATCH.EXE", "upd.pkg"}},
      {"every blank 0x01-0x20 separates",
       std::string("a\x01"
                   "b\x09"
                   "c\x0a"
                   "d\x0d"
                   "e\x1f"
                   "f\x20"
                   "g"),
       {"a", "b", "c", "d", "e", "f", "g"}},
      {"runs of blanks before, between and after", "\x01\x02  a \t\t b\x20\x1f\x01", {"a", "b"}},
      {"quoted token keeps its blanks",
       "\"C:\\Program Files\\RL_PATCH.EXE\" \"my pkg.bin\"",
       {"C:\\Program Files\\RL_PATCH.EXE", "my pkg.bin"}},
      {"quoted token keeps blanks of every kind",
       "p \"a\tb\x01"
       "c\"",
       {"p",
        "a\tb\x01"
        "c"}},
      {"text right after a closing quote starts the next token", "\"ab\"cd e", {"ab", "cd", "e"}},
      {"two quoted tokens back to back", "p \"a\"\"b\"", {"p", "a", "b"}},
      {"quote inside an unquoted token is ordinary", "p a\"b c", {"p", "a\"b", "c"}},
      {"quote at the end of an unquoted token", "p ab\" c", {"p", "ab\"", "c"}},
      {"unclosed quote takes the rest", "p \"rest of  the line", {"p", "rest of  the line"}},
      {"backslashes are not escapes", "p \"a\\\" b", {"p", "a\\", "b"}},
      {"empty quoted token ends the split", "p \"\" upd.pkg", {"p"}},
      {"empty quoted token first", "\"\" p upd.pkg", {}},
      {"lone quote at the very end", "p \"", {"p"}},
      {"lone quote after blanks at the end", "p a   \"", {"p", "a"}},
      {"Cyrillic bytes outside quotes",
       "p \xCE\xE1\xED\xEE\xE2.pkg",
       {"p", "\xCE\xE1\xED\xEE\xE2.pkg"}},
      {"Cyrillic bytes inside quotes",
       "p \"\xCF\xE0\xEF\xEA\xE0 \xF4\xE0\xE9\xEB\"",
       {"p", "\xCF\xE0\xEF\xEA\xE0 \xF4\xE0\xE9\xEB"}},
      {"0x7F, 0xA0 and 0xFF are ordinary",
       "p a\x7f"
       "b\xa0"
       "c\xff"
       "d",
       {"p",
        "a\x7f"
        "b\xa0"
        "c\xff"
        "d"}},
      {"0x21 is ordinary", "!a !", {"!a", "!"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Split(c.commandLine), c.tokens);
    EXPECT_EQ(ArgCount, static_cast<int32_t>(c.tokens.size()));
  }
}

TEST(SplitCommandLine, KeepsAtMost256TokensAndIgnoresTheRest) {
  struct Case {
    int tokens;
    int32_t kept;
  };
  const Case cases[] = {{255, 255}, {256, 256}, {257, 256}, {1000, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tokens);
    const std::vector<std::string> tokens = Split(ManyTokens(c.tokens));
    ASSERT_EQ(ArgCount, c.kept);
    EXPECT_EQ(tokens.front(), "p");
    EXPECT_EQ(tokens.back(), "t" + std::to_string(c.kept - 1));
  }
}

TEST(SplitCommandLine, EachTokenIsItsOwnExactCopy) {
  const std::string line = "prog \"a b\" c";
  SplitCommandLine(line.c_str());
  ASSERT_EQ(ArgCount, 3);
  for (int32_t i = 0; i < ArgCount; ++i) {
    // Copies, not pointers into the command line, which stays unchanged.
    EXPECT_TRUE(ArgTable[i] < line.data() || ArgTable[i] >= line.data() + line.size());
  }
  EXPECT_EQ(line, "prog \"a b\" c");
  // A second split replaces the first whole (the old tokens are released: a leak shows under
  // the sanitizer build).
  EXPECT_EQ(Split("x"), std::vector<std::string>{"x"});
  EXPECT_EQ(Split(""), std::vector<std::string>{});
}

TEST(ChooseRunMode, FromTheTokens) {
  struct Case {
    const char* name;
    std::string commandLine;
    RunMode mode;
  };
  const Case cases[] = {
      {"empty command line", "", RunMode::Usage},
      {"program alone", "RL_PATCH.EXE", RunMode::SelfContained},
      {"program without extension", "RL_PATCH", RunMode::SelfContained},
      {"two tokens", "p upd.pkg", RunMode::PackageFile},
      {"three tokens", "p upd.pkg ignored", RunMode::PackageFile},
      {"three tokens, the third MAKEEXE", "p upd.pkg MAKEEXE", RunMode::PackageFile},
      {"four, the fourth MAKEEXE", "p upd.pkg out.exe MAKEEXE", RunMode::Build},
      {"four, the fourth quoted MAKEEXE", "p upd.pkg out.exe \"MAKEEXE\"", RunMode::Build},
      {"five, the fourth MAKEEXE", "p upd.pkg out.exe MAKEEXE extra", RunMode::Build},
      {"four, lower case", "p upd.pkg out.exe makeexe", RunMode::Usage},
      {"four, mixed case", "p upd.pkg out.exe MakeExe", RunMode::Usage},
      {"four, a prefix of MAKEEXE", "p upd.pkg out.exe MAKEEX", RunMode::Usage},
      {"four, MAKEEXE and more", "p upd.pkg out.exe MAKEEXE2", RunMode::Usage},
      {"four, another word", "p a b c", RunMode::Usage},
      {"five, MAKEEXE fifth", "p a b c MAKEEXE", RunMode::Usage},
      {"empty quoted token cuts to one token", "p \"\" upd.pkg out.exe MAKEEXE",
       RunMode::SelfContained},
      {"empty quoted token cuts to two tokens", "p upd.pkg \"\" out.exe MAKEEXE",
       RunMode::PackageFile},
      {"300 tokens, the fourth MAKEEXE", ManyTokens(300, "MAKEEXE"), RunMode::Build},
      {"300 tokens, another fourth", ManyTokens(300), RunMode::Usage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SplitCommandLine(c.commandLine.c_str());
    EXPECT_EQ(ChooseRunMode(), c.mode);
  }
}

// The switches come out before the mode is chosen; every other token keeps its place.
TEST(TakeSwitches, SwitchesComeOutBeforeTheModeIsChosen) {
  struct Case {
    const char* name;
    std::string commandLine;
    std::vector<std::string> tokens;  // what is left
    int silent, force;
    const char* logPath;  // null: none
    RunMode mode;
  };
  const Case cases[] = {
      {"no switch", "p upd.pkg", {"p", "upd.pkg"}, 0, 0, nullptr, RunMode::PackageFile},
      {"silent self-contained",
       "UPDATE.EXE /S",
       {"UPDATE.EXE"},
       1,
       0,
       nullptr,
       RunMode::SelfContained},
      {"silent package file with a log",
       "p upd.pkg /S /LOG=u.log",
       {"p", "upd.pkg"},
       1,
       0,
       "u.log",
       RunMode::PackageFile},
      {"letter case ignored",
       "p /s /Force /lOg=C:\\x.log upd.pkg",
       {"p", "upd.pkg"},
       1,
       1,
       "C:\\x.log",
       RunMode::PackageFile},
      {"a quoted log path keeps its blanks",
       "p upd.pkg \"/LOG=C:\\my logs\\u.log\"",
       {"p", "upd.pkg"},
       0,
       0,
       "C:\\my logs\\u.log",
       RunMode::PackageFile},
      {"the last log switch counts",
       "p /LOG=a.log /LOG=b.log",
       {"p"},
       0,
       0,
       "b.log",
       RunMode::SelfContained},
      {"an empty log path asks for no log",
       "p /LOG=a.log /LOG=",
       {"p"},
       0,
       0,
       nullptr,
       RunMode::SelfContained},
      {"a build with switches between its tokens",
       "p upd.pkg /S out.exe MAKEEXE",
       {"p", "upd.pkg", "out.exe", "MAKEEXE"},
       1,
       0,
       nullptr,
       RunMode::Build},
      {"switches do not make four tokens",
       "p upd.pkg /S /FORCE",
       {"p", "upd.pkg"},
       1,
       1,
       nullptr,
       RunMode::PackageFile},
      {"unknown slash tokens stay",
       "p /X /SILENT /S2 /LOG /FORCE=1",
       {"p", "/X", "/SILENT", "/S2", "/LOG", "/FORCE=1"},
       0,
       0,
       nullptr,
       RunMode::Usage},
      {"a package named like a switch but longer stays",
       "p /slog.pkg",
       {"p", "/slog.pkg"},
       0,
       0,
       nullptr,
       RunMode::PackageFile},
      {"token 0 is never a switch",
       "/S upd.pkg",
       {"/S", "upd.pkg"},
       0,
       0,
       nullptr,
       RunMode::PackageFile},
      {"switches only after an empty quoted token are not seen",
       "p \"\" /S",
       {"p"},
       0,
       0,
       nullptr,
       RunMode::SelfContained},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SplitCommandLine(c.commandLine.c_str());
    EXPECT_EQ(TakeSwitches(), 1);
    std::vector<std::string> tokens;
    for (int32_t i = 0; i < ArgCount; ++i) tokens.emplace_back(ArgTable[i]);
    EXPECT_EQ(tokens, c.tokens);
    EXPECT_EQ(Switches.silent, c.silent);
    EXPECT_EQ(Switches.force, c.force);
    if (c.logPath) {
      ASSERT_NE(Switches.logPath, nullptr);
      EXPECT_STREQ(Switches.logPath, c.logPath);
    } else {
      EXPECT_EQ(Switches.logPath, nullptr);
    }
    EXPECT_EQ(ChooseRunMode(), c.mode);
  }
  // A second split releases what is left, with no table entry pointing at a freed switch.
  SplitCommandLine("p /S");
  TakeSwitches();
  SplitCommandLine("q");
  EXPECT_EQ(ArgCount, 1);
  EXPECT_EQ(ArgTable[1], nullptr);
}

}  // namespace
