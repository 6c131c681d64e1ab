// The start-up shell: exit codes and the rule that a STATUS with bit 0x8000
// is never shown.

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

struct FakeRuntime {
  STATUS initExtended = 0, main = 0;
  Calls calls;
  Shown shown;
};
FakeRuntime* g_rt = nullptr;

const ShellEnv kFakeEnv = {
    [](int, char**) -> STATUS {
      g_rt->calls.push_back("InitExtended");
      return g_rt->initExtended;
    },
    [](void*, int, char**, void*, void*) -> STATUS {
      g_rt->calls.push_back("SDKMAINInit");
      return 0;
    },
    [](STATUS st, char* buf, WORD len) {
      g_rt->calls.push_back("SDKMAINInitError");
      std::snprintf(buf, len, "init failed %u", unsigned(st));
      return 42;
    },
    [](STATUS st, char* buf, WORD len) {
      g_rt->calls.push_back("SDKMAINError");
      std::snprintf(buf, len, "run failed %u", unsigned(st));
      return 1;
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
  STATUS initExtended, main;
  int exitCode;
  Calls calls;
  Shown shown;
};

TEST(ShellTest, ExitCodesAndWhatIsShownAtEachStage) {
  const Calls kAll = {"InitExtended", "SDKMAINInit", "TavloMain", "TavloTerm"};
  const ShellCase cases[] = {
      {"success", 0, 0, 0, kAll, {}},
      {"runtime", 0x0109, 0, 42,
       {"InitExtended", "SDKMAINInitError", "Show"}, {{"init failed 265", 0}}},
      {"tool", 0, 13280, -1,
       {"InitExtended", "SDKMAINInit", "TavloMain", "SDKMAINError", "Show",
        "TavloTerm"},
       {{"run failed 13280", 0}}},
      {"tool quiet", 0, 0x8000 | 13280, -1, kAll, {}},
  };
  for (const ShellCase& c : cases) {
    FakeRuntime rt;
    rt.initExtended = c.initExtended;
    rt.main = c.main;
    g_rt = &rt;
    char a0[] = "rswq";
    char* argv[] = {a0, nullptr};
    EXPECT_EQ(c.exitCode,
              ShellMainWithEnv(&kFakeEnv, 0, nullptr, nullptr, 1, argv))
        << c.name;
    g_rt = nullptr;
    EXPECT_EQ(c.calls, rt.calls) << c.name;
    EXPECT_EQ(c.shown, rt.shown) << c.name;
  }
}

}  // namespace
