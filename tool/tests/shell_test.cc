// The start-up shell and the add-in layer through their replaceable runtime
// calls: call order, which layer undoes what, exit codes and the rule that a
// STATUS with bit 0x8000 is never shown.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rswq.h"
#include "shell.h"

namespace {

struct FakeRuntime {
  STATUS initExtended = 0;
  STATUS sdkInit = 0;
  STATUS main = 0;
  int initErrorResult = 42;
  int errorResult = 1;  // nonzero: "show in a window"
  std::vector<std::string> calls;
  std::vector<std::pair<std::string, int>> shown;
  WORD bufLenSeen = 0;
  void* mainEntrySeen = nullptr;
  void* hInstanceSeen = nullptr;
};
FakeRuntime* g_rt = nullptr;

STATUS FInitExtended(int, char**) {
  g_rt->calls.push_back("InitExtended");
  return g_rt->initExtended;
}
STATUS FSDKInit(void* entry, int, char**, void* hInst, void*) {
  g_rt->calls.push_back("SDKMAINInit");
  g_rt->mainEntrySeen = entry;
  g_rt->hInstanceSeen = hInst;
  return g_rt->sdkInit;
}
int FInitError(STATUS st, char* buf, WORD len) {
  g_rt->calls.push_back("SDKMAINInitError");
  g_rt->bufLenSeen = len;
  std::snprintf(buf, len, "init failed %u", (unsigned)st);
  return g_rt->initErrorResult;
}
int FError(STATUS st, char* buf, WORD len) {
  g_rt->calls.push_back("SDKMAINError");
  g_rt->bufLenSeen = len;
  std::snprintf(buf, len, "run failed %u", (unsigned)st);
  return g_rt->errorResult;
}
STATUS FMain(int, char**) {
  g_rt->calls.push_back("TavloMain");
  return g_rt->main;
}
void FTerm() { g_rt->calls.push_back("TavloTerm"); }
void FShow(const char* text, int windowed) {
  g_rt->calls.push_back("Show");
  g_rt->shown.emplace_back(text, windowed);
}

const ShellEnv kFakeEnv = {FInitExtended, FSDKInit, FInitError, FError,
                           FMain,         FTerm,    FShow};

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override { g_rt = &rt; }
  void TearDown() override { g_rt = nullptr; }
  int Run(int windowed = 0) {
    char a0[] = "rswq";
    char* argv[] = {a0, nullptr};
    return ShellMainWithEnv(&kFakeEnv, windowed, nullptr, nullptr, 1, argv);
  }
  FakeRuntime rt;
};

using Calls = std::vector<std::string>;

TEST_F(ShellTest, SuccessRunsEveryLayerInOrderAndExitsZero) {
  EXPECT_EQ(0, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInit", "TavloMain", "TavloTerm"}),
            rt.calls);
  EXPECT_NE(nullptr, rt.mainEntrySeen);  // told where the console entry is
}

TEST_F(ShellTest, RuntimeStartFailureIsShownAndItsCodeReturnedWithoutTerm) {
  rt.initExtended = 0x0109;
  rt.initErrorResult = 7;
  EXPECT_EQ(7, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInitError", "Show"}), rt.calls);
  EXPECT_EQ(255, rt.bufLenSeen);
  ASSERT_EQ(1u, rt.shown.size());
  EXPECT_EQ("init failed 265", rt.shown[0].first);
  EXPECT_EQ(0, rt.shown[0].second);
}

TEST_F(ShellTest, RuntimeStartFailureWithQuietBitIsNotShown) {
  rt.initExtended = 0x8109;
  rt.initErrorResult = -3;
  EXPECT_EQ(-3, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInitError"}), rt.calls);
}

TEST_F(ShellTest, RuntimeStartFailureShowsInWindowOnWindowedBuild) {
  rt.initExtended = 0x0109;
  Run(1);
  ASSERT_EQ(1u, rt.shown.size());
  EXPECT_EQ(1, rt.shown[0].second);
}

TEST_F(ShellTest, ToolkitFailureIsNeverShownButRuntimeIsShutDown) {
  rt.sdkInit = 0x0109;
  EXPECT_EQ(-1, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInit", "TavloTerm"}), rt.calls);
}

TEST_F(ShellTest, ToolkitFailureWithQuietBitIsNotShownEither) {
  rt.sdkInit = 0x8001;
  EXPECT_EQ(-1, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInit", "TavloTerm"}), rt.calls);
}

TEST_F(ShellTest, ToolFailureIsShownThenRuntimeShutDownAndExitMinusOne) {
  rt.main = ERR_WQS_NO_QUEUE;
  EXPECT_EQ(-1, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInit", "TavloMain", "SDKMAINError",
                   "Show", "TavloTerm"}),
            rt.calls);
  EXPECT_EQ(255, rt.bufLenSeen);
  ASSERT_EQ(1u, rt.shown.size());
  EXPECT_EQ("run failed 13280", rt.shown[0].first);
}

TEST_F(ShellTest, ToolFailureWithQuietBitIsNotShown) {
  rt.main = 0x8000 | 13280;
  EXPECT_EQ(-1, Run());
  EXPECT_EQ((Calls{"InitExtended", "SDKMAINInit", "TavloMain", "TavloTerm"}),
            rt.calls);
}

TEST_F(ShellTest, ErrorTextGoesToWindowOnlyWhenRuntimeSaysSo) {
  rt.main = 13280;
  rt.errorResult = 1;
  Run(1);
  ASSERT_EQ(1u, rt.shown.size());
  EXPECT_EQ(1, rt.shown[0].second);

  rt.shown.clear();
  rt.errorResult = 0;  // "not for a window": standard output even windowed
  Run(1);
  ASSERT_EQ(1u, rt.shown.size());
  EXPECT_EQ(0, rt.shown[0].second);

  rt.shown.clear();
  rt.errorResult = 1;  // console build stays on standard output
  Run(0);
  ASSERT_EQ(1u, rt.shown.size());
  EXPECT_EQ(0, rt.shown[0].second);
}

TEST(ShellShowMessageTest, ConsoleFormatOnStandardOutput) {
  testing::internal::CaptureStdout();
  ShellShowMessage("queue file missing", 0);
  EXPECT_EQ("\r\nqueue file missing\r\n\r\n",
            testing::internal::GetCapturedStdout());
}

TEST(ShellShowMessageTest, WindowedWithoutMessageBoxesUsesStandardError) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ShellShowMessage("boom", 1);
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("\r\nboom\r\n\r\n", testing::internal::GetCapturedStderr());
}

TEST(ShellDefaultEnvTest, UsesTheRealRuntimeAndAddInLayer) {
  const ShellEnv* env = ShellDefaultEnv();
  EXPECT_EQ(&TavloInitExtended, env->InitExtended);
  EXPECT_EQ(&TavloMain, env->Main);
  EXPECT_EQ(&TavloTerm, env->Term);
  EXPECT_EQ(&ShellShowMessage, env->ShowMessage);
  const AddInEnv* a = AddInDefaultEnv();
  EXPECT_EQ(&AddInMain, a->Main);
  EXPECT_EQ(&AddInSDKTerm, a->SDKTerm);
}

// ---------------------------------------------------------------------------
// The add-in layer.

struct FakeAddIn {
  STATUS sdkInit = 0;
  STATUS main = 0;
  STATUS termResult = 0xFFFF;  // 0xFFFF: pass the STATUS through
  std::vector<std::string> calls;
  STATUS termSeen = 0xFFFF;
  DHANDLE moduleSeen = 0;
};
FakeAddIn* g_ai = nullptr;

STATUS ASDKInit(int, char**) {
  g_ai->calls.push_back("AddInSDKInit");
  return g_ai->sdkInit;
}
STATUS AInitModule(DHANDLE* h, void*, void*) {
  g_ai->calls.push_back("TavloInitModule");
  *h = 0x1234;
  return 0;
}
STATUS AMain(DHANDLE h, int, char**) {
  g_ai->calls.push_back("AddInMain");
  g_ai->moduleSeen = h;
  return g_ai->main;
}
STATUS ASDKTerm(STATUS st) {
  g_ai->calls.push_back("AddInSDKTerm");
  g_ai->termSeen = st;
  return g_ai->termResult == 0xFFFF ? st : g_ai->termResult;
}
const AddInEnv kFakeAddIn = {ASDKInit, AInitModule, AMain, ASDKTerm};

class AddInLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { g_ai = &ai; }
  void TearDown() override { g_ai = nullptr; }
  STATUS Run() {
    char a0[] = "rswq";
    char* argv[] = {a0, nullptr};
    return TavloMainWithEnv(&kFakeAddIn, 1, argv);
  }
  FakeAddIn ai;
};

TEST_F(AddInLayerTest, RunsToolInsideContextWithModuleHandle) {
  EXPECT_EQ(0, Run());
  EXPECT_EQ((Calls{"AddInSDKInit", "TavloInitModule", "AddInMain",
                   "AddInSDKTerm"}),
            ai.calls);
  EXPECT_EQ(0x1234u, ai.moduleSeen);
}

TEST_F(AddInLayerTest, ToolStatusReachesShellThroughContextEnd) {
  ai.main = 13280;
  EXPECT_EQ(13280, Run());
  EXPECT_EQ(13280, ai.termSeen);
  ai.termResult = 77;
  EXPECT_EQ(77, Run());
}

TEST_F(AddInLayerTest, ContextFailureSkipsToolAndContextEnd) {
  ai.sdkInit = 0x0109;
  EXPECT_EQ(0x0109, Run());
  EXPECT_EQ((Calls{"AddInSDKInit"}), ai.calls);
}

}  // namespace
