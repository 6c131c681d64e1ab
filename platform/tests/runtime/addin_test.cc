// The add-in task: log lines, status line, stop requests and the task
// registry entry.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace fs = std::filesystem;

namespace {

struct LogLine {
  std::string format;
  STATUS status;
  std::string text;
};

void CollectLog(const char* format, STATUS status, const std::string& text,
                void* arg) {
  static_cast<std::vector<LogLine>*>(arg)->push_back(
      {format ? format : "", status, text});
}

void CollectStatus(const std::string& text, void* arg) {
  static_cast<std::vector<std::string>*>(arg)->push_back(text);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs `fn` with standard output sent to a file and returns what it wrote.
std::string CaptureStdout(const std::function<void()>& fn) {
  std::fflush(stdout);
  char path[] = "/tmp/tavlo-stdout-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  int saved = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  fn();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fd);
  std::string out = ReadFile(path);
  unlink(path);
  return out;
}

// Each test gets a fresh data directory in $TAVLO_DATA, a known task name
// and a clean stop state, and leaves no task context behind.
class AddInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TAVLO_DATA");
    had_data_ = old != nullptr;
    if (had_data_) old_data_ = old;
    char tmpl[] = "/tmp/tavlo-addin-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
  }
  void TearDown() override {
    AddInSDKTerm(NOERROR);
    AddInTestSetLogSink(nullptr, nullptr);
    AddInTestSetStatusSink(nullptr, nullptr);
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
    if (had_data_) {
      setenv("TAVLO_DATA", old_data_.c_str(), 1);
    } else {
      unsetenv("TAVLO_DATA");
    }
    chmod(dir_.c_str(), 0700);
    fs::remove_all(dir_);
  }

  STATUS Start(const char* argv0 = "/opt/tavlo/bin/rtask") {
    char* argv[] = {const_cast<char*>(argv0), nullptr};
    return AddInSDKInit(1, argv);
  }
  std::string TaskFile() const {
    return dir_ + "/.tavlo/tasks/" + std::to_string(getpid()) + ".task";
  }
  std::string QuitFile() const {
    return dir_ + "/.tavlo/tasks/" + std::to_string(getpid()) + ".quit";
  }

  std::string dir_;
  bool had_data_ = false;
  std::string old_data_;
};

TEST_F(AddInTest, LogGoesToSinkWithFormatStatusAndText) {
  std::vector<LogLine> lines;
  AddInTestSetLogSink(CollectLog, &lines);
  AddInLogMessageText("Opening: %s", 0, "smtpibwq.fix");
  AddInLogMessageText("Error", ERR_WQS_NO_QUEUE);
  AddInLogMessageText("ReQueued %lu messages", 0, 250UL);
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("Opening: %s", lines[0].format);
  EXPECT_EQ(0, lines[0].status);
  EXPECT_EQ("Opening: smtpibwq.fix", lines[0].text);
  EXPECT_EQ("Error", lines[1].text);
  EXPECT_EQ(ERR_WQS_NO_QUEUE, lines[1].status);
  EXPECT_EQ("ReQueued 250 messages", lines[2].text);
}

TEST_F(AddInTest, LogLineFormatOnStdout) {
  char* argv[] = {const_cast<char*>("/usr/local/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, TavloInitExtended(1, argv));
  std::string out = CaptureStdout([] {
    AddInLogMessageText("Opening: %s", 0, "smtpibwq.fix");
    AddInLogMessageText("Error", ERR_WQS_NO_QUEUE);
  });
  std::regex want(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  rswq: Opening: smtpibwq.fix\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  rswq: Error: Queue database "
      "does not exist and was not to be created \\(status 13280\\)\n");
  EXPECT_TRUE(std::regex_match(out, want)) << out;
}

TEST_F(AddInTest, LogKeepsNewlinesAndTabsOfTheText) {
  char* argv[] = {const_cast<char*>("rswq"), nullptr};
  ASSERT_EQ(NOERROR, TavloInitExtended(1, argv));
  const char* para = "\n\t                         Usage:\n\t";
  std::string out = CaptureStdout([&] { AddInLogMessageText(para, 0); });
  ASSERT_GE(out.size(), 20u);
  EXPECT_EQ("  rswq: " + std::string(para) + "\n", out.substr(19));
}

TEST_F(AddInTest, LongLogLineIsWhole) {
  std::string big(5000, 'x');
  std::string out =
      CaptureStdout([&] { AddInLogMessageText("%s!", 0, big.c_str()); });
  EXPECT_NE(std::string::npos, out.find(big + "!\n"));
}

TEST_F(AddInTest, HiddenBitStatusIsStillNamed) {
  std::string out = CaptureStdout(
      [] { AddInLogMessageText("Error", 0x8000 | ERR_WQS_NO_QUEUE); });
  EXPECT_NE(std::string::npos,
            out.find("Error: Queue database does not exist and was not to be "
                     "created (status 46048)"))
      << out;
}

TEST_F(AddInTest, StatusSinkGetsEveryChange) {
  std::vector<std::string> seen;
  AddInTestSetStatusSink(CollectStatus, &seen);
  ASSERT_EQ(NOERROR, Start());
  AddInSetStatusText("Initing...");
  for (unsigned long i = 1; i <= 1000; ++i) {
    AddInSetStatusText("ReQueueing Message: %lu", i);
  }
  ASSERT_EQ(1001u, seen.size());
  EXPECT_EQ("Initing...", seen[0]);
  EXPECT_EQ("ReQueueing Message: 1", seen[1]);
  EXPECT_EQ("ReQueueing Message: 1000", seen[1000]);
}

TEST_F(AddInTest, StatusWorksWithoutTaskContext) {
  std::vector<std::string> seen;
  AddInTestSetStatusSink(CollectStatus, &seen);
  AddInSetStatusText("alone %d", 1);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ("alone 1", seen[0]);
}

TEST_F(AddInTest, RegistryEntryAppearsAndDisappears) {
  ASSERT_EQ(NOERROR, Start());
  ASSERT_TRUE(Exists(TaskFile())) << TaskFile();
  std::string rec = ReadFile(TaskFile());
  EXPECT_NE(std::string::npos, rec.find("name=rtask\n")) << rec;
  EXPECT_NE(std::string::npos,
            rec.find("pid=" + std::to_string(getpid()) + "\n"));
  // The first change after start is recorded at once.
  AddInSetStatusText("ReQueueing Message: %lu", 42UL);
  rec = ReadFile(TaskFile());
  EXPECT_NE(std::string::npos, rec.find("status=ReQueueing Message: 42\n")) << rec;
  EXPECT_EQ(ERR_WQS_CORRUPT, AddInSDKTerm(ERR_WQS_CORRUPT));
  EXPECT_FALSE(Exists(TaskFile()));
  EXPECT_FALSE(Exists(TaskFile() + ".tmp"));
}

TEST_F(AddInTest, StatusWithLineBreaksStaysOneRecord) {
  ASSERT_EQ(NOERROR, Start());
  AddInSetStatusText("two\nlines\\");
  std::string rec = ReadFile(TaskFile());
  EXPECT_NE(std::string::npos, rec.find("status=two\\nlines\\\\\n")) << rec;
}

TEST_F(AddInTest, MissingDataDirectoryOnlySkipsRegistration) {
  std::string gone = dir_ + "/not-there";
  setenv("TAVLO_DATA", gone.c_str(), 1);
  EXPECT_EQ(NOERROR, Start());
  AddInSetStatusText("still fine");
  EXPECT_FALSE(Exists(gone));
  EXPECT_EQ(FALSE, AddInIdle());
  EXPECT_EQ(NOERROR, AddInSDKTerm(NOERROR));
}

TEST_F(AddInTest, UnwritableDataDirectoryOnlySkipsRegistration) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  ASSERT_EQ(0, chmod(dir_.c_str(), 0500));
  EXPECT_EQ(NOERROR, Start());
  EXPECT_FALSE(Exists(dir_ + "/.tavlo"));
  EXPECT_EQ(NOERROR, AddInSDKTerm(NOERROR));
}

TEST_F(AddInTest, TermWithoutInitReturnsStatus) {
  EXPECT_EQ(ERR_BAD_ARG, AddInSDKTerm(ERR_BAD_ARG));
  EXPECT_EQ(NOERROR, AddInSDKTerm(NOERROR));
}

TEST_F(AddInTest, StopByTestFlag) {
  ASSERT_EQ(NOERROR, Start());
  EXPECT_EQ(FALSE, AddInIdle());
  AddInTestSetStopRequest(TRUE);
  EXPECT_EQ(TRUE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle());
  AddInTestSetStopRequest(FALSE);
  EXPECT_EQ(FALSE, AddInIdle());
}

TEST_F(AddInTest, StopByFlagWorksWithoutTaskContext) {
  EXPECT_EQ(FALSE, AddInIdle());
  AddInTestSetStopRequest(TRUE);
  EXPECT_EQ(TRUE, AddInIdle());
}

TEST_F(AddInTest, StopAfterPolls) {
  AddInTestStopAfterPolls(2);
  EXPECT_EQ(FALSE, AddInIdle());
  EXPECT_EQ(FALSE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle()) << "a stop request stays";
  AddInTestStopAfterPolls(0);
  EXPECT_EQ(FALSE, AddInIdle());
}

TEST_F(AddInTest, StopBySigterm) {
  struct sigaction before;
  ASSERT_EQ(0, sigaction(SIGTERM, nullptr, &before));
  ASSERT_EQ(NOERROR, Start());
  EXPECT_EQ(FALSE, AddInIdle());
  ASSERT_EQ(0, raise(SIGTERM));
  EXPECT_EQ(TRUE, AddInIdle());
  AddInTestSetStopRequest(FALSE);
  EXPECT_EQ(FALSE, AddInIdle());
  AddInSDKTerm(NOERROR);
  struct sigaction after;
  ASSERT_EQ(0, sigaction(SIGTERM, nullptr, &after));
  EXPECT_EQ(before.sa_handler, after.sa_handler) << "handler restored";
}

TEST_F(AddInTest, StopBySigint) {
  struct sigaction before;
  ASSERT_EQ(0, sigaction(SIGINT, nullptr, &before));
  ASSERT_EQ(NOERROR, Start());
  ASSERT_EQ(0, raise(SIGINT));
  EXPECT_EQ(TRUE, AddInIdle());
  AddInSDKTerm(NOERROR);
  struct sigaction after;
  ASSERT_EQ(0, sigaction(SIGINT, nullptr, &after));
  EXPECT_EQ(before.sa_handler, after.sa_handler);
}

TEST_F(AddInTest, StopByQuitFile) {
  ASSERT_EQ(NOERROR, Start());
  EXPECT_EQ(FALSE, AddInIdle());
  { std::ofstream(QuitFile()) << ""; }
  EXPECT_EQ(TRUE, AddInIdle());
  EXPECT_EQ(TRUE, AddInIdle());
  AddInSDKTerm(NOERROR);
  EXPECT_FALSE(Exists(QuitFile())) << "the request is used up with the task";
}

TEST_F(AddInTest, OldQuitFileOfSamePidIsIgnored) {
  fs::create_directories(dir_ + "/.tavlo/tasks");
  { std::ofstream(QuitFile()) << ""; }
  ASSERT_EQ(NOERROR, Start());
  EXPECT_EQ(FALSE, AddInIdle());
}

// The status line on a terminal: drawn on one row, cleared around log
// lines, and left on screen with a final line break at the end.
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

  std::string log = CaptureStdout([&] {
    Start("rtask");
    AddInSetStatusText("Working %d", 1);
    AddInLogMessageText("a log line", 0);
    AddInSetStatusText("Working %d", 2);
    AddInSDKTerm(NOERROR);
  });

  dup2(saved, STDERR_FILENO);
  close(saved);
  close(slave);
  std::string screen;
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) screen.append(buf, n);
  close(master);

  EXPECT_NE(std::string::npos, log.find("rtask: a log line\n"));
  const std::string first = "\rrtask: Working 1\x1b[K";
  const std::string clear = "\r\x1b[K";
  size_t at = screen.find(first);
  ASSERT_NE(std::string::npos, at) << screen;
  at = screen.find(clear, at + first.size());
  EXPECT_NE(std::string::npos, at) << "cleared before the log line";
  const std::string last = "\rrtask: Working 2\x1b[K\n";
  ASSERT_GE(screen.size(), last.size());
  EXPECT_EQ(last, screen.substr(screen.size() - last.size()))
      << "final value drawn at the end";
}

}  // namespace
