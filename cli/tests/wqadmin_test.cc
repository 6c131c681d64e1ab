// The operator command end to end: the built binary on queues it seeds,
// its JSON read back, a message damaged through the store, usage errors.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

const std::regex kIsoLocal(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
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

  // Runs wqadmin in the data directory; standard error is a file, never a
  // terminal, so no progress bar may appear on it.
  Result Admin(const std::string& args) {
    const std::string out = dir_ + "/.out", err = dir_ + "/.err";
    std::string cmd = "cd '" + dir_ + "' && TAVLO_SYNC=normal '" WQADMIN_BINARY "' " + args +
                      " >'" + out + "' 2>'" + err + "' </dev/null";
    int rc = std::system(cmd.c_str());
    Result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, "", ""};
    std::ostringstream o, e;
    o << std::ifstream(out).rdbuf();
    e << std::ifstream(err).rdbuf();
    r.out = o.str(), r.err = e.str();
    return r;
  }
  json AdminJson(const std::string& args, int wantCode = 0) {
    Result r = Admin(args);
    EXPECT_EQ(wantCode, r.code) << args << "\n" << r.err;
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << args << ": not JSON:\n" << r.out;
    return j;
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

  std::string dir_;
};

TEST_F(WqadminTest, ListStreamsOneRowPerMessageWithFilters) {
  SeedQueue();
  json all = AdminJson("list q.qds --json");
  ASSERT_EQ(10u, all.size());
  NOTEID last = 0;
  for (const auto& m : all) {
    EXPECT_GT(m["note_id"].get<NOTEID>(), last);
    last = m["note_id"];
    EXPECT_TRUE(std::regex_match(m["next_retry"].get<std::string>(), kIsoLocal));
    EXPECT_NE("", m["first_recipient"].get<std::string>());
  }
  const json &failed = all[0], &queued = all[9];
  EXPECT_EQ(json({9, 2, 3, 0}), json({failed["status"], failed["type"], failed["recipients"],
                                      failed["retries_left"]}));
  EXPECT_NE(0, failed["error"]);
  EXPECT_NE("", failed["error_text"].get<std::string>());
  EXPECT_EQ(json({6, 1, 2, 1}), json({queued["status"], queued["type"], queued["recipients"],
                                      queued["attachments"]}));
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
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(5u, rows.size()) << text.out;
  EXPECT_TRUE(Has(rows[0], "NEXT RETRY") && Has(rows[1], "transfer failed") &&
              Has(rows[4], "first 3 shown")) << text.out;
  EXPECT_EQ("no messages\n", Admin("list q.qds --status 7").out);
}

TEST_F(WqadminTest, ShowReportsRecipientsFieldsStreamsAndAttachments) {
  SeedQueue();
  json all = AdminJson("list q.qds --json");
  json m = AdminJson("show q.qds " + all[0]["note_id"].dump() + " --json");
  ASSERT_EQ(3u, m["recipients"].size());
  for (const auto& r : m["recipients"]) {
    EXPECT_NE("", r["next_hop"].get<std::string>());
    EXPECT_NE("", r["post_office"].get<std::string>());
    EXPECT_EQ(1, r["type"]);
  }
  json fields;
  for (const auto& f : m["fields"]) {
    fields[f["name"].get<std::string>()] = f;
    // The library's own items are not fields.
    EXPECT_NE(0u, f["name"].get<std::string>().rfind("WQS", 0));
  }
  EXPECT_EQ(json({"number", true, 9.0}), json({fields["WQMsgStatus"]["type"],
                                              fields["WQMsgStatus"]["summary"],
                                              fields["WQMsgStatus"]["value"]}));
  EXPECT_EQ(json({"text", false}),
            json({fields["WQErrStr"]["type"], fields["WQErrStr"]["summary"]}));

  json s = AdminJson("show q.qds " + all[9]["note_id"].dump() + " --json");
  EXPECT_EQ(json::parse(R"([{"name": "Body", "size": 70000}])"), s["streams"]) << s;
  ASSERT_EQ(1u, s["attachments"].size());
  EXPECT_EQ("note.txt", s["attachments"][0]["name"]);
  EXPECT_EQ(14, s["attachments"][0]["size"]);
  EXPECT_EQ(1, s["attachments"][0]["file_type"]);

  Result missing = Admin("show q.qds 99999");
  EXPECT_EQ(1, missing.code);
  EXPECT_TRUE(Has(missing.err, "q.qds")) << missing.err;
}

TEST_F(WqadminTest, StatsShowsTheQueueShapePerStatus) {
  SeedQueue();
  json j = AdminJson("stats q.qds --json");
  EXPECT_EQ(json({10, 6, 4, 6, 0}), json({j["total"], j["by_status"]["9"], j["by_status"]["6"],
                                          j["failed"], j["damaged"]}));
  EXPECT_TRUE(std::regex_match(j["now"].get<std::string>(), kIsoLocal));
  // Each status's buckets add up to its total; the seeded failures are overdue.
  for (const char* status : {"6", "9", "all"}) {
    uint64_t sum = 0;
    for (const auto& [name, n] : j["shape"][status]["next_retry"].items()) sum += n.get<uint64_t>();
    EXPECT_EQ(j["shape"][status]["total"].get<uint64_t>(), sum) << status;
  }
  EXPECT_EQ(0, j["shape"]["9"]["next_retry"]["ahead"]);
  EXPECT_EQ(0, j["shape"]["9"]["next_retry"]["unset"]);
  EXPECT_TRUE(Has(Admin("stats q.qds").out, "9 transfer failed *"));
}

TEST_F(WqadminTest, VerifyNamesADamagedMessageWhileListAndStatsGoOn) {
  SeedQueue();
  Result sound = Admin("verify q.qds");
  EXPECT_EQ(0, sound.code) << sound.out << sound.err;
  EXPECT_TRUE(Has(sound.out, "10 messages checked, 0 damaged")) << sound.out;
  EXPECT_EQ("", sound.err);

  // WQSRecipData of the third message, its stated size off the stored bytes.
  const NOTEID bad = AdminJson("list q.qds --json")[2]["note_id"];
  DBHANDLE db;
  NOTEHANDLE note;
  BLOCKID bid;
  DWORD len = 0;
  WORD type = 0;
  ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &db));
  ASSERT_EQ(NOERROR, QDSNoteOpen(db, bad, 0, &note));
  ASSERT_EQ(NOERROR, QDSItemInfo(note, WQS_ITEM_RECIPDATA, 12, &type, &bid, &len));
  std::string v(OSLockBlock(bid), len);
  OSUnlockBlock(bid);
  v[34 + 4] = 0x7F;  // low byte of dwSize
  ASSERT_EQ(NOERROR, QDSItemDelete(note, WQS_ITEM_RECIPDATA, 12));
  ASSERT_EQ(NOERROR, QDSItemAppend(note, 0, WQS_ITEM_RECIPDATA, 12, type, v.data() + 2, len - 2));
  ASSERT_EQ(NOERROR, QDSNoteUpdate(note, 0));
  ASSERT_EQ(NOERROR, QDSNoteClose(note));
  ASSERT_EQ(NOERROR, QDSDbClose(db));
  json listed = AdminJson("list q.qds --json");

  Result v1 = Admin("verify q.qds");
  EXPECT_EQ(1, v1.code);
  EXPECT_TRUE(Has(v1.out, "message " + std::to_string(bad) + ": WQSRecipData: dwSize") &&
              Has(v1.out, "10 messages checked, 1 damaged")) << v1.out;
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
  EXPECT_TRUE(Has(Admin("list q.qds").out, "damaged:"));
  json stats = AdminJson("stats q.qds --json");
  EXPECT_EQ(json({10, 1, 5}), json({stats["total"], stats["damaged"], stats["by_status"]["9"]}));
}

TEST_F(WqadminTest, UsageErrorsExitTwoAndFailuresNameTheFile) {
  for (const char* args : {"", "list", "list q.qds --bogus", "frobnicate q.qds"})
    EXPECT_EQ(2, Admin(args).code) << args;
  ASSERT_EQ(0, Admin("create q.qds").code);
  Result badFormula = Admin("list q.qds --formula 'WQMsgStatus = '");
  EXPECT_EQ(2, badFormula.code);
  EXPECT_EQ("", badFormula.out);
  EXPECT_TRUE(Has(badFormula.err, "--formula")) << badFormula.err;

  std::ofstream(dir_ + "/junk.qds") << "not a queue at all";
  for (std::string file : {"missing.qds", "junk.qds"}) {
    for (const char* cmd : {"list ", "stats ", "verify "}) {
      Result r = Admin(cmd + file);
      EXPECT_EQ(1, r.code) << cmd << file;
      EXPECT_TRUE(Has(r.err, file)) << r.err;
    }
  }
}

}  // namespace
