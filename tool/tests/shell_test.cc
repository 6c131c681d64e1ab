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

using Shown = std::vector<std::pair<std::string, int>>;

struct FakeRuntime {
  STATUS initExtended = 0, main = 0;
  Shown shown;
};
FakeRuntime* g_rt = nullptr;

const ShellEnv kFakeEnv = {
    [](int, char**) -> STATUS { return g_rt->initExtended; },
    [](void*, int, char**, void*, void*) -> STATUS { return 0; },
    [](STATUS st, char* buf, WORD len) {
      std::snprintf(buf, len, "init failed %u", unsigned(st));
      return 42;
    },
    [](STATUS st, char* buf, WORD len) {
      std::snprintf(buf, len, "run failed %u", unsigned(st));
      return 1;
    },
    [](int, char**) -> STATUS { return g_rt->main; },
    [] {},
    [](const char* text, int windowed) {
      g_rt->shown.emplace_back(text, windowed);
    }};

TEST(ShellTest, ExitCodesAndWhatIsShownAtEachStage) {
  const struct {
    const char* name;
    STATUS initExtended, main;
    int exitCode;
    Shown shown;
  } cases[] = {
      {"success", 0, 0, 0, {}},
      {"runtime", 0x0109, 0, 42, {{"init failed 265", 0}}},
      {"tool", 0, 13280, -1, {{"run failed 13280", 0}}},
      {"tool quiet", 0, 0x8000 | 13280, -1, {}},
  };
  for (const auto& c : cases) {
    FakeRuntime rt{c.initExtended, c.main, {}};
    g_rt = &rt;
    char a0[] = "rswq";
    char* argv[] = {a0, nullptr};
    EXPECT_EQ(c.exitCode,
              ShellMainWithEnv(&kFakeEnv, 0, nullptr, nullptr, 1, argv))
        << c.name;
    g_rt = nullptr;
    EXPECT_EQ(c.shown, rt.shown) << c.name;
  }
}

}  // namespace
