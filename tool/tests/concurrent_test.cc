// An operator who forgot that rswq is running: a second rswq and a wqadmin
// seed are turned away with "in use", wqadmin's reading commands work on a
// consistent queue, and the first rswq finishes as if alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "rswq.h"
#include "run_util.h"

namespace {

#ifdef WQADMIN_BINARY
TEST(ConcurrentUseTest, SecondWriterTurnedAwayReadersServedWhileRswqRuns) {
  const int kMessages = 3000;
  std::string dir = (std::filesystem::temp_directory_path() / "rswq-busy-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  pid_t pid = 0;
  struct Cleanup {  // also when an assertion ends the test early
    pid_t& pid;
    std::string dir;
    ~Cleanup() {
      if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
      std::filesystem::remove_all(dir);
    }
  } cleanup{pid, dir};
  auto admin = [&](const std::string& args) { return RunBinary(WQADMIN_BINARY, dir, args); };
  ASSERT_EQ(0, admin("create " RSWQ_QUEUE_FILE).code);
  ASSERT_EQ(0, admin("seed " RSWQ_QUEUE_FILE " --count " +
                         std::to_string(kMessages) + " --status 11 --recipients 1 --quiet")
                   .code);

  // rswq at a lower priority than this test, so that the test gets to
  // pause it once it logs "Resetting....": the queue is open for writing.
  const std::string log = dir + "/rswq.out";
  pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpriority(PRIO_PROCESS, 0, 15);
    setenv("TAVLO_DATA", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0 || !freopen(log.c_str(), "w", stdout) ||
        !freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "r", stdin))
      _exit(100);
    execl(RSWQ_BINARY, "rswq", static_cast<char*>(nullptr));
    _exit(101);
  }
  for (int i = 0; i < 120000 && ReadFile(log).find(RSWQ_LOG_RESETTING) == std::string::npos; i++)
    usleep(500);  // a hang guard only
  ASSERT_EQ(0, kill(pid, SIGSTOP));
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, WUNTRACED));
  ASSERT_TRUE(WIFSTOPPED(status)) << "rswq ended before it could be paused";
  ASSERT_NE(std::string::npos, ReadFile(log).find(RSWQ_LOG_RESETTING)) << ReadFile(log);

  RunResult second = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(255, second.code);
  EXPECT_NE(std::string::npos, second.out.find("rswq: Error: Unable to open: " RSWQ_QUEUE_FILE))
      << second.out;
  EXPECT_NE(std::string::npos, second.out.find("in use")) << second.out;
  EXPECT_EQ(std::string::npos, second.out.find("ReQueued")) << second.out;
  RunResult seed = admin("seed " RSWQ_QUEUE_FILE " --count 5 --status 11 --quiet");
  EXPECT_EQ(1, seed.code);
  EXPECT_NE(std::string::npos, seed.err.find("in use")) << seed.err;

  // Readers see one state: every message once, still failed or requeued.
  auto stats = [&] {
    RunResult r = RunBinary(WQADMIN_BINARY, dir, "stats " RSWQ_QUEUE_FILE " --json");
    EXPECT_EQ(0, r.code) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(kMessages, j["total"]);
    return std::make_pair(j["by_status"].value("6", 0), j["by_status"].value("11", 0));
  };
  auto [six, eleven] = stats();
  EXPECT_EQ(kMessages, six + eleven);
  EXPECT_GT(eleven, 0) << "paused after the pass had ended";
  EXPECT_EQ(0, admin("list " RSWQ_QUEUE_FILE " --status 11 --limit 3 --json").code);

  ASSERT_EQ(0, kill(pid, SIGCONT));
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(log);
  EXPECT_NE(std::string::npos,
            ReadFile(log).find("ReQueued " + std::to_string(kMessages) + " messages"))
      << ReadFile(log);
  EXPECT_EQ(kMessages, stats().first);
}
#endif  // WQADMIN_BINARY

}  // namespace
