// The operator command wqadmin, run as a process on queues in a scratch
// data directory: refusals, error texts, JSON output, extraction of both
// kinds of attached file.

#ifdef WQADMIN_BINARY

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "tool_util.h"

using namespace tooltest;
namespace fs = std::filesystem;

namespace {

struct CmdRun {
  int code = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class WqadminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = DataPath("wqadmin");
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  CmdRun Admin(const std::string& args) {
    std::string out = dir + "/.out", err = dir + "/.err";
    std::string cmd = "cd '" + dir + "' && TAVLO_DATA='" + dir + "' '" +
                      WQADMIN_BINARY + "' " + args + " >'" + out + "' 2>'" +
                      err + "' </dev/null";
    int rc = std::system(cmd.c_str());
    CmdRun r;
    r.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
  }

  std::string dir;
};

TEST_F(WqadminTest, CreateRefusesToOverwriteAndLeavesNoTemplateBehind) {
  CmdRun c = Admin("create q.qds --title 'Test queue'");
  ASSERT_EQ(0, c.code) << c.err;
  std::string before = Slurp(dir + "/q.qds");
  CmdRun again = Admin("create q.qds");
  EXPECT_NE(0, again.code);
  EXPECT_NE(std::string::npos, again.err.find(dir + "/q.qds")) << again.err;
  EXPECT_NE(std::string::npos, again.err.find("already exists")) << again.err;
  EXPECT_EQ(before, Slurp(dir + "/q.qds"));
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(std::string::npos, e.path().string().find("template"))
        << e.path();
}

TEST_F(WqadminTest, CreatedQueueHasTheViews) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 4 --status 11 --quiet").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 2 --status 6 --quiet").code);
  queue_handle_t q;
  ASSERT_EQ(NOERROR, OpenQueue(dir + "/q.qds", &q));
  for (auto [view, want] : {std::pair<const char*, WORD>{"All messages", 6},
                            {"Failed", 4},
                            {"Status 11 (rejected)", 4},
                            {"Status 6 (queued)", 2},
                            {"Status 7 (deferred)", 0}}) {
    msglist_handle_t l;
    WORD n = 0xFFFF;
    STATUS st = WQSCreateMsgList(&q, 100, WQS_SEARCH_VIEW, view, &l, &n);
    if (want == 0) {
      EXPECT_EQ(ERR_WQS_NO_MESSAGES, st) << view;
    } else {
      ASSERT_EQ(NOERROR, st) << view;
      EXPECT_EQ(want, n) << view;
      (void)WQSCloseMsgList(&l);
    }
  }
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
}

TEST_F(WqadminTest, MissingQueueNamesFileAndCause) {
  CmdRun r = Admin("stats nosuch.qds");
  EXPECT_NE(0, r.code);
  char text[256];
  TavloStatusText(ERR_WQS_NO_QUEUE, text, sizeof(text));
  EXPECT_NE(std::string::npos, r.err.find(dir + "/nosuch.qds")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(text)) << r.err;
  EXPECT_FALSE(FileExists(dir + "/nosuch.qds"));
}

TEST_F(WqadminTest, SeedStatsShowAgree) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 3 --status 9 --recipients 2 --type 1 "
                     "--body-size 70000 --quiet").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 2 --status 6 --quiet").code);
  CmdRun s = Admin("stats q.qds --json");
  ASSERT_EQ(0, s.code) << s.err;
  auto j = nlohmann::json::parse(s.out);
  EXPECT_EQ(5, j["total"]);
  EXPECT_EQ(3, j["by_status"]["9"]);
  EXPECT_EQ(2, j["by_status"]["6"]);
  EXPECT_EQ(0, j["absent"]);

  CmdRun l = Admin("list q.qds --status 9 --json");
  ASSERT_EQ(0, l.code) << l.err;
  auto rows = nlohmann::json::parse(l.out);
  ASSERT_EQ(3u, rows.size());
  unsigned id = rows[0]["note_id"];

  CmdRun sh = Admin("show q.qds " + std::to_string(id) + " --json");
  ASSERT_EQ(0, sh.code) << sh.err;
  auto m = nlohmann::json::parse(sh.out);
  EXPECT_EQ(9, m["state"]);
  EXPECT_EQ(421, m["error"]);
  EXPECT_NE(std::string::npos,
            m["error_text"].get<std::string>().find("421 4.4.2"));
  EXPECT_EQ(2u, m["recipients"].size());
  EXPECT_EQ(9, m["recipients"][0]["state"]);
  EXPECT_NE(std::string::npos,
            m["recipients"][0]["name"].get<std::string>().find('@'));
  EXPECT_EQ(70000, m["body_bytes"]);
  EXPECT_EQ(0, m["message_info"]["retries_left"]);

  CmdRun bad = Admin("show q.qds 99999");
  EXPECT_NE(0, bad.code);
  EXPECT_NE(std::string::npos, bad.err.find("99999")) << bad.err;
}

TEST_F(WqadminTest, ExtractWritesPlainFileAndSplitsResources) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  std::string payload(150000, '\0');
  for (size_t i = 0; i < payload.size(); i++) payload[i] = char(i * 31 + 7);
  {
    std::ofstream f(dir + "/doc.bin", std::ios::binary);
    f << payload;
  }
  ASSERT_EQ(0, Admin("seed q.qds --count 1 --status 11 --attach doc.bin --quiet")
                   .code);

  // A type-2 file (data then resources in one object), built directly.
  queue_handle_t q;
  ASSERT_EQ(NOERROR, OpenQueue(dir + "/q.qds", &q));
  msg_handle_t m;
  ASSERT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
  file_descriptor_t fd;
  std::memset(&fd, 0, sizeof(fd));
  fd.fileType = WQS_FILETYPE_MACEXT;
  std::memcpy(fd.fileName, "Report", 6);
  fd.wNameLen = 6;
  fd.size = 1000;
  fd.resSize = 200;
  file_block_t fb;
  ASSERT_EQ(NOERROR, WQSCreateFileBlock(&m, &fd, &fb));
  DHANDLE h;
  ASSERT_EQ(NOERROR, OSMemAlloc(0x7A11, 1200, &h));
  char* p = static_cast<char*>(OSLockObject(h));
  std::memset(p, 'D', 1000);
  std::memset(p + 1000, 'R', 200);
  OSUnlockObject(h);
  ASSERT_EQ(NOERROR, WQSAppendFileBlock(&m, &fb, h, 1200));
  OSMemFree(h);
  ASSERT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
  user_msg_info_t* info;
  WQSGetMsgInfo(&m, &info);
  NOTEID macId = info->dwQueueMsgID;
  ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));

  CmdRun l = Admin("list q.qds --status 11 --json");
  auto rows = nlohmann::json::parse(l.out);
  ASSERT_EQ(1u, rows.size());
  unsigned id = rows[0]["note_id"];
  EXPECT_EQ(1, rows[0]["attachments"]);

  CmdRun e = Admin("extract q.qds " + std::to_string(id) + " 0 out.bin");
  ASSERT_EQ(0, e.code) << e.err;
  EXPECT_EQ(payload, Slurp(dir + "/out.bin"));
  EXPECT_FALSE(FileExists(dir + "/out.bin.rsrc"));

  CmdRun e2 = Admin("extract q.qds " + std::to_string(macId) + " 0 mac.bin");
  ASSERT_EQ(0, e2.code) << e2.err;
  EXPECT_EQ(std::string(1000, 'D'), Slurp(dir + "/mac.bin"));
  EXPECT_EQ(std::string(200, 'R'), Slurp(dir + "/mac.bin.rsrc"));

  CmdRun bad = Admin("extract q.qds " + std::to_string(id) + " 1 x.bin");
  EXPECT_NE(0, bad.code);
  EXPECT_NE(std::string::npos, bad.err.find("no index 1")) << bad.err;
  EXPECT_FALSE(FileExists(dir + "/x.bin"));
}

TEST_F(WqadminTest, EverySubcommandHasHelp) {
  for (const char* sub : {"create", "seed", "stats", "show", "extract", "list"}) {
    CmdRun r = Admin(std::string(sub) + " --help");
    EXPECT_EQ(0, r.code) << sub;
    EXPECT_NE(std::string::npos, r.out.find("Usage")) << sub << r.out;
  }
  EXPECT_NE(std::string::npos, Admin("seed --help").out.find("TAVLO_SYNC=normal"));
  EXPECT_NE(0, Admin("seed q.qds --count 1 --status 6 --type 3").code);
}

}  // namespace

#endif  // WQADMIN_BINARY
