// The start-up shell and the add-in layer: which runtime calls run at each
// stage, what is shown where, and the exit code.  Each fake call records
// itself, so a layer that undoes what it never set up (or forgets what it
// did) shows in the sequence.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rswq.h"
#include "shell.h"
#include "tavlo/runtime.h"

namespace {

using Calls = std::vector<std::string>;

struct FakeRuntime {
  STATUS initExtended = 0, sdkInit = 0, main = 0;
  int errorAnswer = 1;  // TavloSDKMAINError: nonzero = for a window
  Calls calls;
};
FakeRuntime* g_rt = nullptr;

void Record(const std::string& call) { g_rt->calls.push_back(call); }

const ShellEnv kFakeEnv = {
    [](int argc, char**) -> STATUS {
      Record("InitExtended " + std::to_string(argc));
      return g_rt->initExtended;
    },
    [](void* entry, int argc, char**, void* inst, void* prev) -> STATUS {
      char text[64];
      std::snprintf(text, sizeof text, "SDKMAINInit %d %d %p %p", entry != nullptr,
                    argc, inst, prev);
      Record(text);
      return g_rt->sdkInit;
    },
    [](STATUS st, char* buf, WORD len) {
      Record("InitError " + std::to_string(st) + " " + std::to_string(len));
      std::snprintf(buf, len, "init failed %u", unsigned(st));
      return 42;
    },
    [](STATUS st, char* buf, WORD len) {
      Record("Error " + std::to_string(st) + " " + std::to_string(len));
      std::snprintf(buf, len, "run failed %u", unsigned(st));
      return g_rt->errorAnswer;
    },
    [](int argc, char**) -> STATUS {
      Record("Main " + std::to_string(argc));
      return g_rt->main;
    },
    [] { Record("Term"); },
    [](const char* text, int windowed) {
      Record("Show " + std::string(text) + " " + std::to_string(windowed));
    }};

// A runtime that never came up is not shut down and decides the exit code;
// a failed toolkit start-up is shut down but never shown; a tool failure is
// shown (in a window only when the runtime says so) unless bit 0x8000 is
// set.  The message buffer offered is always 255 of 256 bytes.
TEST(ShellTest, CallsShownTextsAndExitCodeAtEachStage) {
  void* const inst = reinterpret_cast<void*>(0x10);
  void* const prev = reinterpret_cast<void*>(0x20);
  char init[64];
  std::snprintf(init, sizeof init, "SDKMAINInit 1 1 %p %p", inst, prev);
  const struct {
    const char* name;
    int windowed;
    STATUS initExtended, sdkInit, main;
    int errorAnswer;
    int exitCode;
    Calls calls;
  } cases[] = {
      {"success", 1, 0, 0, 0, 1, 0, {"InitExtended 1", init, "Main 1", "Term"}},
      {"runtime", 1, 0x0109, 0, 0, 1, 42,
       {"InitExtended 1", "InitError 265 255", "Show init failed 265 1"}},
      {"runtime quiet", 0, 0x8109, 0, 0, 1, 42,
       {"InitExtended 1", "InitError 33033 255"}},
      {"toolkit", 1, 0, 0x0109, 0, 1, -1, {"InitExtended 1", init, "Term"}},
      {"tool", 1, 0, 0, 13280, 1, -1,
       {"InitExtended 1", init, "Main 1", "Error 13280 255", "Show run failed 13280 1",
        "Term"}},
      {"tool, text not for a window", 1, 0, 0, 13280, 0, -1,
       {"InitExtended 1", init, "Main 1", "Error 13280 255", "Show run failed 13280 0",
        "Term"}},
      {"tool quiet", 1, 0, 0, 0x8000 | 13280, 1, -1,
       {"InitExtended 1", init, "Main 1", "Term"}},
  };
  for (const auto& c : cases) {
    FakeRuntime rt{c.initExtended, c.sdkInit, c.main, c.errorAnswer, {}};
    g_rt = &rt;
    char a0[] = "rswq";
    char* argv[] = {a0, nullptr};
    EXPECT_EQ(c.exitCode, ShellMainWithEnv(&kFakeEnv, c.windowed, inst, prev, 1, argv))
        << c.name;
    g_rt = nullptr;
    EXPECT_EQ(c.calls, rt.calls) << c.name;
  }
}

// The real tables put each runtime call in its own slot.
TEST(ShellTest, DefaultTablesWireTheRuntimeCalls) {
  const ShellEnv* env = ShellDefaultEnv();
  EXPECT_EQ(&TavloInitExtended, env->InitExtended);
  EXPECT_EQ(&TavloSDKMAINInit, env->SDKMAINInit);
  EXPECT_EQ(&TavloSDKMAINInitError, env->SDKMAINInitError);
  EXPECT_EQ(&TavloSDKMAINError, env->SDKMAINError);
  EXPECT_EQ(&TavloMain, env->Main);
  EXPECT_EQ(&TavloTerm, env->Term);
  EXPECT_EQ(&ShellShowMessage, env->ShowMessage);
  const AddInEnv* addin = AddInDefaultEnv();
  EXPECT_EQ(&AddInSDKInit, addin->SDKInit);
  EXPECT_EQ(&TavloInitModule, addin->InitModule);
  EXPECT_EQ(&AddInMain, addin->Main);
  EXPECT_EQ(&AddInSDKTerm, addin->SDKTerm);
}

TEST(ShellTest, ShowMessageFramesTheTextOnTheRightStream) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  ShellShowMessage("console", 0);
  ShellShowMessage("windowed", 1);
  EXPECT_EQ("\r\nconsole\r\n\r\n", testing::internal::GetCapturedStdout());
  // No message boxes here: a windowed start reports on standard error.
  EXPECT_EQ("\r\nwindowed\r\n\r\n", testing::internal::GetCapturedStderr());
}

// The add-in layer: a context that could not be set up is not ended and
// the tool never runs; otherwise the module handle reaches the tool, the
// tool's STATUS reaches the context's end, and what that returns is the
// layer's result.
struct FakeAddIn {
  STATUS sdkInit = 0, main = 0, sdkTerm = 0;
  Calls calls;
};
FakeAddIn* g_addin = nullptr;

const AddInEnv kFakeAddIn = {
    [](int argc, char**) -> STATUS {
      g_addin->calls.push_back("SDKInit " + std::to_string(argc));
      return g_addin->sdkInit;
    },
    [](DHANDLE* module, void* r1, void* r2) -> STATUS {
      g_addin->calls.push_back(std::string("InitModule") + (r1 || r2 ? " reserved" : ""));
      *module = 0x7A400000;
      return ERR_INIT_FAILED;  // ignored by the layer
    },
    [](DHANDLE module, int argc, char**) -> STATUS {
      g_addin->calls.push_back("Main " + std::to_string(module) + " " + std::to_string(argc));
      return g_addin->main;
    },
    [](STATUS st) -> STATUS {
      g_addin->calls.push_back("SDKTerm " + std::to_string(st));
      return g_addin->sdkTerm;
    }};

TEST(AddInLayerTest, ContextEndedOnlyWhenSetUpAndItsResultReturned) {
  const struct {
    STATUS sdkInit, main, sdkTerm, result;
    Calls calls;
  } cases[] = {
      {ERR_INIT_FAILED, 0, 0, ERR_INIT_FAILED, {"SDKInit 2"}},
      {0, 13280, 13280, 13280,
       {"SDKInit 2", "InitModule", "Main 2051014656 2", "SDKTerm 13280"}},
      {0, 0, 0x8000 | 13284, 0x8000 | 13284,
       {"SDKInit 2", "InitModule", "Main 2051014656 2", "SDKTerm 0"}},
  };
  for (const auto& c : cases) {
    FakeAddIn rt{c.sdkInit, c.main, c.sdkTerm, {}};
    g_addin = &rt;
    char a0[] = "rswq", a1[] = "ignored";
    char* argv[] = {a0, a1, nullptr};
    EXPECT_EQ(c.result, TavloMainWithEnv(&kFakeAddIn, 2, argv)) << c.sdkInit;
    g_addin = nullptr;
    EXPECT_EQ(c.calls, rt.calls) << c.sdkInit;
  }
}

}  // namespace
