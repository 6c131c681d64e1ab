// The `tavlo` console end to end: the real binary against a temporary data
// directory, with this test process registered as a running task.

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime_util.h"

#ifdef TAVLO_BINARY

namespace fs = std::filesystem;

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

class ConsoleTest : public rttest::DataDirTest {
 protected:
  // A record as a task would leave it, for any pid.
  void FakeTask(const std::string& name, long pid, const std::string& status) {
    fs::create_directories(tasks_);
    std::ofstream(TaskFile(pid)) << "name=" << name << "\npid=" << pid
                                 << "\nstarted=1700000000000000\nstatus="
                                 << status << "\n";
  }
  static long DeadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    int st;
    waitpid(child, &st, 0);
    return child;
  }
};

TEST_F(ConsoleTest, UsageAndBadCommands) {
  RunResult help = Tavlo("--help");
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos, help.out.find("Usage")) << help.out;
  for (const char* args : {"", "show", "tell rswq", "tell rswq restart"}) {
    EXPECT_NE(0, Tavlo(args).code) << args;
  }
  EXPECT_EQ("No tasks running\n", Tavlo("show tasks").out);
}

TEST_F(ConsoleTest, ShowsRunningTasksAndRemovesDeadEntries) {
  FakeTask("rswq", getpid(), "ReQueueing Message: \"17\"");
  long dead = DeadPid();
  FakeTask("ghost", dead, "gone");
  std::ofstream(tasks_ + "/junk.task") << "garbage";  // skipped, as are
  std::ofstream(TaskFile(99) + ".tmp") << "name=half\npid=99\n";  // halves
  RunResult r = Tavlo("show tasks");
  EXPECT_EQ(0, r.code);
  for (std::string want : {std::string("rswq"), std::to_string(getpid()),
                           std::string("ReQueueing Message: \"17\"")}) {
    EXPECT_NE(std::string::npos, r.out.find(want)) << want << "\n" << r.out;
  }
  for (const char* gone : {"ghost", "half", "garbage"}) {
    EXPECT_EQ(std::string::npos, r.out.find(gone)) << r.out;
  }
  EXPECT_FALSE(fs::exists(TaskFile(dead)));
  EXPECT_TRUE(fs::exists(TaskFile(getpid())));
  r = Tavlo("show tasks --json");
  EXPECT_NE(std::string::npos,
            r.out.find("\"status\": \"ReQueueing Message: \\\"17\\\"\""))
      << r.out;
  // --data wins over the environment; a missing directory is an error.
  std::string other = dir_ + "/other";
  fs::create_directories(other);
  EXPECT_EQ("No tasks running\n", Tavlo("--data '" + other + "' show tasks").out);
  r = Tavlo("--data '" + other + "/gone' show tasks");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.out.find("does not exist")) << r.out;
}

TEST_F(ConsoleTest, TellQuitOnlyReachesALiveTask) {
  FakeTask("other", getpid(), "busy");
  FakeTask("rswq", DeadPid(), "dead");
  RunResult r = Tavlo("tell rswq quit");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.out.find("No task named rswq is running"))
      << r.out;
}

// The whole loop: a real task registers, the console shows its status line
// and asks it to stop, and the task's next poll says so.
TEST_F(ConsoleTest, TellQuitStopsARegisteredTask) {
  char* argv[] = {const_cast<char*>("/opt/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  AddInSetStatusText("ReQueueing Message: %lu", 3UL);
  RunResult r = Tavlo("show tasks");
  EXPECT_NE(std::string::npos, r.out.find("ReQueueing Message: 3")) << r.out;
  EXPECT_EQ(FALSE, AddInIdle());
  r = Tavlo("tell RSWQ quit");
  EXPECT_EQ(0, r.code) << r.out;
  EXPECT_EQ("Asked rswq (pid " + std::to_string(getpid()) + ") to stop\n",
            r.out);
  EXPECT_TRUE(fs::exists(TaskFile(getpid(), "quit")));
  EXPECT_EQ(TRUE, AddInIdle());
  AddInSDKTerm(NOERROR);
  EXPECT_EQ("No tasks running\n", Tavlo("show tasks").out);
}

}  // namespace

#endif  // TAVLO_BINARY
