// The operator command end to end: the built binary on queues it seeds,
// its JSON read back, a message damaged through the store, usage errors.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/wqs.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Result {
  int code;
  std::string out, err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class WqadminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = "/tmp/wqadmin-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs wqadmin in the test's data directory; standard error is a file,
  // never a terminal, so no progress bar may appear on it.
  Result Admin(const std::string& args) {
    std::string out = dir_ + "/.out", err = dir_ + "/.err";
    std::string cmd = "cd '" + dir_ + "' && TAVLO_SYNC=normal '" WQADMIN_BINARY
                      "' " + args + " >'" + out + "' 2>'" + err +
                      "' </dev/null";
    int rc = std::system(cmd.c_str());
    Result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
    fs::remove(out);
    fs::remove(err);
    return r;
  }
  json AdminJson(const std::string& args, int wantCode = 0) {
    Result r = Admin(args);
    EXPECT_EQ(wantCode, r.code) << args << "\n" << r.err;
    try {
      return json::parse(r.out);
    } catch (const std::exception& e) {
      ADD_FAILURE() << args << ": not JSON: " << e.what() << "\n" << r.out;
      return json();
    }
  }

  // q.qds with 6 extended messages in status 9, then 4 simple ones in
  // status 6 that carry an attachment and a 70,000-byte body stream.
  void SeedQueue() {
    ASSERT_EQ(0, Admin("create q.qds").code);
    ASSERT_EQ(0, Admin("seed q.qds --count 6 --status 9").code);
    std::ofstream(dir_ + "/note.txt") << "attached text\n";
    Result r = Admin("seed q.qds --count 4 --status 6 --type 1 --recipients 2 "
                  "--attach note.txt --body-size 70000");
    ASSERT_EQ(0, r.code) << r.err;
    EXPECT_EQ("", r.err);
  }

  // Rewrites WQSRecipData of message `id` so its stated size disagrees
  // with the stored bytes, as a damaged file would.
  void DamageRecipData(NOTEID id) {
    DBHANDLE db;
    ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &db));
    NOTEHANDLE note;
    ASSERT_EQ(NOERROR, QDSNoteOpen(db, id, 0, &note));
    BLOCKID bid;
    DWORD len = 0;
    WORD type = 0;
    ASSERT_EQ(NOERROR, QDSItemInfo(note, WQS_ITEM_RECIPDATA, 12, &type, &bid,
                                   &len));
    std::string v(OSLockBlock(bid), len);
    OSUnlockBlock(bid);
    v[34 + 4] = 0x7F;  // low byte of dwSize
    ASSERT_EQ(NOERROR, QDSItemDelete(note, WQS_ITEM_RECIPDATA, 12));
    ASSERT_EQ(NOERROR, QDSItemAppend(note, 0, WQS_ITEM_RECIPDATA, 12, type,
                                     v.data() + 2, len - 2));
    ASSERT_EQ(NOERROR, QDSNoteUpdate(note, 0));
    ASSERT_EQ(NOERROR, QDSNoteClose(note));
    ASSERT_EQ(NOERROR, QDSDbClose(db));
  }

  std::string dir_;
};

const std::regex kIsoLocal(
    R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");

TEST_F(WqadminTest, ListStreamsOneRowPerMessageWithFilters) {
  SeedQueue();
  json all = AdminJson("list q.qds --json");
  ASSERT_TRUE(all.is_array());
  ASSERT_EQ(10u, all.size());
  NOTEID last = 0;
  for (const auto& m : all) {
    EXPECT_GT(m["note_id"].get<NOTEID>(), last);
    last = m["note_id"];
    EXPECT_TRUE(std::regex_match(m["next_retry"].get<std::string>(), kIsoLocal))
        << m["next_retry"];
    EXPECT_NE("", m["first_recipient"].get<std::string>());
  }
  const json& failed = all[0];
  EXPECT_EQ(9, failed["status"]);
  EXPECT_EQ(2, failed["type"]);
  EXPECT_EQ(3, failed["recipients"]);
  EXPECT_EQ(0, failed["retries_left"]);
  EXPECT_NE(0, failed["error"]);
  EXPECT_NE("", failed["error_text"].get<std::string>());
  const json& queued = all[9];
  EXPECT_EQ(6, queued["status"]);
  EXPECT_EQ(1, queued["type"]);
  EXPECT_EQ(2, queued["recipients"]);
  EXPECT_EQ(1, queued["attachments"]);
  EXPECT_EQ("", queued["error_text"].get<std::string>());

  EXPECT_EQ(4u, AdminJson("list q.qds --status 6 --json").size());
  EXPECT_EQ(10u, AdminJson("list q.qds --status 6 --status 9 --json").size());
  EXPECT_EQ(0u, AdminJson("list q.qds --status 11 --json").size());
  json two = AdminJson("list q.qds --formula 'WQMsgStatus = 9' --limit 2 --json");
  ASSERT_EQ(2u, two.size());
  EXPECT_EQ(all[1]["note_id"], two[1]["note_id"]);

  // Text: a header, one line per message, and a note when cut short.
  Result text = Admin("list q.qds --limit 3");
  ASSERT_EQ(0, text.code) << text.err;
  EXPECT_EQ("", text.err);
  std::istringstream lines(text.out);
  std::string line;
  std::vector<std::string> rows;
  while (std::getline(lines, line)) rows.push_back(line);
  ASSERT_EQ(5u, rows.size()) << text.out;
  EXPECT_NE(std::string::npos, rows[0].find("NEXT RETRY"));
  EXPECT_NE(std::string::npos, rows[1].find("transfer failed"));
  EXPECT_NE(std::string::npos, rows[4].find("first 3 shown"));
  EXPECT_EQ("no messages\n", Admin("list q.qds --status 7").out);
}

TEST_F(WqadminTest, ShowReportsRecipientsFieldsStreamsAndAttachments) {
  SeedQueue();
  json all = AdminJson("list q.qds --json");
  NOTEID extended = all[0]["note_id"], simple = all[9]["note_id"];

  json m = AdminJson("show q.qds " + std::to_string(extended) + " --json");
  ASSERT_EQ(3u, m["recipients"].size());
  for (const auto& r : m["recipients"]) {
    EXPECT_NE("", r["next_hop"].get<std::string>());
    EXPECT_NE("", r["post_office"].get<std::string>());
    EXPECT_EQ(1, r["type"]);
    EXPECT_TRUE(std::regex_match(r["next_retry"].get<std::string>(), kIsoLocal));
  }
  bool sawStatus = false, sawError = false;
  for (const auto& f : m["fields"]) {
    if (f["name"] == "WQMsgStatus") {
      sawStatus = true;
      EXPECT_EQ("number", f["type"]);
      EXPECT_TRUE(f["summary"].get<bool>());
      EXPECT_EQ(9.0, f["value"]);
    }
    if (f["name"] == "WQErrStr") {
      sawError = true;
      EXPECT_EQ("text", f["type"]);
      EXPECT_FALSE(f["summary"].get<bool>());
    }
    // The library's own items are not fields.
    EXPECT_NE(0u, f["name"].get<std::string>().rfind("WQS", 0));
  }
  EXPECT_TRUE(sawStatus && sawError) << m["fields"];

  json s = AdminJson("show q.qds " + std::to_string(simple) + " --json");
  ASSERT_EQ(1u, s["streams"].size());
  EXPECT_EQ("Body", s["streams"][0]["name"]);
  EXPECT_EQ(70000, s["streams"][0]["size"]);
  ASSERT_EQ(1u, s["attachments"].size());
  EXPECT_EQ("note.txt", s["attachments"][0]["name"]);
  EXPECT_EQ(14, s["attachments"][0]["size"]);
  EXPECT_EQ(1, s["attachments"][0]["file_type"]);

  Result text = Admin("show q.qds " + std::to_string(simple));
  EXPECT_NE(std::string::npos, text.out.find("stream Body")) << text.out;
  EXPECT_NE(std::string::npos, text.out.find("attachment [0] note.txt"));
  Result missing = Admin("show q.qds 99999");
  EXPECT_EQ(1, missing.code);
  EXPECT_NE(std::string::npos, missing.err.find("q.qds")) << missing.err;
}

TEST_F(WqadminTest, StatsShowsTheQueueShapePerStatus) {
  SeedQueue();
  json j = AdminJson("stats q.qds --json");
  EXPECT_EQ(10, j["total"]);
  EXPECT_EQ(6, j["by_status"]["9"]);
  EXPECT_EQ(4, j["by_status"]["6"]);
  EXPECT_EQ(6, j["failed"]);
  EXPECT_EQ(0, j["damaged"]);
  EXPECT_TRUE(std::regex_match(j["now"].get<std::string>(), kIsoLocal));
  // Every status's buckets add up to its total; the seeded failures are
  // overdue, not ahead.
  for (const char* status : {"6", "9", "all"}) {
    const json& shape = j["shape"][status];
    uint64_t sum = 0;
    for (const auto& [name, n] : shape["next_retry"].items()) sum += n.get<uint64_t>();
    EXPECT_EQ(shape["total"].get<uint64_t>(), sum) << status;
  }
  EXPECT_EQ(0, j["shape"]["9"]["next_retry"]["ahead"]);
  EXPECT_EQ(0, j["shape"]["9"]["next_retry"]["unset"]);
  Result text = Admin("stats q.qds");
  EXPECT_NE(std::string::npos, text.out.find("9 transfer failed *")) << text.out;
}

TEST_F(WqadminTest, VerifyNamesADamagedMessageWhileListAndStatsGoOn) {
  SeedQueue();
  Result sound = Admin("verify q.qds");
  EXPECT_EQ(0, sound.code) << sound.out << sound.err;
  EXPECT_NE(std::string::npos, sound.out.find("10 messages checked, 0 damaged"));
  EXPECT_EQ("", sound.err);

  json before = AdminJson("list q.qds --json");
  NOTEID bad = before[2]["note_id"];
  DamageRecipData(bad);
  json listed = AdminJson("list q.qds --json");

  Result v = Admin("verify q.qds");
  EXPECT_EQ(1, v.code);
  EXPECT_NE(std::string::npos,
            v.out.find("message " + std::to_string(bad) + ": WQSRecipData: dwSize"))
      << v.out;
  EXPECT_NE(std::string::npos, v.out.find("10 messages checked, 1 damaged"));
  json vj = AdminJson("verify q.qds --json", 1);
  EXPECT_EQ(10, vj["checked"]);
  EXPECT_EQ(1, vj["damaged"]);
  ASSERT_EQ(1u, vj["problems"].size());
  EXPECT_EQ(bad, vj["problems"][0]["note_id"]);
  // Verify only reads: the queue lists the same afterwards.
  EXPECT_EQ(listed, AdminJson("list q.qds --json"));

  ASSERT_EQ(10u, listed.size());
  EXPECT_TRUE(listed[2].contains("damaged")) << listed[2];
  EXPECT_FALSE(listed[3].contains("damaged"));
  Result text = Admin("list q.qds");
  EXPECT_EQ(0, text.code);
  EXPECT_NE(std::string::npos, text.out.find("damaged:"));
  json stats = AdminJson("stats q.qds --json");
  EXPECT_EQ(10, stats["total"]);
  EXPECT_EQ(1, stats["damaged"]);
  EXPECT_EQ(5, stats["by_status"]["9"]);
}

TEST_F(WqadminTest, UsageErrorsExitTwoAndFailuresNameTheFile) {
  EXPECT_EQ(2, Admin("").code);
  EXPECT_EQ(2, Admin("list").code);
  EXPECT_EQ(2, Admin("list q.qds --bogus").code);
  EXPECT_EQ(2, Admin("frobnicate q.qds").code);
  Result help = Admin("list --help");
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos, help.out.find("--formula"));
  EXPECT_NE(std::string::npos, Admin("--help").out.find("verify"));

  ASSERT_EQ(0, Admin("create q.qds").code);
  Result badFormula = Admin("list q.qds --formula 'WQMsgStatus = '");
  EXPECT_EQ(2, badFormula.code);
  EXPECT_EQ("", badFormula.out);
  EXPECT_NE(std::string::npos, badFormula.err.find("--formula")) << badFormula.err;

  for (const char* cmd : {"list", "stats", "verify"}) {
    Result r = Admin(std::string(cmd) + " missing.qds");
    EXPECT_EQ(1, r.code) << cmd;
    EXPECT_NE(std::string::npos, r.err.find("missing.qds")) << r.err;
  }
  std::ofstream(dir_ + "/junk.qds") << "not a queue at all";
  Result junk = Admin("verify junk.qds");
  EXPECT_EQ(1, junk.code);
  EXPECT_NE(std::string::npos, junk.err.find("junk.qds")) << junk.err;
}

}  // namespace
