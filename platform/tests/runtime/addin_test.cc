// The add-in task: log lines, stop requests and the task registry entry.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "runtime_util.h"

namespace fs = std::filesystem;
using rttest::ReadFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class AddInTest : public rttest::DataDirTest {
 protected:
  STATUS Start() {
    char* argv[] = {const_cast<char*>("/opt/tavlo/bin/rtask"), nullptr};
    return AddInSDKInit(1, argv);
  }
  std::string Own(const char* ext = "task") { return TaskFile(getpid(), ext); }
};

TEST_F(AddInTest, LogLineFormat) {
  char* argv[] = {const_cast<char*>("/usr/local/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, TavloInitExtended(1, argv));
  CaptureStdout();
  AddInLogMessageText("Opening: %s", 0, "smtpibwq.fix");
  AddInLogMessageText("Error", ERR_WQS_NO_QUEUE);
  std::string out = GetCapturedStdout();
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  rswq: ";
  const std::string cause =
      "Error: Queue database does not exist and was not to be created";
  std::regex want(stamp + "Opening: smtpibwq.fix\n" +  //
                  stamp + cause + " \\(status 13280\\)\n");
  EXPECT_TRUE(std::regex_match(out, want)) << out;
}

TEST_F(AddInTest, StopBySigtermQuitFileOrAfterPolls) {
  for (int how : {0, 1, 2}) {
    ASSERT_EQ(NOERROR, Start());
    EXPECT_EQ(FALSE, AddInIdle());
    if (how == 0) {
      ASSERT_EQ(0, raise(SIGTERM));
    } else if (how == 1) {
      std::ofstream(Own("quit")).close();
    } else {
      AddInTestStopAfterPolls(2);
      EXPECT_EQ(FALSE, AddInIdle());
      EXPECT_EQ(FALSE, AddInIdle());
    }
    EXPECT_EQ(TRUE, AddInIdle()) << how;
    EXPECT_EQ(TRUE, AddInIdle()) << how << ": a stop is not taken back";
    AddInSDKTerm(NOERROR);
    AddInTestSetStopRequest(FALSE);
  }
}

// A task's record names it and its process and keeps the status line
// whole, however long, on one line; a second start-up of a running task
// keeps its one record; the end removes it and passes the STATUS on.
TEST_F(AddInTest, RegistryRecordFromStartToEnd) {
  ASSERT_EQ(NOERROR, Start());
  std::string rec = ReadFile(Own());
  EXPECT_NE(std::string::npos, rec.find("name=rtask\n")) << rec;
  EXPECT_NE(std::string::npos, rec.find("pid=" + std::to_string(getpid()) + "\n"));
  char* argv[] = {const_cast<char*>("other"), nullptr};
  EXPECT_EQ(NOERROR, AddInSDKInit(1, argv));
  const std::string tail(300, 'z');
  AddInSetStatusText("a\\b\nc\rd %s", tail.c_str());  // the first change is recorded at once
  rec = ReadFile(Own());
  EXPECT_NE(std::string::npos, rec.find("\nstatus=a\\\\b\\nc\\rd " + tail + "\n")) << rec;
  EXPECT_NE(std::string::npos, rec.find("name=other\n")) << rec;
  EXPECT_EQ(ERR_WQS_CORRUPT, AddInSDKTerm(ERR_WQS_CORRUPT));
  EXPECT_FALSE(fs::exists(Own()));
}

// Another task that ended may remove the emptied registry directories
// while this one runs: its next record makes them again.
TEST_F(AddInTest, RegistryDirectoriesRemadeWhenRemovedUnderTheTask) {
  ASSERT_EQ(NOERROR, Start());
  fs::remove_all(dir_ + "/.tavlo");
  AddInSetStatusText("after");  // the first change is recorded at once
  EXPECT_NE(std::string::npos, ReadFile(Own()).find("\nstatus=after\n"));
  AddInSDKTerm(NOERROR);
  EXPECT_FALSE(fs::exists(dir_ + "/.tavlo"));
}

// A record that cannot be written leaves the task unregistered, not
// stopped: it runs, and status changes and stop polls work without one.
TEST_F(AddInTest, TaskRunsWhenItsRecordCannotBeWritten) {
  fs::create_directories(Own() + ".tmp");  // where the record is written first
  ASSERT_EQ(NOERROR, Start());
  EXPECT_FALSE(fs::exists(Own()));
  AddInSetStatusText("running");
  EXPECT_EQ(FALSE, AddInIdle());
  EXPECT_FALSE(fs::exists(Own()));
  EXPECT_EQ(NOERROR, AddInSDKTerm(NOERROR));
  EXPECT_TRUE(fs::is_directory(Own() + ".tmp")) << "nothing of another's removed";
}

// On a terminal the status line is one row redrawn in place: cut to the
// width without splitting a character, control characters blanked,
// cleared around log lines and drawn again after them, and left on screen
// with a line feed at the end.  Changes within 50 ms of a drawing wait for
// the next call after that.
TEST_F(AddInTest, StatusLineOnATerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(0, grantpt(master));
  ASSERT_EQ(0, unlockpt(master));
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios tio;
  ASSERT_EQ(0, tcgetattr(slave, &tio));
  cfmakeraw(&tio);  // the bytes as written, no line-feed translation
  ASSERT_EQ(0, tcsetattr(slave, TCSANOW, &tio));
  winsize ws{};
  ws.ws_col = 24;
  ASSERT_EQ(0, ioctl(master, TIOCSWINSZ, &ws));
  std::fflush(stderr);
  const int savedErr = dup(STDERR_FILENO);
  ASSERT_EQ(STDERR_FILENO, dup2(slave, STDERR_FILENO));

  const std::string wide = "\xc3\xa9";  // one character, two bytes
  ASSERT_EQ(NOERROR, Start());
  AddInSetStatusText("one");
  AddInSetStatusText("two");  // held back by the throttle
  usleep(60 * 1000);
  EXPECT_EQ(FALSE, AddInIdle());
  CaptureStdout();
  AddInLogMessageText("hello", NOERROR);
  GetCapturedStdout();
  usleep(60 * 1000);
  AddInSetStatusText("a\tb%s", (std::string(12, 'x') + wide + "yz").c_str());
  AddInSDKTerm(NOERROR);

  std::fflush(stderr);
  dup2(savedErr, STDERR_FILENO);
  close(savedErr);
  close(slave);
  std::string shown;
  char buf[512];
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) shown.append(buf, n);
  close(master);
  // 24 columns: "\r" and 23 characters; the wide one would straddle the
  // cut, so it goes whole.
  EXPECT_EQ("\rrtask: one\x1b[K"
            "\rrtask: two\x1b[K"
            "\r\x1b[K\rrtask: two\x1b[K"
            "\rrtask: a b" + std::string(12, 'x') + "\x1b[K\n",
            shown);
}

}  // namespace
