// The `tavlo` console end to end: the real binary against a temporary data
// directory, with this test process registered as a running task.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace fs = std::filesystem;

#ifdef TAVLO_BINARY

namespace {

struct RunResult {
  int code;
  std::string out;  // standard output and error together
};

RunResult Tavlo(const std::string& args) {
  std::string cmd = std::string("'") + TAVLO_BINARY + "' " + args + " 2>&1";
  std::fflush(nullptr);
  FILE* p = popen(cmd.c_str(), "r");
  RunResult r{-1, ""};
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TAVLO_DATA");
    had_data_ = old != nullptr;
    if (had_data_) old_data_ = old;
    char tmpl[] = "/tmp/tavlo-console-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    tasks_ = dir_ + "/.tavlo/tasks";
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    AddInTestSetStopRequest(FALSE);
  }
  void TearDown() override {
    AddInSDKTerm(NOERROR);
    AddInTestSetStopRequest(FALSE);
    if (had_data_) {
      setenv("TAVLO_DATA", old_data_.c_str(), 1);
    } else {
      unsetenv("TAVLO_DATA");
    }
    fs::remove_all(dir_);
  }

  // A record as a task would leave it, for any pid.
  void FakeTask(const std::string& name, long pid, const std::string& status) {
    fs::create_directories(tasks_);
    std::ofstream(tasks_ + "/" + std::to_string(pid) + ".task")
        << "name=" << name << "\npid=" << pid
        << "\nstarted=1700000000000000\nstatus=" << status << "\n";
  }
  static long DeadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    int st;
    waitpid(child, &st, 0);
    return child;
  }

  std::string dir_, tasks_;
  bool had_data_ = false;
  std::string old_data_;
};

TEST_F(ConsoleTest, HelpEverywhere) {
  for (const char* args : {"--help", "show --help", "show tasks --help",
                           "tell --help"}) {
    RunResult r = Tavlo(args);
    EXPECT_EQ(0, r.code) << args;
    EXPECT_NE(std::string::npos, r.out.find("Usage")) << args << r.out;
  }
}

TEST_F(ConsoleTest, NoCommandIsAnError) {
  EXPECT_NE(0, Tavlo("").code);
  EXPECT_NE(0, Tavlo("show").code);
  EXPECT_NE(0, Tavlo("tell rswq").code);
  RunResult r = Tavlo("tell rswq restart");
  EXPECT_NE(0, r.code);
  EXPECT_NE(std::string::npos, r.out.find("quit")) << r.out;
}

TEST_F(ConsoleTest, NoTasks) {
  RunResult r = Tavlo("show tasks");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ("No tasks running\n", r.out);
}

TEST_F(ConsoleTest, ShowsRunningTaskAndDropsDeadOnes) {
  FakeTask("rswq", getpid(), "ReQueueing Message: 17");
  long dead = DeadPid();
  FakeTask("ghost", dead, "gone");
  RunResult r = Tavlo("show tasks");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, r.out.find("rswq")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(std::to_string(getpid()))) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("ReQueueing Message: 17")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("ghost")) << r.out;
  EXPECT_FALSE(fs::exists(tasks_ + "/" + std::to_string(dead) + ".task"));
  EXPECT_TRUE(fs::exists(tasks_ + "/" + std::to_string(getpid()) + ".task"));
}

TEST_F(ConsoleTest, ShowTasksJson) {
  FakeTask("rswq", getpid(), "say \"hi\"");
  RunResult r = Tavlo("show tasks --json");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, r.out.find("\"name\": \"rswq\"")) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("\"pid\": " + std::to_string(getpid())))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\"status\": \"say \\\"hi\\\"\""))
      << r.out;
  fs::remove_all(tasks_);
  r = Tavlo("show tasks --json");
  EXPECT_EQ("[]\n", r.out);
}

TEST_F(ConsoleTest, DataOptionWinsOverEnvironment) {
  char tmpl[] = "/tmp/tavlo-console-other-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  std::string other = tmpl;
  FakeTask("rswq", getpid(), "here");
  EXPECT_EQ("No tasks running\n", Tavlo("--data '" + other + "' show tasks").out);
  unsetenv("TAVLO_DATA");
  EXPECT_NE(std::string::npos,
            Tavlo("--data '" + dir_ + "' show tasks").out.find("here"));
  fs::remove_all(other);
  RunResult r = Tavlo("--data '" + other + "' show tasks");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.out.find("does not exist")) << r.out;
}

TEST_F(ConsoleTest, TellWritesQuitFile) {
  FakeTask("rswq", getpid(), "busy");
  RunResult r = Tavlo("tell RSWQ quit");
  EXPECT_EQ(0, r.code) << r.out;
  EXPECT_EQ("Asked rswq (pid " + std::to_string(getpid()) + ") to stop\n", r.out);
  EXPECT_TRUE(fs::exists(tasks_ + "/" + std::to_string(getpid()) + ".quit"));
}

TEST_F(ConsoleTest, TellUnknownTaskFails) {
  FakeTask("other", getpid(), "busy");
  FakeTask("rswq", DeadPid(), "dead");
  RunResult r = Tavlo("tell rswq quit");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.out.find("No task named rswq is running"))
      << r.out;
}

// The whole loop: a real task registers, the console sees its status line
// and asks it to stop, and the task's next poll says so.
TEST_F(ConsoleTest, TellStopsARegisteredTask) {
  char* argv[] = {const_cast<char*>("/opt/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  AddInSetStatusText("ReQueueing Message: %lu", 3UL);
  RunResult r = Tavlo("show tasks");
  EXPECT_NE(std::string::npos, r.out.find("ReQueueing Message: 3")) << r.out;
  EXPECT_EQ(FALSE, AddInIdle());
  r = Tavlo("tell rswq quit");
  EXPECT_EQ(0, r.code) << r.out;
  EXPECT_EQ(TRUE, AddInIdle());
  AddInSDKTerm(NOERROR);
  EXPECT_EQ("No tasks running\n", Tavlo("show tasks").out);
}

}  // namespace

#endif  // TAVLO_BINARY
