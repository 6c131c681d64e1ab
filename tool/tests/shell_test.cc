// The start-up shell and the add-in layer through their replaceable runtime
// calls: call order, which layer undoes what, exit codes and the rule that a
// STATUS with bit 0x8000 is never shown.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "rswq.h"
#include "shell.h"

namespace {

using Calls = std::vector<std::string>;
using Shown = std::vector<std::pair<std::string, int>>;

// What the fake runtime returns, and what it saw.
struct FakeRuntime {
  STATUS initExtended = 0, sdkInit = 0, main = 0;
  int initErrorResult = 42;
  int errorResult = 1;  // nonzero: "show in a window"
  Calls calls;
  Shown shown;
  WORD bufLenSeen = 0;
  void* mainEntrySeen = nullptr;
};
FakeRuntime* g_rt = nullptr;

const ShellEnv kFakeEnv = {
    [](int, char**) -> STATUS {
      g_rt->calls.push_back("InitExtended");
      return g_rt->initExtended;
    },
    [](void* entry, int, char**, void*, void*) -> STATUS {
      g_rt->calls.push_back("SDKMAINInit");
      g_rt->mainEntrySeen = entry;
      return g_rt->sdkInit;
    },
    [](STATUS st, char* buf, WORD len) {
      g_rt->calls.push_back("SDKMAINInitError");
      g_rt->bufLenSeen = len;
      std::snprintf(buf, len, "init failed %u", unsigned(st));
      return g_rt->initErrorResult;
    },
    [](STATUS st, char* buf, WORD len) {
      g_rt->calls.push_back("SDKMAINError");
      g_rt->bufLenSeen = len;
      std::snprintf(buf, len, "run failed %u", unsigned(st));
      return g_rt->errorResult;
    },
    [](int, char**) -> STATUS {
      g_rt->calls.push_back("TavloMain");
      return g_rt->main;
    },
    [] { g_rt->calls.push_back("TavloTerm"); },
    [](const char* text, int windowed) {
      g_rt->calls.push_back("Show");
      g_rt->shown.emplace_back(text, windowed);
    }};

struct ShellCase {
  const char* name;
  STATUS initExtended, sdkInit, main;
  int windowed, errorResult;
  int exitCode;
  Calls calls;
  Shown shown;
};

TEST(ShellTest, ExitCodesAndWhatIsShownAtEachStage) {
  const Calls kAll = {"InitExtended", "SDKMAINInit", "TavloMain", "TavloTerm"};
  const Calls kToolFailed = {"InitExtended", "SDKMAINInit", "TavloMain",
                             "SDKMAINError", "Show", "TavloTerm"};
  const ShellCase cases[] = {
      {"success", 0, 0, 0, 0, 1, 0, kAll, {}},
      // The runtime failed to start: its text shown, its code returned,
      // and nothing to shut down.
      {"runtime", 0x0109, 0, 0, 0, 1, 42,
       {"InitExtended", "SDKMAINInitError", "Show"}, {{"init failed 265", 0}}},
      {"runtime windowed", 0x0109, 0, 0, 1, 1, 42,
       {"InitExtended", "SDKMAINInitError", "Show"}, {{"init failed 265", 1}}},
      {"runtime quiet", 0x8109, 0, 0, 0, 1, 42,
       {"InitExtended", "SDKMAINInitError"}, {}},
      // The toolkit failed: never shown, runtime shut down, exit -1.
      {"toolkit", 0, 0x0109, 0, 0, 1, -1,
       {"InitExtended", "SDKMAINInit", "TavloTerm"}, {}},
      {"toolkit quiet", 0, 0x8001, 0, 0, 1, -1,
       {"InitExtended", "SDKMAINInit", "TavloTerm"}, {}},
      // The tool failed: shown (in a window only on a windowed build and
      // when the runtime says so), then the runtime shut down, exit -1.
      {"tool", 0, 0, 13280, 0, 1, -1, kToolFailed, {{"run failed 13280", 0}}},
      {"tool windowed", 0, 0, 13280, 1, 1, -1, kToolFailed,
       {{"run failed 13280", 1}}},
      {"tool windowed, not for a window", 0, 0, 13280, 1, 0, -1, kToolFailed,
       {{"run failed 13280", 0}}},
      {"tool quiet", 0, 0, 0x8000 | 13280, 0, 1, -1, kAll, {}},
  };
  for (const ShellCase& c : cases) {
    FakeRuntime rt;
    rt.initExtended = c.initExtended;
    rt.sdkInit = c.sdkInit;
    rt.main = c.main;
    rt.errorResult = c.errorResult;
    g_rt = &rt;
    char a0[] = "rswq";
    char* argv[] = {a0, nullptr};
    EXPECT_EQ(c.exitCode,
              ShellMainWithEnv(&kFakeEnv, c.windowed, nullptr, nullptr, 1, argv))
        << c.name;
    g_rt = nullptr;
    EXPECT_EQ(c.calls, rt.calls) << c.name;
    EXPECT_EQ(c.shown, rt.shown) << c.name;
    if (!c.shown.empty()) {
      EXPECT_EQ(255, rt.bufLenSeen) << c.name;
    }
    if (c.exitCode == 0) {
      EXPECT_NE(nullptr, rt.mainEntrySeen) << "told where the entry is";
    }
  }
}

TEST(ShellTest, ShowMessageFormat) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ShellShowMessage("queue file missing", 0);
  ShellShowMessage("boom", 1);  // no message boxes here: standard error
  EXPECT_EQ("\r\nqueue file missing\r\n\r\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ("\r\nboom\r\n\r\n", testing::internal::GetCapturedStderr());
}

// The add-in layer: context, module handle, tool, context end.
struct FakeAddIn {
  STATUS sdkInit = 0, main = 0;
  STATUS termResult = 0xFFFF;  // 0xFFFF: pass the STATUS through
  Calls calls;
  STATUS termSeen = 0xFFFF;
  DHANDLE moduleSeen = 0;
};
FakeAddIn* g_ai = nullptr;

const AddInEnv kFakeAddIn = {
    [](int, char**) -> STATUS {
      g_ai->calls.push_back("AddInSDKInit");
      return g_ai->sdkInit;
    },
    [](DHANDLE* h, void*, void*) -> STATUS {
      g_ai->calls.push_back("TavloInitModule");
      *h = 0x1234;
      return 0;
    },
    [](DHANDLE h, int, char**) -> STATUS {
      g_ai->calls.push_back("AddInMain");
      g_ai->moduleSeen = h;
      return g_ai->main;
    },
    [](STATUS st) -> STATUS {
      g_ai->calls.push_back("AddInSDKTerm");
      g_ai->termSeen = st;
      return g_ai->termResult == 0xFFFF ? st : g_ai->termResult;
    }};

STATUS RunAddIn(FakeAddIn* ai) {
  g_ai = ai;
  char a0[] = "rswq";
  char* argv[] = {a0, nullptr};
  STATUS st = TavloMainWithEnv(&kFakeAddIn, 1, argv);
  g_ai = nullptr;
  return st;
}

TEST(AddInLayerTest, ToolRunsInsideTheContextAndItsStatusComesBack) {
  FakeAddIn ai;
  ai.main = 13280;
  EXPECT_EQ(13280, RunAddIn(&ai));
  EXPECT_EQ((Calls{"AddInSDKInit", "TavloInitModule", "AddInMain",
                   "AddInSDKTerm"}),
            ai.calls);
  EXPECT_EQ(0x1234u, ai.moduleSeen);
  EXPECT_EQ(13280, ai.termSeen);
  ai.termResult = 77;
  EXPECT_EQ(77, RunAddIn(&ai));
  FakeAddIn failed;
  failed.sdkInit = 0x0109;
  EXPECT_EQ(0x0109, RunAddIn(&failed));
  EXPECT_EQ((Calls{"AddInSDKInit"}), failed.calls);
}

}  // namespace
