// The `tavlo` console end to end against a registered task.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "runtime_util.h"

#ifdef TAVLO_BINARY

namespace {

struct RunResult {
  int code;
  std::string out;  // standard output and error together
};

RunResult Tavlo(const std::string& args, const std::string& env = "",
               const std::string& redirect = "2>&1") {
  std::string cmd = env + " '" + TAVLO_BINARY + "' " + args + " " + redirect;
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

// A record left by a task that was killed is dropped, not shown; what tell
// or show could not do is said, with exit 1.
TEST_F(ConsoleTest, StaleRecordsGoAndFailuresExitOne) {
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(dead, waitpid(dead, nullptr, 0));
  std::filesystem::create_directories(tasks_);
  std::ofstream(TaskFile(dead)) << "name=rswq\npid=" << dead << "\nstarted=0\nstatus=x\n";
  RunResult r = Tavlo("show tasks");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ("No tasks running\n", r.out);
  EXPECT_FALSE(std::filesystem::exists(TaskFile(dead)));
  r = Tavlo("tell rswq quit");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("No task named rswq is running in " + dir_ + "\n", r.out);

  char* argv[] = {const_cast<char*>("rswq"), nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  const std::string quit = TaskFile(getpid(), "quit");
  std::filesystem::create_directory(quit);  // where the request would go
  r = Tavlo("tell rswq quit");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("Cannot ask rswq (pid " + std::to_string(getpid()) + ") to stop: cannot create " +
                quit + "\n", r.out);

  r = Tavlo("show tasks", "", "2>&1 >/dev/full");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("tavlo: cannot write standard output: No space left on device\n", r.out);
  r = Tavlo("--data /nonexistent show tasks");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("Data directory /nonexistent does not exist\n", r.out);
}

// Names and status lines are a task's own bytes: JSON keeps each one
// exactly (beside a readable form, where each byte outside a well-formed
// UTF-8 sequence is U+FFFD) instead of replacing it.
TEST_F(ConsoleTest, JsonKeepsEveryByteAndUsageErrorsExitTwo) {
  char* argv[] = {const_cast<char*>("/opt/bin/r\xE9sq"), nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  AddInSetStatusText("%s", "\xE9t\xE9 3 \xE2\x82\xAC\xF0\x9F\x98\x80\xE2\x82(\xFF\xF0\x9F");
  (void)AddInIdle();  // records a status line the throttle held back
  RunResult r = Tavlo("show tasks --json --data '" + dir_ + "'", "TAVLO_DATA=/nonexistent");
  ASSERT_EQ(0, r.code) << r.out;
  nlohmann::json j = nlohmann::json::parse(r.out);
  ASSERT_EQ(1u, j.size()) << r.out;
  EXPECT_EQ(nlohmann::json({"r\uFFFDsq", "culzcQ==",
                            "\uFFFDt\uFFFD 3 \u20AC\U0001F600\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD",
                            "6XTpIDMg4oKs8J+YgOKCKP/wnw=="}),
            nlohmann::json({j[0]["name"], j[0]["name_b64"], j[0]["status"], j[0]["status_b64"]}));
  for (const char* args : {"", "bogus", "show", "tell rswq stop"})
    EXPECT_EQ(2, Tavlo(args).code) << args;
}

}  // namespace

#endif  // TAVLO_BINARY
