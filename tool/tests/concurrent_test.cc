// An operator who forgot that rswq is running: a second rswq and a
// wqadmin seed are turned away with "in use" and change nothing, while
// wqadmin's reading commands work and see a consistent queue; the first
// rswq then finishes its pass as if alone.  Real binaries in a private
// data directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "rswq.h"

namespace fs = std::filesystem;

namespace {

#ifdef WQADMIN_BINARY

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

struct Outcome {
  int code;
  std::string out, err;
};

// Runs a binary in `dir` (its data directory) to its end.
Outcome RunIn(const std::string& dir, const std::string& binary,
          const std::string& args = "") {
  std::string out = dir + "/.out", err = dir + "/.err";
  std::string cmd = "cd '" + dir + "' && TAVLO_DATA='" + dir + "' '" + binary +
                    "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
  int rc = std::system(cmd.c_str());
  Outcome r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
  fs::remove(out);
  fs::remove(err);
  return r;
}

class ConcurrentUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "rswq-busy-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(dir_);
  }

  Outcome Admin(const std::string& args) {
    return RunIn(dir_, WQADMIN_BINARY, args);
  }

  // Starts rswq in the background, at a lower priority than this test so
  // that the test gets to pause it early in its pass.
  void StartRswq() {
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      setpriority(PRIO_PROCESS, 0, 15);
      if (chdir(dir_.c_str()) != 0) _exit(100);
      setenv("TAVLO_DATA", dir_.c_str(), 1);
      if (!freopen((dir_ + "/rswq.out").c_str(), "w", stdout) ||
          !freopen((dir_ + "/rswq.err").c_str(), "w", stderr) ||
          !freopen("/dev/null", "r", stdin)) {
        _exit(101);
      }
      execl(RSWQ_BINARY, "rswq", static_cast<char*>(nullptr));
      _exit(102);
    }
  }

  std::string dir_;
  pid_t pid_ = 0;
};

TEST_F(ConcurrentUseTest, SecondWriterTurnedAwayReadersServedWhileRswqRuns) {
  const int kMessages = 3000;
  ASSERT_EQ(0, Admin("create " RSWQ_QUEUE_FILE).code);
  Outcome seeded = Admin("seed " RSWQ_QUEUE_FILE " --count " +
                     std::to_string(kMessages) +
                     " --status 11 --recipients 1 --quiet");
  ASSERT_EQ(0, seeded.code) << seeded.err;

  StartRswq();
  // rswq logs "Resetting...." once it has the queue open for writing and
  // is about to start its pass; pause it there.
  bool opened = false;
  for (int i = 0; i < 120000 && !opened; i++) {  // a hang guard only
    opened = ReadFile(dir_ + "/rswq.out").find(RSWQ_LOG_RESETTING) !=
             std::string::npos;
    if (!opened) usleep(500);
  }
  ASSERT_TRUE(opened) << ReadFile(dir_ + "/rswq.out");
  ASSERT_EQ(0, kill(pid_, SIGSTOP));
  int status = 0;
  ASSERT_EQ(pid_, waitpid(pid_, &status, WUNTRACED));
  ASSERT_TRUE(WIFSTOPPED(status))
      << "rswq ended before it could be paused; give it a larger queue";

  // A second rswq: the open fails at once, nothing is requeued.
  Outcome second = RunIn(dir_, RSWQ_BINARY);
  EXPECT_EQ(255, second.code);
  EXPECT_NE(std::string::npos,
            second.out.find("rswq: Error: Unable to open: " RSWQ_QUEUE_FILE))
      << second.out;
  EXPECT_NE(std::string::npos, second.out.find("in use")) << second.out;
  EXPECT_EQ(std::string::npos, second.out.find("ReQueued")) << second.out;

  // Another writer of the queue.
  Outcome seed = Admin("seed " RSWQ_QUEUE_FILE " --count 5 --status 11 --quiet");
  EXPECT_EQ(1, seed.code);
  EXPECT_NE(std::string::npos, seed.err.find("in use")) << seed.err;

  // Readers work, and see one consistent state: every message counted
  // once, each either still failed or already requeued.
  Outcome stats = Admin("stats " RSWQ_QUEUE_FILE " --json");
  ASSERT_EQ(0, stats.code) << stats.err;
  auto j = nlohmann::json::parse(stats.out);
  EXPECT_EQ(kMessages, j["total"]);
  int six = j["by_status"].value("6", 0), eleven = j["by_status"].value("11", 0);
  EXPECT_EQ(kMessages, six + eleven) << stats.out;
  EXPECT_GT(eleven, 0) << "paused after the pass had ended";
  Outcome list = Admin("list " RSWQ_QUEUE_FILE " --status 11 --limit 3 --json");
  EXPECT_EQ(0, list.code) << list.err;

  // The first rswq, resumed, finishes as if it had been alone.
  ASSERT_EQ(0, kill(pid_, SIGCONT));
  ASSERT_EQ(pid_, waitpid(pid_, &status, 0));
  pid_ = 0;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << ReadFile(dir_ + "/rswq.out");
  EXPECT_NE(std::string::npos,
            ReadFile(dir_ + "/rswq.out")
                .find("ReQueued " + std::to_string(kMessages) + " messages"))
      << ReadFile(dir_ + "/rswq.out");
  stats = Admin("stats " RSWQ_QUEUE_FILE " --json");
  ASSERT_EQ(0, stats.code) << stats.err;
  j = nlohmann::json::parse(stats.out);
  EXPECT_EQ(kMessages, j["total"]);
  EXPECT_EQ(kMessages, j["by_status"].value("6", 0)) << stats.out;
}

#endif  // WQADMIN_BINARY

}  // namespace
