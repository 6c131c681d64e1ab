// The built rswq and wqadmin binaries, run as the operator runs them: in a
// data directory holding the queue, with TAVLO_DATA pointing there.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "rswq.h"
#include "tool_util.h"

using namespace tooltest;
namespace fs = std::filesystem;

namespace {

// Standard output with each log line's time stamp taken off.
std::string Unstamped(const std::string& out) {
  static const std::regex stamp(
      "(^|\n)\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  ");
  return std::regex_replace(out, stamp, "$1");
}

// The banner and opening lines every run of rswq starts with.
std::string Opening() {
  std::string s;
  for (const char* p : kBanner) s += std::string("rswq: ") + p + "\n";
  return s + "rswq: Opening: smtpibwq.fix\n";
}

class BinaryTest : public ::testing::Test {
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

TEST_F(BinaryTest, RswqResetsEveryFailedMessageAndLeavesTheRest) {
  queue_handle_t q;
  ASSERT_EQ(NOERROR, CreateQueue(fix, &q));
  std::vector<NOTEID> failed, healthy;
  std::vector<MsgSnapshot> before;
  std::vector<std::string> healthyRaw;
  const DWORD kStatuses[] = {11, 9, 10, 7};
  for (int i = 0; i < 15; i++) {
    SeedShape s;
    if (i < 12) {
      s.status = kStatuses[i % 4];
      s.type = i % 2 ? WQS_MSG_SIMPLE : WQS_MSG_EXTENDED;
      s.recipients = 1 + i % 3;
    } else {
      s = kHealthy;
    }
    NOTEID id;
    ASSERT_EQ(NOERROR, SeedMessage(&q, s, &id, i));
    MsgSnapshot snap;
    ASSERT_EQ(NOERROR, ReadMessage(&q, id, &snap));
    (i < 12 ? failed : healthy).push_back(id);
    if (i < 12) before.push_back(snap);
    else healthyRaw.push_back(RawDocument(&q, id));
  }
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));

  RunResult r = RunBinary(RSWQ_BINARY, dir, "ignored --args");
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ(Opening() + "rswq: Resetting....\nrswq: ReQueued 12 messages\n"
                        "rswq: Closing: smtpibwq.fix\n",
            Unstamped(r.out));

  ASSERT_EQ(NOERROR, OpenQueue(fix, &q));
  for (size_t i = 0; i < failed.size(); i++) {
    MsgSnapshot s;
    ASSERT_EQ(NOERROR, ReadMessage(&q, failed[i], &s));
    ExpectRequeued(before[i], s);
  }
  for (size_t i = 0; i < healthy.size(); i++)
    EXPECT_EQ(healthyRaw[i], RawDocument(&q, healthy[i]));
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
}

TEST_F(BinaryTest, RswqWithoutQueueFileExits255AndShowsTheCause) {
  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(255, r.code);
  EXPECT_FALSE(FileExists(fix));
  // Nothing at all is left in the directory, not even the task registry.
  EXPECT_TRUE(fs::is_empty(dir));
  char text[256];
  TavloStatusText(ERR_WQS_NO_QUEUE, text, sizeof(text));
  EXPECT_EQ(Opening() + "rswq: Error: Unable to open: smtpibwq.fix\n\r\n" +
                text + "\r\n\r\n",
            Unstamped(r.out));
}

#ifdef WQADMIN_BINARY

RunResult Admin(const std::string& dir, const std::string& args) {
  return RunBinary(WQADMIN_BINARY, dir, args);
}

TEST_F(BinaryTest, WqadminBuildsAQueueTheToolResets) {
  ASSERT_EQ(0, Admin(dir, "create " RSWQ_QUEUE_FILE " --title 'T q'").code);
  std::string created = ReadFile(fix);
  RunResult again = Admin(dir, "create " RSWQ_QUEUE_FILE);
  EXPECT_NE(0, again.code);
  EXPECT_NE(std::string::npos, again.err.find(fix + "")) << again.err;
  EXPECT_NE(std::string::npos, again.err.find("already exists")) << again.err;
  EXPECT_EQ(created, ReadFile(fix));
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(std::string::npos, e.path().string().find("template")) << e.path();

  ASSERT_EQ(0, Admin(dir, "seed " RSWQ_QUEUE_FILE " --count 7 --status 9 "
                          "--recipients 2 --body-size 70000 --quiet").code);
  ASSERT_EQ(0, Admin(dir, "seed " RSWQ_QUEUE_FILE " --count 3 --status 6 --quiet")
                   .code);
  queue_handle_t q;
  ASSERT_EQ(NOERROR, OpenQueue(fix, &q));
  for (auto [view, want] : {std::pair<const char*, WORD>{"All messages", 10},
                            {"Failed", 7}, {"Status 6 (queued)", 3}}) {
    msglist_handle_t l;
    WORD n = 0;
    ASSERT_EQ(NOERROR, WQSCreateMsgList(&q, 100, WQS_SEARCH_VIEW, view, &l, &n));
    EXPECT_EQ(want, n) << view;
    (void)WQSCloseMsgList(&l);
  }
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));

  auto rows = nlohmann::json::parse(
      Admin(dir, "list " RSWQ_QUEUE_FILE " --status 9 --json").out);
  ASSERT_EQ(7u, rows.size());
  std::string id = std::to_string(rows[0]["note_id"].get<unsigned>());
  RunResult sh = Admin(dir, "show " RSWQ_QUEUE_FILE " " + id + " --json");
  ASSERT_EQ(0, sh.code) << sh.err;
  auto m = nlohmann::json::parse(sh.out);
  EXPECT_EQ(9, m["state"]);
  EXPECT_EQ(421, m["error"]);
  EXPECT_NE(std::string::npos,
            m["error_text"].get<std::string>().find("421 4.4.2"));
  EXPECT_EQ(2u, m["recipients"].size());
  EXPECT_EQ(9, m["recipients"][0]["state"]);
  EXPECT_EQ(70000, m["body_bytes"]);
  RunResult bad = Admin(dir, "show " RSWQ_QUEUE_FILE " 99999");
  EXPECT_NE(0, bad.code);
  EXPECT_NE(std::string::npos, bad.err.find("99999")) << bad.err;

  RunResult r = RunBinary(RSWQ_BINARY, dir);
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("ReQueued 7 messages")) << r.out;
  RunResult st = Admin(dir, "stats " RSWQ_QUEUE_FILE " --json");
  ASSERT_EQ(0, st.code) << st.err;
  auto j = nlohmann::json::parse(st.out);
  EXPECT_EQ(10, j["total"]);
  EXPECT_EQ(10, j["by_status"]["6"]);
  EXPECT_EQ(0, j["absent"]);

  RunResult missing = Admin(dir, "stats nosuch.qds");
  EXPECT_NE(0, missing.code);
  char text[256];
  TavloStatusText(ERR_WQS_NO_QUEUE, text, sizeof(text));
  EXPECT_NE(std::string::npos, missing.err.find(dir + "/nosuch.qds"));
  EXPECT_NE(std::string::npos, missing.err.find(text)) << missing.err;
  EXPECT_FALSE(FileExists(dir + "/nosuch.qds"));
}

TEST_F(BinaryTest, WqadminExtractsAnAttachedFile) {
  ASSERT_EQ(0, Admin(dir, "create q.qds").code);
  std::string payload(150000, '\0');
  for (size_t i = 0; i < payload.size(); i++) payload[i] = char(i * 31 + 7);
  std::ofstream(dir + "/doc.bin", std::ios::binary) << payload;
  ASSERT_EQ(0, Admin(dir, "seed q.qds --count 1 --status 11 --attach doc.bin "
                          "--quiet").code);

  auto rows = nlohmann::json::parse(Admin(dir, "list q.qds --status 11 --json").out);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ(1, rows[0]["attachments"]);
  std::string id = std::to_string(rows[0]["note_id"].get<unsigned>());
  RunResult e = Admin(dir, "extract q.qds " + id + " 0 out.bin");
  ASSERT_EQ(0, e.code) << e.err;
  EXPECT_EQ(payload, ReadFile(dir + "/out.bin"));
  EXPECT_FALSE(FileExists(dir + "/out.bin.rsrc"));
  e = Admin(dir, "extract q.qds " + id + " 1 x.bin");
  EXPECT_NE(0, e.code);
  EXPECT_NE(std::string::npos, e.err.find("no index 1")) << e.err;
  EXPECT_FALSE(FileExists(dir + "/x.bin"));
}

#endif  // WQADMIN_BINARY

}  // namespace
