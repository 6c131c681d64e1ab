// The add-in task: log lines, status line, stop requests and the task
// registry entry.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "runtime_util.h"

namespace fs = std::filesystem;
using rttest::ReadFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct LogLine {
  std::string format;
  STATUS status;
  std::string text;
};

class AddInTest : public rttest::DataDirTest {
 protected:
  STATUS Start(const char* argv0 = "/opt/tavlo/bin/rtask") {
    char* argv[] = {const_cast<char*>(argv0), nullptr};
    return AddInSDKInit(1, argv);
  }
  std::string Own(const char* ext = "task") { return TaskFile(getpid(), ext); }
};

TEST_F(AddInTest, LogLinesToSinkAndStdout) {
  std::vector<LogLine> lines;
  AddInTestSetLogSink(
      [](const char* f, STATUS s, const std::string& t, void* arg) {
        static_cast<std::vector<LogLine>*>(arg)->push_back({f ? f : "", s, t});
      },
      &lines);
  AddInLogMessageText("Opening: %s", 0, "smtpibwq.fix");
  AddInLogMessageText("ReQueued %lu messages", ERR_WQS_NO_QUEUE, 250UL);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("Opening: %s", lines[0].format);
  EXPECT_EQ(0, lines[0].status);
  EXPECT_EQ("Opening: smtpibwq.fix", lines[0].text);
  EXPECT_EQ(ERR_WQS_NO_QUEUE, lines[1].status);
  EXPECT_EQ("ReQueued 250 messages", lines[1].text);
  AddInTestSetLogSink(nullptr, nullptr);

  char* argv[] = {const_cast<char*>("/usr/local/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, TavloInitExtended(1, argv));
  const char* para = "\n\t                         Usage:\n\t";
  std::string big(5000, 'x');
  CaptureStdout();
  AddInLogMessageText("Opening: %s", 0, "smtpibwq.fix");
  AddInLogMessageText("Error", ERR_WQS_NO_QUEUE);
  AddInLogMessageText("Error", 0x8000 | ERR_WQS_NO_QUEUE);
  AddInLogMessageText(para, 0);
  AddInLogMessageText("%s!", 0, big.c_str());
  std::string out = GetCapturedStdout();
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  rswq: ";
  const std::string cause =
      "Error: Queue database does not exist and was not to be created";
  std::regex want(stamp + "Opening: smtpibwq.fix\n" +  //
                  stamp + cause + " \\(status 13280\\)\n" +
                  stamp + cause + " \\(status 46048\\)\n" +
                  stamp + "\n\t {25}Usage:\n\t\n" + stamp);
  const std::string tail = big + "!\n";  // a long line is whole
  ASSERT_GT(out.size(), tail.size());
  EXPECT_EQ(tail, out.substr(out.size() - tail.size()));
  EXPECT_TRUE(std::regex_match(out.substr(0, out.size() - tail.size()), want))
      << out;
}

TEST_F(AddInTest, StatusSinkGetsEveryChange) {
  std::vector<std::string> seen;
  AddInTestSetStatusSink(
      [](const std::string& t, void* arg) {
        static_cast<std::vector<std::string>*>(arg)->push_back(t);
      },
      &seen);
  AddInSetStatusText("alone %d", 1);  // no task context needed
  ASSERT_EQ(NOERROR, Start());
  for (unsigned long i = 1; i <= 1000; ++i) {
    AddInSetStatusText("ReQueueing Message: %lu", i);
  }
  ASSERT_EQ(1001u, seen.size());
  EXPECT_EQ("alone 1", seen[0]);
  EXPECT_EQ("ReQueueing Message: 1", seen[1]);
  EXPECT_EQ("ReQueueing Message: 1000", seen[1000]);
}

TEST_F(AddInTest, RegistryEntryAppearsAndDisappears) {
  ASSERT_EQ(NOERROR, Start());
  std::string rec = ReadFile(Own());
  EXPECT_NE(std::string::npos, rec.find("name=rtask\n")) << rec;
  EXPECT_NE(std::string::npos, rec.find("pid=" + std::to_string(getpid()) + "\n"));
  // The first change after start is recorded at once, escaped to one line.
  AddInSetStatusText("two\nlines\\ %lu", 42UL);
  rec = ReadFile(Own());
  EXPECT_NE(std::string::npos, rec.find("status=two\\nlines\\\\ 42\n")) << rec;
  EXPECT_EQ(ERR_WQS_CORRUPT, AddInSDKTerm(ERR_WQS_CORRUPT));
  EXPECT_FALSE(fs::exists(Own()));
  EXPECT_FALSE(fs::exists(Own() + ".tmp"));
  EXPECT_EQ(ERR_BAD_ARG, AddInSDKTerm(ERR_BAD_ARG)) << "term without init";
}

TEST_F(AddInTest, UnusableDataDirectoryOnlySkipsRegistration) {
  if (geteuid() != 0) {
    ASSERT_EQ(0, chmod(dir_.c_str(), 0500));
    EXPECT_EQ(NOERROR, Start());
    EXPECT_FALSE(fs::exists(dir_ + "/.tavlo"));
    EXPECT_EQ(NOERROR, AddInSDKTerm(NOERROR));
  }
  std::string gone = dir_ + "/not-there";
  setenv("TAVLO_DATA", gone.c_str(), 1);
  EXPECT_EQ(NOERROR, Start());
  AddInSetStatusText("still fine");
  EXPECT_FALSE(fs::exists(gone));
  EXPECT_EQ(FALSE, AddInIdle());
}

TEST_F(AddInTest, StopByFlagAndAfterPolls) {
  EXPECT_EQ(FALSE, AddInIdle());
  AddInTestSetStopRequest(TRUE);  // works without a task context too
  EXPECT_EQ(TRUE, AddInIdle());
  ASSERT_EQ(NOERROR, Start());
  EXPECT_EQ(TRUE, AddInIdle());
  AddInTestSetStopRequest(FALSE);
  EXPECT_EQ(FALSE, AddInIdle());
  AddInTestStopAfterPolls(2);
  EXPECT_EQ(FALSE, AddInIdle());
  EXPECT_EQ(FALSE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle()) << "a stop request stays";
  AddInTestStopAfterPolls(0);
  EXPECT_EQ(FALSE, AddInIdle());
}

TEST_F(AddInTest, StopBySignalRestoresTheHandler) {
  for (int sig : {SIGTERM, SIGINT}) {
    struct sigaction before, after;
    ASSERT_EQ(0, sigaction(sig, nullptr, &before));
    ASSERT_EQ(NOERROR, Start());
    EXPECT_EQ(FALSE, AddInIdle());
    ASSERT_EQ(0, raise(sig));
    EXPECT_EQ(TRUE, AddInIdle()) << sig;
    AddInTestSetStopRequest(FALSE);
    AddInSDKTerm(NOERROR);
    ASSERT_EQ(0, sigaction(sig, nullptr, &after));
    EXPECT_EQ(before.sa_handler, after.sa_handler) << sig;
  }
}

TEST_F(AddInTest, StopByQuitFile) {
  // A quit file left by an earlier process of the same pid is ignored.
  fs::create_directories(tasks_);
  std::ofstream(Own("quit")).close();
  ASSERT_EQ(NOERROR, Start());
  EXPECT_EQ(FALSE, AddInIdle());
  std::ofstream(Own("quit")).close();
  EXPECT_EQ(TRUE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle());
  AddInSDKTerm(NOERROR);
  EXPECT_FALSE(fs::exists(Own("quit"))) << "used up with the task";
}

// On a terminal the status line is drawn on one row, cleared before log
// lines and left on screen with a final line break.
TEST_F(AddInTest, StatusLineOnATerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    if (master >= 0) close(master);
    GTEST_SKIP() << "no pseudo-terminals here";
  }
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios raw;
  ASSERT_EQ(0, tcgetattr(slave, &raw));
  cfmakeraw(&raw);
  ASSERT_EQ(0, tcsetattr(slave, TCSANOW, &raw));
  int saved = dup(STDERR_FILENO);
  dup2(slave, STDERR_FILENO);
  CaptureStdout();
  Start("rtask");
  AddInSetStatusText("Working %d", 1);
  AddInLogMessageText("a log line", 0);
  AddInSetStatusText("Working %d", 2);
  AddInSDKTerm(NOERROR);
  std::string log = GetCapturedStdout();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(slave);
  std::string screen;
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) screen.append(buf, n);
  close(master);

  EXPECT_NE(std::string::npos, log.find("rtask: a log line\n"));
  const std::string first = "\rrtask: Working 1\x1b[K";
  size_t at = screen.find(first);
  ASSERT_NE(std::string::npos, at) << screen;
  EXPECT_NE(std::string::npos, screen.find("\r\x1b[K", at + first.size()));
  const std::string last = "\rrtask: Working 2\x1b[K\n";
  ASSERT_GE(screen.size(), last.size());
  EXPECT_EQ(last, screen.substr(screen.size() - last.size()));
}

}  // namespace
