// The built rswq binary, run as the operator runs it: in a data directory
// holding smtpibwq.fix, with TAVLO_DATA pointing there.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "rswq.h"
#include "tool_util.h"

using namespace tooltest;
namespace fs = std::filesystem;

namespace {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

RunResult RunBinary(const std::string& binary, const std::string& dir,
                    const std::string& args = "") {
  std::string out = dir + "/.stdout", err = dir + "/.stderr";
  std::string cmd = "cd '" + dir + "' && TAVLO_DATA='" + dir + "' '" + binary +
                    "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
  int rc = std::system(cmd.c_str());
  RunResult r;
  r.exitCode = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

class RswqBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = DataPath("e2e");
    fs::remove_all(dir);
    fs::create_directories(dir);
    fix = dir + "/" RSWQ_QUEUE_FILE;
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string dir, fix;
};

TEST_F(RswqBinaryTest, ResetsEveryFailedMessageAndLeavesTheRest) {
  queue_handle_t q;
  ASSERT_EQ(NOERROR, CreateQueue(fix, &q));
  std::vector<NOTEID> failed, healthy;
  std::vector<MsgSnapshot> before;
  const DWORD kStatuses[] = {11, 9, 10, 7};
  for (int i = 0; i < 12; i++) {
    SeedSpec s;
    s.status = kStatuses[i % 4];
    s.type = i % 2 ? WQS_MSG_SIMPLE : WQS_MSG_EXTENDED;
    s.recipients = 1 + i % 3;
    NOTEID id;
    ASSERT_EQ(NOERROR, SeedMessage(&q, s, &id, i));
    failed.push_back(id);
    MsgSnapshot snap;
    ASSERT_EQ(NOERROR, ReadMessage(&q, id, &snap));
    before.push_back(snap);
  }
  std::vector<std::string> healthyRaw;
  for (int i = 0; i < 3; i++) {
    SeedSpec s;
    s.status = 6;
    s.recipState = 6;
    s.recipError = 0;
    s.errStr = false;
    NOTEID id;
    ASSERT_EQ(NOERROR, SeedMessage(&q, s, &id, 100 + i));
    healthy.push_back(id);
    healthyRaw.push_back(RawDocument(&q, id));
  }
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));

  RunResult r = RunBinary(RSWQ_BINARY, dir, "ignored --args");
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  for (const char* want :
       {"Inbound Workqueue Message Status Reset Tool", "Opening: smtpibwq.fix",
        "Resetting....", "ReQueued 12 messages", "Closing: smtpibwq.fix"})
    EXPECT_NE(std::string::npos, r.out.find(want)) << want << "\n" << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("Error")) << r.out;
  EXPECT_LT(r.out.find("Opening: smtpibwq.fix"), r.out.find("Resetting...."));
  EXPECT_LT(r.out.find("ReQueued 12 messages"),
            r.out.find("Closing: smtpibwq.fix"));

  ASSERT_EQ(NOERROR, OpenQueue(fix, &q));
  for (size_t i = 0; i < failed.size(); i++) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, failed[i], &s));
    EXPECT_EQ(6u, s.status);
    EXPECT_EQ(1, +s.info.wRetries);
    EXPECT_EQ(0u, +s.info.dwUserInfo3);
    EXPECT_FALSE(s.hasErrStr);
    EXPECT_EQ(+before[i].info.dwUserInfo1, +s.info.dwUserInfo1);
    EXPECT_EQ(+before[i].info.dwSize, +s.info.dwSize);
    EXPECT_EQ(+before[i].info.wPriority, +s.info.wPriority);
    EXPECT_EQ(before[i].names, s.names);
    ASSERT_EQ(before[i].recips.size(), s.recips.size());
    for (size_t k = 0; k < s.recips.size(); k++) {
      EXPECT_EQ(6u, +s.recips[k].dwUserInfo);
      EXPECT_EQ(0u, +s.recips[k].dwErrorCode);
      EXPECT_EQ(+before[i].recips[k].wRetries, +s.recips[k].wRetries);
    }
  }
  for (size_t i = 0; i < healthy.size(); i++)
    EXPECT_EQ(healthyRaw[i], RawDocument(&q, healthy[i]));
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
}

TEST_F(RswqBinaryTest, MissingQueueFileExitsMinusOneAndShowsTheCause) {
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(255, r.exitCode);
  EXPECT_FALSE(FileExists(fix));
  EXPECT_NE(std::string::npos, r.out.find("Opening: smtpibwq.fix"));
  EXPECT_NE(std::string::npos,
            r.out.find("Error: Unable to open: smtpibwq.fix"));
  // The shell shows the STATUS text framed by blank lines on stdout.
  char text[256];
  TavloStatusText(ERR_WQS_NO_QUEUE, text, sizeof(text));
  size_t at = r.out.find(text);
  ASSERT_NE(std::string::npos, at) << r.out;
  EXPECT_NE(std::string::npos, r.out.rfind("\r\n", at)) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\r\n\r\n", at)) << r.out;
}

#ifdef WQADMIN_BINARY
TEST_F(RswqBinaryTest, WqadminBuildsAQueueTheToolResets) {
  std::string admin = WQADMIN_BINARY;
  RunResult c = RunBinary(admin, dir, "create " RSWQ_QUEUE_FILE);
  ASSERT_EQ(0, c.exitCode) << c.out << c.err;
  RunResult s1 = RunBinary(admin, dir,
                           "seed " RSWQ_QUEUE_FILE " --count 7 --status 9");
  ASSERT_EQ(0, s1.exitCode) << s1.out << s1.err;
  RunResult s2 = RunBinary(admin, dir,
                           "seed " RSWQ_QUEUE_FILE " --count 3 --status 6");
  ASSERT_EQ(0, s2.exitCode) << s2.out << s2.err;

  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(0, r.exitCode) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("ReQueued 7 messages")) << r.out;

  RunResult st = RunBinary(admin, dir, "stats " RSWQ_QUEUE_FILE " --json");
  ASSERT_EQ(0, st.exitCode) << st.out << st.err;
  EXPECT_NE(std::string::npos, st.out.find("\"6\": 10")) << st.out;
  EXPECT_NE(std::string::npos, st.out.find("\"total\": 10")) << st.out;
}
#endif

}  // namespace
