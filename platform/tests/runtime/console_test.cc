// The `tavlo` console end to end against a registered task.

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "runtime_util.h"

#ifdef TAVLO_BINARY

namespace {

struct RunResult {
  int code;
  std::string out;  // standard output and error together
};

RunResult Tavlo(const std::string& args, const std::string& env = "") {
  std::string cmd = env + " '" + TAVLO_BINARY + "' " + args + " 2>&1";
  std::fflush(nullptr);
  RunResult r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

using ConsoleTest = rttest::DataDirTest;

TEST_F(ConsoleTest, ShowTasksAndTellQuit) {
  char* argv[] = {const_cast<char*>("/opt/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  AddInSetStatusText("ReQueueing Message: %lu", 3UL);
  RunResult r = Tavlo("show tasks");
  EXPECT_NE(std::string::npos, r.out.find("ReQueueing Message: 3")) << r.out;
  EXPECT_EQ(FALSE, AddInIdle());
  r = Tavlo("tell RSWQ quit");
  EXPECT_EQ(0, r.code) << r.out;
  EXPECT_EQ(TRUE, AddInIdle());
}

// Names and status lines are a task's own bytes: JSON keeps each one
// exactly (beside a readable form) instead of replacing it.
TEST_F(ConsoleTest, JsonKeepsEveryByteAndUsageErrorsExitTwo) {
  char* argv[] = {const_cast<char*>("/opt/bin/r\xE9sq"), nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  AddInSetStatusText("%s", "\xE9t\xE9 3");
  (void)AddInIdle();  // records a status line the throttle held back
  RunResult r = Tavlo("show tasks --json --data '" + dir_ + "'", "TAVLO_DATA=/nonexistent");
  ASSERT_EQ(0, r.code) << r.out;
  nlohmann::json j = nlohmann::json::parse(r.out);
  ASSERT_EQ(1u, j.size()) << r.out;
  EXPECT_EQ(nlohmann::json({"r\uFFFDsq", "culzcQ==", "\uFFFDt\uFFFD 3", "6XTpIDM="}),
            nlohmann::json({j[0]["name"], j[0]["name_b64"], j[0]["status"], j[0]["status_b64"]}));
  for (const char* args : {"", "bogus", "show", "tell rswq stop"})
    EXPECT_EQ(2, Tavlo(args).code) << args;
}

}  // namespace

#endif  // TAVLO_BINARY
