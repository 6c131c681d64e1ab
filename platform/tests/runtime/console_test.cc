// The `tavlo` console end to end against a registered task.

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "runtime_util.h"

#ifdef TAVLO_BINARY

namespace {

struct RunResult {
  int code;
  std::string out;  // standard output and error together
};

RunResult Tavlo(const std::string& args) {
  std::string cmd = std::string("'") + TAVLO_BINARY + "' " + args + " 2>&1";
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

}  // namespace

#endif  // TAVLO_BINARY
