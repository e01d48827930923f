// The application shell under Wine, driven through its real window: command lines that end with
// the usage text, the click rule, the keys and commands that must not close the window.
#include <gtest/gtest.h>

#include <string>

#include "driver_win32.h"
#include "shell/texts.h"

namespace {

constexpr DWORD kTimeoutMs = 20000;

class ShellUsage : public ::testing::Test {
 protected:
  void TearDown() override { KillIfRunning(run_); }
  UpdaterRun run_;
};

TEST_F(ShellUsage, FourTokensWithAnotherFourthShowUsageAndWaitForOk) {
  ASSERT_TRUE(StartProcess(RlPatchPath(), "RL_PATCH.EXE a b NOTMAKEEXE", run_));
  ASSERT_NE(WaitForDialog(run_, kTimeoutMs), nullptr);
  ASSERT_TRUE(WaitForFinished(run_, kTimeoutMs));
  EXPECT_EQ(ControlText(run_.dialog, 1000), texts::kUsageText);
  EXPECT_EQ(WindowCaption(run_.dialog), texts::kDialogCaption);
  // The window waits for the click.
  Pause(300);
  EXPECT_TRUE(IsRunning(run_));
  PressButton(run_.dialog, 1);
  DWORD exitCode = 1;
  ASSERT_TRUE(WaitForExit(run_, kTimeoutMs, exitCode));
  EXPECT_EQ(exitCode, 0u);
}

}  // namespace
