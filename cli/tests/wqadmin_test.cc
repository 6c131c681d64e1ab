// The operator command end to end: the built binary on queues it seeds,
// its JSON read back, a message damaged through the store, messages built
// here with bytes the relay may store (Latin-1 names, binary streams,
// files with resources), output that cannot be written, usage errors.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "../wqadmin/safe_text.h"
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

// Changes a queue file nobody has open, behind the store's back, the way a
// faulty writer or a bad disk would.
void Corrupt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* err = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err)) << err;
  sqlite3_free(err);
  ASSERT_EQ(SQLITE_OK, sqlite3_close(db));
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
  // terminal, so no progress bar may appear on it.  `env` is prefixed to
  // the command; standard output goes to `to` when given.
  Result Admin(const std::string& args, const std::string& env = "",
               const std::string& to = "") {
    const std::string out = dir_ + "/.out", err = dir_ + "/.err";
    std::string cmd = "cd '" + dir_ + "' && TAVLO_SYNC=normal " + env + " '" WQADMIN_BINARY
                      "' " + args + " >'" + (to.empty() ? out : to) + "' 2>'" + err +
                      "' </dev/null";
    std::ofstream(out).flush();  // empty when the output went elsewhere
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

  // Adds one extended message to q.qds through the library: a recipient,
  // WQMsgStatus 11 with an error text, and optionally a stream "Body" and
  // a type-2 file (data part, then resources).  Returns its note id.
  NOTEID AddMessage(const std::string& recipient, const std::string& errText,
                    const std::string& body = "", const std::string& data = "",
                    const std::string& res = "") {
    queue_descriptor_t qd{};
    std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "q.qds");
    queue_handle_t q;
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
    recip_info_t r{};
    r.pName = const_cast<char*>(recipient.data());
    r.wNameLen = static_cast<WORD>(recipient.size());
    r.pNextHop = const_cast<char*>("mx1.example.net");
    r.wNextHopLen = 15;
    r.pPOName = const_cast<char*>("PO-1");
    r.wPONameLen = 4;
    EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &r));
    EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", 11));
    EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", errText.data(),
                                       static_cast<WORD>(errText.size())));
    if (!body.empty()) {
      data_stream_block_t dsb;
      EXPECT_EQ(NOERROR, WQSCreateDataStreamBlock(&m, "Body", &dsb));
      for (size_t off = 0; off < body.size(); off += 40000) {
        size_t n = std::min<size_t>(40000, body.size() - off);
        EXPECT_EQ(NOERROR, WQSAppendDataStreamBlock(&m, &dsb, off + n < body.size(),
                                                    body.data() + off, n));
      }
    }
    if (!data.empty()) {
      file_descriptor_t fd{};
      fd.fileType = WQS_FILETYPE_MACEXT;
      std::memcpy(fd.fileName, "report.pdf", 10);
      fd.wNameLen = 10;
      fd.size = data.size();
      fd.resSize = res.size();
      file_block_t fb;
      EXPECT_EQ(NOERROR, WQSCreateFileBlock(&m, &fd, &fb));
      DHANDLE h;
      const std::string both = data + res;
      EXPECT_EQ(NOERROR, OSMemAlloc(0x7A11, both.size(), &h));
      std::memcpy(OSLockObject(h), both.data(), both.size());
      OSUnlockObject(h);
      EXPECT_EQ(NOERROR, WQSAppendFileBlock(&m, &fb, h, both.size()));
      OSMemFree(h);
    }
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    user_msg_info_t* info;
    WQSGetMsgInfo(&m, &info);
    NOTEID id = info->dwQueueMsgID;
    EXPECT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
    return id;
  }
  std::string Read(const std::string& name) {
    std::ostringstream o;
    o << std::ifstream(dir_ + "/" + name, std::ios::binary).rdbuf();
    return o.str();
  }

  // Appends an item to a stored note behind the library's back: a field
  // of a type the library never writes, or a broken part of a message.
  void AddItem(NOTEID id, const std::string& name, WORD type, const std::string& value) {
    DBHANDLE db;
    NOTEHANDLE note;
    ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &db));
    ASSERT_EQ(NOERROR, QDSNoteOpen(db, id, 0, &note));
    ASSERT_EQ(NOERROR, QDSItemAppend(note, 0, name.c_str(), static_cast<WORD>(name.size()), type,
                                     value.data(), static_cast<DWORD>(value.size())));
    ASSERT_EQ(NOERROR, QDSNoteUpdate(note, 0));
    ASSERT_EQ(NOERROR, QDSNoteClose(note));
    ASSERT_EQ(NOERROR, QDSDbClose(db));
  }
  // Runs wqadmin on a pseudo-terminal of no set size (script(1)), with
  // `input` typed on it; `out` is what the terminal shows.
  Result OnTerminal(const std::string& args, const std::string& input = "",
                    const std::string& env = "") {
    const std::string out = dir_ + "/.tty";
    const std::string cmd = "cd '" + dir_ + "' && printf '" + input + "' | " + env +
                            " script -qfec \"'" WQADMIN_BINARY "' " + args + "\" /dev/null >'" +
                            out + "' 2>&1";
    int rc = std::system(cmd.c_str());
    return Result{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, Read(".tty"), ""};
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

// The text report names every part: an attachment with resources, a
// stream and one whose piece table cannot be opened, fields of each type
// (a list with bytes that are not UTF-8 among them), and a note that has
// no message info.
TEST_F(WqadminTest, ShowTextNamesEveryPartOfAMessage) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  const std::string data("%PDF\0\xFF data part", 16), res = "resource fork";
  const NOTEID id = AddMessage("ops@example.org", "550 r\xC3\xA9jet \xFF", "hello", data, res);
  const std::string list("\x02\x00\x02\x00\x01\x00" "a\xFF" "b", 9);
  AddItem(id, "Hops", TYPE_TEXT_LIST, list);
  AddItem(id, "Blob", TYPE_USERDATA, "abc");
  AddItem(id, "Odd", 0x0999, "zz");
  AddItem(id, std::string(WQS_ITEM_DSBARRAY) + "NameLongerThan20Chars", TYPE_USERDATA, "x");
  Result r = Admin("show q.qds " + std::to_string(id));
  ASSERT_EQ(0, r.code) << r.err;
  for (const std::string& line : std::vector<std::string>{
           "message " + std::to_string(id) + " in " + dir_ + "/q.qds (type 2, extended)\n",
        "  state           11 (rejected)\n",
        "  error           0  550 r\xC3\xA9jet \\xFF\n",
        "  attachment [0] report.pdf, 16 bytes + 13 bytes of resources, file type 2, object 1\n",
        "  stream Body                 5 bytes\n",
        "  stream NameLongerThan20Chars unreadable: ",
        "  field Hops                 text list         a\\xFF, b\n",
        "  field Blob                 user data         (3 bytes)\n",
        "  field Odd                  other             (2 bytes)\n"})
    EXPECT_TRUE(Has(r.out, line)) << line << "\n" << r.out;
  json j = AdminJson("show q.qds " + std::to_string(id) + " --json");
  json hops;
  for (const json& f : j["fields"])
    if (f["name"] == "Hops") hops = f;
  EXPECT_EQ(json::parse(R"(["a\ufffd", "b"])"), hops["value"]) << j;
  EXPECT_EQ(json::parse(R"(["Yf8=", "Yg=="])"), hops["value_b64"]);
  ASSERT_EQ(2u, j["streams"].size());
  EXPECT_TRUE(j["streams"][1]["size"].is_null() && j["streams"][1]["error"].is_string());

  // A document without the message info is named as such.
  const NOTEID bare = AddMessage("x@example.org", "x");
  DBHANDLE db;
  NOTEHANDLE note;
  ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &db));
  ASSERT_EQ(NOERROR, QDSNoteOpen(db, bare, 0, &note));
  ASSERT_EQ(NOERROR, QDSItemDelete(note, WQS_ITEM_MSGINFO, 10));
  ASSERT_EQ(NOERROR, QDSNoteUpdate(note, 0));
  ASSERT_EQ(NOERROR, QDSNoteClose(note));
  ASSERT_EQ(NOERROR, QDSDbClose(db));
  r = Admin("show q.qds " + std::to_string(bare));
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("wqadmin: note " + std::to_string(bare) + " in '" + dir_ +
                "/q.qds' is a document without WQSMsgInfo, not a message\n",
            r.err);
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
  // stats reads a message's status and info only: a damaged recipient
  // table leaves its shape as it was (verify is what names it).
  json stats = AdminJson("stats q.qds --json");
  EXPECT_EQ(json({10, 0, 6}), json({stats["total"], stats["damaged"], stats["by_status"]["9"]}));
}

TEST_F(WqadminTest, UsageErrorsExitTwoAndFailuresNameTheFile) {
  for (const char* args : {"", "list", "list q.qds --bogus", "frobnicate q.qds", "help bogus",
                           "seed q.qds --count 1 --status 42"})
    EXPECT_EQ(2, Admin(args).code) << args;
  ASSERT_EQ(0, Admin("create q.qds").code);

  for (const std::string& args : std::vector<std::string>{
           "list q.qds --status x", "shape q.qds --status 9,", "stats q.qds --now soon",
        "list q.qds --formula " + std::string(70000, 'x')}) {
    Result r = Admin(args);
    EXPECT_EQ(2, r.code) << args.substr(0, 40);
    EXPECT_TRUE(Has(r.err, "wqadmin: " + args.substr(0, args.find(' '))) ||
                Has(r.err, "bad formula: longer than 65535 bytes")) << r.err;
  }
  // What create refuses: an existing file (left as it is), a title or a
  // path it cannot store.
  const std::string created = Read("q.qds");
  for (const std::string& args : std::vector<std::string>{
           "create q.qds", "create t.qds --title " + std::string(33, 'T'),
        "create " + std::string(250, 'p'), "list " + std::string(300, 'p')}) {
    Result r = Admin(args);
    EXPECT_EQ(1, r.code) << args;
    EXPECT_TRUE(Has(r.err, "already exists; not overwriting it") ||
                Has(r.err, "title longer than 32 characters") || Has(r.err, "path too long"))
        << r.err;
  }
  EXPECT_EQ(created, Read("q.qds"));
  EXPECT_FALSE(fs::exists(dir_ + "/t.qds"));

  std::ofstream(dir_ + "/junk.qds") << "not a queue at all";
  for (std::string file : {"missing.qds", "junk.qds"}) {
    for (const char* cmd : {"list ", "stats ", "verify "}) {
      Result r = Admin(cmd + file);
      EXPECT_EQ(1, r.code) << cmd << file;
      EXPECT_TRUE(Has(r.err, file)) << r.err;
    }
  }
}

TEST_F(WqadminTest, OptionsAreTakenWhereOperatorsTypeThem) {
  fs::create_directory(dir_ + "/sub");
  // --data before or after the subcommand; --quiet on every long command.
  ASSERT_EQ(0, Admin("create q.qds --data sub").code);
  EXPECT_TRUE(fs::exists(dir_ + "/sub/q.qds"));
  EXPECT_EQ(0, Admin("--data sub seed q.qds --count 2 --status 7 --quiet").code);
  for (const char* args : {"list q.qds --quiet --data sub", "stats --data sub q.qds --quiet",
                           "verify q.qds --quiet --data sub"})
    EXPECT_EQ(0, Admin(args).code) << args;

  Result help = Admin("help");
  EXPECT_EQ(0, help.code);
  EXPECT_TRUE(Has(help.out, "Usage: wqadmin") && Has(help.out, "cat")) << help.out;
  Result listHelp = Admin("help list");
  EXPECT_EQ(0, listHelp.code);
  EXPECT_TRUE(Has(listHelp.out, "--formula")) << listHelp.out;

  // A view is a note of the queue too, but no message.
  DBHANDLE db;
  NOTEID view = 0;
  ASSERT_EQ(NOERROR, QDSDbOpenReadOnly((dir_ + "/sub/q.qds").c_str(), &db));
  ASSERT_EQ(NOERROR, QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &view));
  ASSERT_EQ(NOERROR, QDSDbClose(db));
  Result show = Admin("--data sub show q.qds " + std::to_string(view));
  EXPECT_EQ(1, show.code);
  EXPECT_TRUE(Has(show.err, "is a view, not a message")) << show.err;

  // TAVLO_SYNC in any case; a value it does not know is named, not taken
  // for the default.
  EXPECT_EQ(0, Admin("--data sub seed q.qds --count 1 --status 9 --quiet", "TAVLO_SYNC=NORMAL").code);
  EXPECT_EQ(0, Admin("--data sub seed q.qds --count 1 --status 9 --quiet", "TAVLO_SYNC=Full").code);
  Result bad = Admin("--data sub seed q.qds --count 1 --status 9", "TAVLO_SYNC=fsync");
  EXPECT_EQ(1, bad.code);
  EXPECT_TRUE(Has(bad.err, "TAVLO_SYNC=fsync is not a durability setting: use full or normal"))
      << bad.err;
}

// On a terminal a long run draws its bar on standard error and clears it
// before the result; a dumb terminal, --quiet and any other standard
// error get none.  delete asks there, and only "y" deletes.
TEST_F(WqadminTest, ATerminalGetsTheBarTheWidthAndTheQuestion) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  Result r = OnTerminal("seed q.qds --count 2 --status 9");
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Has(r.out, "\r\x1B[Kseeding [###############...............]  50%  1/2")) << r.out;
  EXPECT_TRUE(Has(r.out, "\r\x1B[Kseeded 2 messages")) << r.out;
  for (const char* quiet : {"TERM=dumb", ""}) {
    r = OnTerminal(std::string("seed q.qds --count 2 --status 9") + (*quiet ? "" : " --quiet"),
                   "", quiet);
    EXPECT_EQ(0, r.code);
    EXPECT_FALSE(Has(r.out, "\x1B")) << quiet << r.out;
  }
  // A listing into a file counts on the terminal; one onto the terminal
  // (no size set: 80 columns) is cut to it instead.
  r = OnTerminal("list q.qds >rows.txt");
  EXPECT_TRUE(Has(r.out, "\r\x1B[Klisting  1")) << r.out;
  const std::string listed = Read("rows.txt");
  EXPECT_EQ(7, std::count(listed.begin(), listed.end(), '\n'));
  r = OnTerminal("list q.qds", "", "COLUMNS=");
  std::istringstream lines(r.out);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(7u, rows.size()) << r.out;
  for (const auto& row : rows) EXPECT_LE(row.size(), 81u) << row;  // and its CR
  EXPECT_TRUE(Has(rows[0], "ERROR TEXT") && !Has(rows[0], "NEXT RETRY")) << rows[0];

  const std::string q = "Delete the messages of " + dir_ + "/q.qds that are 1 ids? [y/N] ";
  r = OnTerminal("delete q.qds --quiet --id 8", "n\\n");
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(Has(r.out, q + "wqadmin: delete: not confirmed")) << r.out;
  r = OnTerminal("delete q.qds --quiet --id 8", "y\\n");
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Has(r.out, q) && Has(r.out, "q.qds: 1 message deleted (1 ids)")) << r.out;
  EXPECT_EQ(5u, AdminJson("list q.qds --json").size());
}

// A listing that cannot reach its reader fails, with the cause.
TEST_F(WqadminTest, OutputThatCannotBeWrittenFailsTheCommand) {
  SeedQueue();
  for (const char* args : {"list q.qds", "list q.qds --json", "stats q.qds --json",
                           "show q.qds 8 --json", "verify q.qds", "cat q.qds 14", "--help"}) {
    Result r = Admin(args, "", "/dev/full");
    EXPECT_EQ(1, r.code) << args;
    EXPECT_TRUE(Has(r.err, "cannot write standard output: No space left on device"))
        << args << ": " << r.err;
  }
}

// Bytes that are not UTF-8 never abort JSON and are never lost.
TEST_F(WqadminTest, TextThatIsNotUtf8KeepsEveryByte) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  const NOTEID id = AddMessage("m\xFCller@example.org", "550 \xE9" "chec \xFF");
  json row = AdminJson("list q.qds --json")[0];
  EXPECT_EQ("m\uFFFDller@example.org", row["first_recipient"].get<std::string>());
  EXPECT_EQ("bfxsbGVyQGV4YW1wbGUub3Jn", row["first_recipient_b64"]);
  EXPECT_EQ("550 \uFFFDchec \uFFFD", row["error_text"].get<std::string>());
  EXPECT_EQ("NTUwIOljaGVjIP8=", row["error_text_b64"]);
  json m = AdminJson("show q.qds " + std::to_string(id) + " --json");
  EXPECT_EQ("bfxsbGVyQGV4YW1wbGUub3Jn", m["recipients"][0]["name_b64"]) << m;
  EXPECT_EQ("NTUwIOljaGVjIP8=", m["error_text_b64"]);
  EXPECT_FALSE(m["recipients"][0].contains("next_hop_b64"));  // ASCII stays as it is
  // Text output shows each foreign byte as \xNN.
  EXPECT_TRUE(Has(Admin("list q.qds").out, "m\\xFCller@example.org")) << Admin("list q.qds").out;
  EXPECT_TRUE(Has(Admin("show q.qds " + std::to_string(id)).out, "550 \\xE9" "chec \\xFF"));

  // The rule itself: one U+FFFD per byte outside a well-formed sequence
  // (overlong forms, surrogates, cut sequences), well-formed ones kept.
  const struct { std::string in, out; } cases[] = {
      {"a\xC3\xA9\xF0\x9F\x98\x80", "a\xC3\xA9\xF0\x9F\x98\x80"},
      {"\xC0\xAF", "\uFFFD\uFFFD"}, {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},
      {"x\xE2\x82", "x\uFFFD\uFFFD"}, {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, wqadmin::Utf8Replaced(c.in)) << c.in;
    std::string back;
    EXPECT_TRUE(wqadmin::Base64Decode(wqadmin::Base64(c.in), &back));
    EXPECT_EQ(c.in, back);
  }
  std::string back;
  for (const char* bad : {"Yf8", "Y!8=", "Y=8="}) EXPECT_FALSE(wqadmin::Base64Decode(bad, &back));
}

TEST_F(WqadminTest, CatWritesAStreamsBytesUnchanged) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  // A header block whose empty line starts with the last byte of the first
  // 60416-byte read, and a body with every byte value.
  std::string head = "X-Long: " + std::string(60405, 'a') + "\r\n";
  std::string body = head + "\r\nbody\n\n";
  for (int i = 0; i < 256; i++) body += static_cast<char>(i);
  ASSERT_EQ(60415u, head.size());
  const std::string id = std::to_string(AddMessage("a@example.org", "x", body));
  const std::string lf = std::to_string(AddMessage("b@example.org", "x", "A: 1\n\rB: 2\n\nbody\r\n\r\n"));

  EXPECT_EQ(body, Admin("cat q.qds " + id).out);
  EXPECT_EQ(head, Admin("cat q.qds " + id + " --headers").out);
  EXPECT_EQ("A: 1\n\rB: 2\n", Admin("cat q.qds " + lf + " --headers --stream Body").out);
  // No empty line: the whole stream, a CR that ends it after a line
  // included.
  const std::string cr = std::to_string(AddMessage("c@example.org", "x", "A: 1\n\r"));
  EXPECT_EQ("A: 1\n\r", Admin("cat q.qds " + cr + " --headers").out);
  for (const std::string& args : std::vector<std::string>{id + " --stream Nope", "99999", id + " --stream " +
                                 std::string(21, 's')}) {
    Result r = Admin("cat q.qds " + args);
    EXPECT_EQ(1, r.code) << args;
    EXPECT_TRUE(Has(r.err, "no stream 'Nope'") || Has(r.err, "q.qds") ||
                Has(r.err, "a stream name has 1 to 20 characters")) << r.err;
  }
  // A piece the stream's table promises is gone.
  for (const char* table : {"items", "big"})
    Corrupt(dir_ + "/q.qds", std::string("DELETE FROM ") + table + " WHERE k >> 24 = " + id +
                                 " AND CAST(name AS TEXT) = 'Body1'");
  Result cut = Admin("cat q.qds " + id);
  EXPECT_EQ(1, cut.code);
  EXPECT_TRUE(Has(cut.err, "cannot read stream 'Body' of message " + id + " in '" + dir_ +
                               "/q.qds'")) << cut.err;
}

TEST_F(WqadminTest, ExtractWritesAttachmentsExactly) {
  SeedQueue();
  const std::string data("%PDF\0\xFF data part", 16), res = "resource fork";
  const std::string id = std::to_string(AddMessage("a@example.org", "x", "", data, res));
  const std::string plain = AdminJson("list q.qds --json")[9]["note_id"].dump();

  EXPECT_EQ(0, Admin("extract q.qds " + plain + " 0 note.out").code);
  EXPECT_EQ("attached text\n", Read("note.out"));
  Result r = Admin("extract q.qds " + id + " 0 report.pdf");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(data, Read("report.pdf"));
  EXPECT_EQ(res, Read("report.pdf.rsrc"));

  // Never over an existing file without --force, data or resources.
  std::ofstream(dir_ + "/report.pdf") << "keep";
  Result again = Admin("extract q.qds " + id + " 0 report.pdf");
  EXPECT_EQ(1, again.code);
  EXPECT_TRUE(Has(again.err, "exists")) << again.err;
  EXPECT_EQ("keep", Read("report.pdf"));
  fs::remove(dir_ + "/report.pdf");
  EXPECT_EQ(1, Admin("extract q.qds " + id + " 0 report.pdf").code);
  EXPECT_FALSE(fs::exists(dir_ + "/report.pdf"));
  EXPECT_EQ(0, Admin("extract q.qds " + id + " 0 report.pdf --force").code);
  EXPECT_EQ(data, Read("report.pdf"));

  Result out = Admin("extract q.qds " + id + " 0 -");
  EXPECT_EQ(0, out.code);
  EXPECT_EQ(data, out.out);
  EXPECT_TRUE(Has(out.err, "13 bytes of resources")) << out.err;
  EXPECT_FALSE(fs::exists(dir_ + "/-"));

  Result missing = Admin("extract q.qds " + id + " 5 x.out");
  EXPECT_EQ(1, missing.code);
  EXPECT_TRUE(Has(missing.err, "has 1 attachment; no index 5")) << missing.err;
  EXPECT_FALSE(fs::exists(dir_ + "/x.out"));
  missing = Admin("extract q.qds " + id + " 0 nodir/x.out");
  EXPECT_EQ(1, missing.code);
  EXPECT_EQ("wqadmin: cannot write 'nodir/x.out': No such file or directory\n", missing.err);

  // A write that fails takes its cut file away, but never a device that
  // --force named (a node like /dev/full, made here where root may).
  if (mknod((dir_ + "/full").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0) {
    Result full = Admin("extract q.qds " + id + " 0 full --force");
    EXPECT_EQ(1, full.code);
    EXPECT_TRUE(Has(full.err, "cannot write 'full': No space left on device")) << full.err;
    struct stat sb;
    EXPECT_TRUE(stat((dir_ + "/full").c_str(), &sb) == 0 && S_ISCHR(sb.st_mode))
        << "the device node was removed";
  }

  // The stored object shorter than its descriptor: what there is, and a
  // warning; the object gone: the cause.
  const std::string rrv = AdminJson("show q.qds " + id + " --json")["attachments"][0]["object"].dump();
  Corrupt(dir_ + "/q.qds", "UPDATE objects SET size = size - 4 WHERE rrv = " + rrv +
                               "; UPDATE object_chunks SET data = substr(data, 1, length(data) - 4) "
                               "WHERE k >> 13 = " + rrv);
  r = Admin("extract q.qds " + id + " 0 short.pdf");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(data, Read("short.pdf"));
  EXPECT_EQ(res.substr(0, res.size() - 4), Read("short.pdf.rsrc"));
  EXPECT_EQ("wqadmin: warning: the stored object holds 25 bytes, the descriptor says 29\n", r.err);
  Corrupt(dir_ + "/q.qds", "DELETE FROM objects WHERE rrv = " + rrv);
  r = Admin("extract q.qds " + id + " 0 gone.pdf");
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Has(r.err, "cannot read attachment 0 of message " + id + " in '" + dir_ + "/q.qds'"))
      << r.err;
  EXPECT_FALSE(fs::exists(dir_ + "/gone.pdf"));
}

TEST_F(WqadminTest, ListOnEightyColumnsKeepsIdStatusRecipientAndError) {
  SeedQueue();
  json all = AdminJson("list q.qds --json");
  Result r = Admin("list q.qds", "COLUMNS=80");
  std::istringstream lines(r.out);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(11u, rows.size()) << r.out;
  for (const auto& row : rows) EXPECT_LE(row.size(), 80u) << row;
  EXPECT_TRUE(Has(rows[0], "NOTEID") && Has(rows[0], "STATUS") && Has(rows[0], "FIRST RECIPIENT") &&
              Has(rows[0], "ERROR TEXT") && !Has(rows[0], "NEXT RETRY")) << rows[0];
  for (size_t i = 0; i < all.size(); i++) {
    const json& m = all[i];
    EXPECT_TRUE(Has(rows[i + 1], m["note_id"].dump()) &&
                Has(rows[i + 1], m["status"].dump()) &&
                Has(rows[i + 1], m["first_recipient"].get<std::string>().substr(0, 20)) &&
                Has(rows[i + 1], m["error_text"].get<std::string>().substr(0, 12)))
        << rows[i + 1];
  }
  // Into a file, nothing is cut.
  EXPECT_TRUE(Has(Admin("list q.qds").out, "NEXT RETRY"));
}

TEST_F(WqadminTest, FormulaErrorsPointAtTheFaultAndUnknownItemsAreNamed) {
  SeedQueue();
  Result r = Admin("list q.qds --formula 'WQMsgStatus = (9'");
  EXPECT_EQ(2, r.code);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("wqadmin: bad formula: expected ')' at line 1, column 17\n"
            "  WQMsgStatus = (9\n"
            "                  ^\n", r.err);
  r = Admin("list q.qds --formula \"$(printf 'WQMsgStatus = 9 |\\n\\tW = \\351>< 3')\"");
  EXPECT_EQ(2, r.code);
  EXPECT_EQ("wqadmin: bad formula: unexpected character '\\xE9' at line 2, column 6\n"
            "   W = \\xE9>< 3\n"
            "       ^\n", r.err);

  r = Admin("list q.qds --json --formula 'wqmsgstatus = 9 | WQMsgStatu = 9 | WQIBNHE = \"x\"'");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(6u, json::parse(r.out).size());
  // WQIBNHE exists but is not a summary item: a search cannot see it either.
  EXPECT_EQ("wqadmin: warning: no message in '" + dir_ + "/q.qds' has a summary item "
            "'WQMsgStatu'; the formula's tests of it match nothing\n"
            "wqadmin: warning: no message in '" + dir_ + "/q.qds' has a summary item "
            "'WQIBNHE'; the formula's tests of it match nothing\n", r.err);
}

// A queue moved away after its writer crashed: every command refuses it,
// names the missing file and points at recover; recover refuses what does
// not belong and adopts what does.
TEST_F(WqadminTest, RecoverSettlesAQueueMovedAwayFromItsUnsavedChanges) {
  fs::create_directories(dir_ + "/old");
  ASSERT_EQ(0, Admin("create old/q.qds").code);
  ASSERT_EQ(0, Admin("seed old/q.qds --quiet --count 5 --status 9").code);
  ASSERT_NE(0, Admin("seed old/q.qds --quiet --count 7 --status 11",
                     "TAVLO_TEST_CRASH=file-write:1").code);
  std::string wal;
  for (const auto& e : fs::directory_iterator(dir_ + "/old"))
    if (e.path().string().size() > 4 && e.path().string().substr(e.path().string().size() - 4) == "-wal")
      wal = "old/" + e.path().filename().string();
  ASSERT_FALSE(wal.empty());
  fs::rename(dir_ + "/old/q.qds", dir_ + "/q.qds");
  fs::copy_file(dir_ + "/q.qds", dir_ + "/copy.qds");
  ASSERT_EQ(0, Admin("create fresh.qds").code);

  Result r = Admin("stats q.qds");
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Has(r.err, "was not closed cleanly")) << r.err;
  EXPECT_TRUE(Has(r.err, wal.substr(4))) << r.err;
  EXPECT_TRUE(Has(r.err, "wqadmin recover")) << r.err;
  r = Admin("recover q.qds");
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Has(r.err, "--discard-unsaved")) << r.err;
  EXPECT_EQ(2, Admin("recover q.qds --from " + wal + " --discard-unsaved").code);
  // Unsaved changes that are not the file's are refused; a copy can give
  // them up.
  r = Admin("recover fresh.qds --from " + wal);
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Has(r.err, "belongs to another file") && Has(r.err, "wqadmin: nothing was changed\n"))
      << r.err;
  r = Admin("recover copy.qds --discard-unsaved");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_EQ(dir_ + "/copy.qds: unsaved changes given up\nRun 'wqadmin verify copy.qds': what "
            "the lost changes had begun may be incomplete.\n", r.out);
  EXPECT_EQ(5, AdminJson("stats copy.qds --json")["total"].get<int>());
  r = Admin("recover q.qds --from " + wal);
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, "are in the file now")) << r.out;
  json stats = AdminJson("stats q.qds --json");
  EXPECT_EQ(12, stats["total"].get<int>()) << stats.dump();
  r = Admin("recover q.qds");
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Has(r.out, "nothing to recover")) << r.out;
}

// The shape stats reads from three items' rows equals the shape computed by
// opening every message: every status, every age bucket, a message without
// a status, and one whose message info is damaged.
TEST_F(WqadminTest, StatsFromItemRowsEqualsOpeningEveryMessage) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  for (int st : {6, 7, 9, 10, 11})
    ASSERT_EQ(0, Admin("seed q.qds --quiet --count 30 --status " + std::to_string(st) +
                       " --seed " + std::to_string(st)).code);
  const NOTEID ahead = AddMessage("a@example.org", "x"), unset = AddMessage("b@example.org", "x"),
               bare = AddMessage("c@example.org", "x"), broken = AddMessage("d@example.org", "x");
  const int64_t nowSecs = time(nullptr) / 60 * 60;
  {
    queue_descriptor_t qd{};
    std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "q.qds");
    queue_handle_t q;
    ASSERT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
    for (NOTEID id : {ahead, unset, bare}) {
      msg_handle_t m;
      ASSERT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, id, &m));
      // The info block is packed: its time stamps are set through a copy.
      TIMEDATE next;
      if (id == ahead) TimeFromMicros((nowSecs + 3600) * 1000000, &next);
      if (id == unset) TimeConstant(TIMEDATE_WILDCARD, &next);
      if (id != bare) std::memcpy(&m.info.user.tdNextRetry, &next, sizeof next);
      if (id == bare) ASSERT_EQ(NOERROR, WQSDeleteMsgObject(&m, "WQMsgStatus"));
      ASSERT_EQ(NOERROR, WQSCloseMsgAndUpdate(&m));
    }
    ASSERT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
    DBHANDLE db;
    NOTEHANDLE note;
    ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &db));
    ASSERT_EQ(NOERROR, QDSNoteOpen(db, broken, 0, &note));
    ASSERT_EQ(NOERROR, QDSItemDelete(note, WQS_ITEM_MSGINFO, 10));
    ASSERT_EQ(NOERROR, QDSItemAppend(note, 0, WQS_ITEM_MSGINFO, 10, TYPE_USERDATA, "short", 5));
    ASSERT_EQ(NOERROR, QDSNoteUpdate(note, 0));
    ASSERT_EQ(NOERROR, QDSNoteClose(note));
    ASSERT_EQ(NOERROR, QDSDbClose(db));
  }
  char iso[32];
  const time_t t = nowSecs;
  strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%SZ", gmtime(&t));
  json j = AdminJson(std::string("stats q.qds --json --now ") + iso);

  // The same figures the slow way.
  const std::vector<std::string> names = j["buckets"];
  std::map<std::string, std::map<std::string, uint64_t>> shape;
  uint64_t total = 0, damaged = 0;
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof(qd.szQueueName), "q.qds");
  queue_handle_t q;
  ASSERT_EQ(NOERROR, WQSOpenQueueReadOnly(&qd, &q));
  std::vector<NOTEID> ids;
  ASSERT_EQ(NOERROR, QDSSearch(q.dbhandle, NULLHANDLE, nullptr, SEARCH_REPORT_DAMAGED,
                               NOTE_CLASS_DOCUMENT, nullptr,
                               [](void* a, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                                 static_cast<std::vector<NOTEID>*>(a)->push_back(m->ID.NoteID);
                                 return NOERROR;
                               },
                               &ids, nullptr));
  for (NOTEID id : ids) {
    total++;
    msg_handle_t m;
    if (WQSOpenMsgByMsgID(&q, id, &m) != NOERROR) {
      damaged++;
      continue;
    }
    double d = 0;
    const std::string status = QDSItemGetNumber(m.hNote, "WQMsgStatus", &d)
                                   ? std::to_string(static_cast<DWORD>(d))
                                   : "absent";
    TIMEDATE next;
    std::memcpy(&next, &m.info.user.tdNextRetry, sizeof next);
    TIMEDATE wild;
    TimeConstant(TIMEDATE_WILDCARD, &wild);
    const bool isUnset = TimeDateCompare(&next, &wild) == 0;
    const int64_t overdue = isUnset ? 0 : nowSecs * 1000000 - TimeToMicros(&next);
    std::string bucket = names.back() == "unset" && isUnset ? "unset"
                         : overdue < 0 ? "ahead" : names[names.size() - 2];
    if (bucket == names[names.size() - 2])
      for (size_t i = 1; i + 2 < names.size(); i++)
        if (overdue / 60000000 < std::stoll(names[i])) {
          bucket = names[i];
          break;
        }
    shape[status][bucket]++;
    shape["all"][bucket]++;
    EXPECT_EQ(NOERROR, WQSCloseMsg(&m));
  }
  ASSERT_EQ(NOERROR, WQSCloseQueueForRead(&q));
  EXPECT_EQ(total, j["total"].get<uint64_t>());
  EXPECT_EQ(1u, damaged);
  EXPECT_EQ(damaged, j["damaged"].get<uint64_t>());
  for (const auto& [status, buckets] : shape) {
    for (const std::string& b : names)
      EXPECT_EQ(buckets.count(b) ? buckets.at(b) : 0,
                j["shape"][status]["next_retry"][b].get<uint64_t>())
          << status << " " << b;
  }
  EXPECT_GT(shape["all"]["ahead"], 0u);
  EXPECT_GT(shape["all"]["unset"], 0u);
  EXPECT_EQ(1u, j["absent"].get<uint64_t>());
  EXPECT_TRUE(Has(Admin("stats q.qds").out, "1 damaged message not counted above: run wqadmin "
                                            "verify\n"));
  EXPECT_EQ(1, AdminJson("shape q.qds --json")["damaged"]);
  // A selection that tests the messages cannot test it: it is passed over.
  EXPECT_EQ(json::array(), AdminJson("list q.qds --json --to d@example.org"));
}

// shape counts every recipient of every message: its totals agree with
// stats and with a count over list --json (per status) and show --json (per
// domain, every recipient's name).
TEST_F(WqadminTest, ShapeCountsEveryRecipientAndAgreesWithStatsAndList) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 25 --status 11 --recipients 3 --seed 1").code);
  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 20 --status 9 --type 1 --recipients 2 --seed 2").code);
  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 15 --status 6 --recipients 4 --seed 3").code);
  json stats = AdminJson("stats q.qds --json");
  json byStatus = AdminJson("shape q.qds --json --by status --top 0");
  json byDomain = AdminJson("shape q.qds --json --top 0");
  json list = AdminJson("list q.qds --json");
  EXPECT_EQ(stats["total"], byStatus["messages"]);
  std::map<std::string, uint64_t> perStatus, perDomain;
  uint64_t recipients = 0;
  for (const json& m : list) {
    perStatus[std::to_string(m["status"].get<int>())] += m["recipients"].get<uint64_t>();
    recipients += m["recipients"].get<uint64_t>();
    json shown = AdminJson("show q.qds " + std::to_string(m["note_id"].get<int>()) + " --json");
    for (const json& r : shown["recipients"]) {
      const std::string name = r["name"];
      std::string domain = name.substr(name.rfind('@') + 1);
      for (char& ch : domain) ch = static_cast<char>(tolower(ch));
      perDomain[domain]++;
    }
  }
  EXPECT_EQ(recipients, byStatus["rows"][0]["total"].get<uint64_t>());
  EXPECT_EQ(recipients, byDomain["rows"][0]["total"].get<uint64_t>());
  for (size_t i = 1; i < byStatus["rows"].size(); i++) {
    const std::string key = byStatus["rows"][i]["key"];
    EXPECT_EQ(perStatus[key.substr(0, key.find(' '))], byStatus["rows"][i]["total"].get<uint64_t>())
        << key;
  }
  ASSERT_EQ(perDomain.size() + 1, byDomain["rows"].size());
  for (size_t i = 1; i < byDomain["rows"].size(); i++)
    EXPECT_EQ(perDomain[byDomain["rows"][i]["key"]], byDomain["rows"][i]["total"].get<uint64_t>());
  // The buckets of a row add up to its total; --top sums the rest as "other".
  for (const json& row : byDomain["rows"]) {
    uint64_t sum = 0;
    for (const auto& [name, n] : row["ages"].items()) sum += n.get<uint64_t>();
    EXPECT_EQ(row["total"].get<uint64_t>(), sum);
  }
  json top1 = AdminJson("shape q.qds --json --top 1");
  ASSERT_EQ(3u, top1["rows"].size());
  EXPECT_EQ("other", top1["rows"][2]["key"]);
  EXPECT_EQ(recipients, top1["rows"][1]["total"].get<uint64_t>() +
                            top1["rows"][2]["total"].get<uint64_t>());
  Result text = Admin("shape q.qds --top 1 --by hop --age received");
  EXPECT_EQ(0, text.code);
  EXPECT_TRUE(std::regex_search(text.out, std::regex(
      "^queue " + dir_ + "/q.qds: " + std::to_string(recipients) +
      " recipients of 60 messages by next hop, receipt age as of [-0-9T:+]+\n"
      "next hop +total +ahead +5m .* unset\n"
      "total +" + std::to_string(recipients) + " .*\n[^ ]+ +\\d+ .*\nother +\\d+ ")))
      << text.out;
  // A selection narrows it like list's.
  json failed = AdminJson("shape q.qds --json --status 11,9");
  EXPECT_EQ(perStatus["11"] + perStatus["9"], failed["rows"][0]["total"].get<uint64_t>());
}

// Each kind of store damage, every one in its own note, named with its
// cause; list and stats go on and show the undecodable messages as
// damaged; repair sets the messages aside and the rest verifies.
TEST_F(WqadminTest, VerifyNamesEachStoreDamageAndRepairSetsTheMessagesAside) {
  SeedQueue();
  json all = AdminJson("list q.qds --json");
  std::vector<std::string> id;
  for (const auto& m : all) id.push_back(m["note_id"].dump());
  fs::copy_file(dir_ + "/q.qds", dir_ + "/r.qds");
  fs::copy_file(dir_ + "/q.qds", dir_ + "/s.qds");
  Corrupt(dir_ + "/q.qds",
          "UPDATE items SET value = x'' WHERE k >> 24 = " + id[0] +
              " AND CAST(name AS TEXT) = 'WQMsgStatus';"
          "UPDATE items SET value = x'01' WHERE k = " + id[1] + " << 24;"
          "DELETE FROM items WHERE k >> 24 = " + id[2] + ";"
          "DELETE FROM summary WHERE note_id = " + id[3] + ";"
          "INSERT INTO summary VALUES ('wqmsgstatus', 9.0, 4000, 1, 0);"
          "DELETE FROM notes WHERE note_id = " + id[4] + ";"
          "INSERT INTO object_chunks VALUES (777 << 13, x'00');");

  Result v = Admin("verify q.qds");
  EXPECT_EQ(1, v.code);
  const std::vector<std::string> lines = {
      "note " + id[0] + ": summary item 'WQMsgStatus' has a value of 0 bytes that a search "
          "cannot decode",
      "note " + id[1] + ": its header row is 1 bytes, not 36",
      "note " + id[2] + ": it has no header row",
      "note " + id[3] + ": summary item 'WQMsgStatus' lacks 1 of its 1 search index rows",
      "note 4000: a search index row for 'wqmsgstatus' has no summary item behind it",
      "note " + id[4] + ": rows in table items of a note that does not exist",
      "object 777: chunks of an object that does not exist",
      "message " + id[0] + ": cannot be read: Database file is damaged",
      "message " + id[2] + ": cannot be read: Database file is damaged",
      dir_ + "/q.qds: 9 messages checked, 3 damaged; findings: 1 bad_header, 1 bad_summary, "
          "1 index_missing, 3 index_orphan, 3 message, 1 no_header, 1 object, 1 orphan_items"};
  for (const std::string& line : lines)
    EXPECT_TRUE(Has(v.out, line + "\n")) << line << "\n" << v.out;
  json vj = AdminJson("verify q.qds --json", 1);
  EXPECT_EQ(json({9, 3, 12}), json({vj["checked"], vj["damaged"], vj["findings"]}));
  json orphan = vj["problems"][7], chunks = vj["problems"][8];
  EXPECT_EQ(json({"orphan_items", all[4]["note_id"], "items"}),
            json({orphan["kind"], orphan["note_id"], orphan["table"]})) << vj;
  EXPECT_EQ(json({"object", 777, "object_chunks"}),
            json({chunks["kind"], chunks["object_id"], chunks["table"]})) << vj;

  json listed = AdminJson("list q.qds --json");
  ASSERT_EQ(9u, listed.size());
  for (size_t i = 0; i < 9; i++) {
    EXPECT_EQ(i < 3, listed[i].contains("damaged")) << listed[i];
  }
  Result text = Admin("list q.qds");
  EXPECT_EQ(0, text.code);
  EXPECT_TRUE(std::regex_search(text.out, std::regex(
      "\\b" + id[1] + "  damaged: its header or summary values cannot be decoded\n"))) << text.out;
  json stats = AdminJson("stats q.qds --json");
  EXPECT_EQ(json({9, 3}), json({stats["total"], stats["damaged"]}));

  // A writer's open rewrites the file's session marker (bytes 60..63) only.
  auto unmarked = [this](const std::string& name) { return Read(name).replace(60, 4, 4, '\0'); };
  const std::string damaged = unmarked("q.qds");
  Result r = Admin("repair q.qds --dry-run");
  EXPECT_EQ(0, r.code) << r.err;
  for (int i : {0, 1, 2, 4})
    EXPECT_TRUE(Has(r.out, "would move message " + id[i] + " to " + dir_ + "/q.qds.damaged: "))
        << r.out;
  EXPECT_TRUE(Has(r.out, "would rebuild the search index\nwould drop chunks of objects that do "
                         "not exist\n")) << r.out;
  EXPECT_TRUE(damaged == unmarked("q.qds")) << "a dry run wrote";
  EXPECT_FALSE(fs::exists(dir_ + "/q.qds.damaged"));
  r = Admin("repair q.qds");
  EXPECT_EQ(0, r.code) << r.out << r.err;
  for (int i : {0, 1, 2, 4}) {
    EXPECT_TRUE(Has(r.out, "message " + id[i] + " moved to " + dir_ + "/q.qds.damaged as note "))
        << r.out;
  }
  EXPECT_TRUE(Has(r.out, "dropped 1 chunk rows of objects that do not exist")) << r.out;
  v = Admin("verify q.qds");
  EXPECT_EQ(0, v.code) << v.out;
  EXPECT_TRUE(Has(v.out, "6 messages checked, 0 damaged")) << v.out;
  stats = AdminJson("stats q.qds.damaged --json");
  EXPECT_EQ(json({4, 3}), json({stats["total"], stats["damaged"]}));

  // A repair killed between copying a message aside and deleting it: the
  // next one finishes the move without a second copy.
  Corrupt(dir_ + "/q.qds", "UPDATE items SET value = x'' WHERE k >> 24 = " + id[5] +
                               " AND CAST(name AS TEXT) = 'WQMsgStatus'");
  {
    DBHANDLE from, to;
    ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds").c_str(), &from));
    ASSERT_EQ(NOERROR, QDSDbOpen((dir_ + "/q.qds.damaged").c_str(), &to));
    EXPECT_EQ(NOERROR, QDSNoteCopyRaw(from, std::stoul(id[5]), to, 0, nullptr, nullptr, 0, nullptr));
    ASSERT_EQ(NOERROR, QDSDbClose(to));
    ASSERT_EQ(NOERROR, QDSDbClose(from));
  }
  r = Admin("repair q.qds");
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "message " + id[5] + ": already in " + dir_ + "/q.qds.damaged (an "
                         "interrupted move); removed from the queue\n")) << r.out;
  EXPECT_EQ(5, AdminJson("stats q.qds.damaged --json")["total"]);
  EXPECT_EQ(5, AdminJson("stats q.qds --json")["total"]);

  // A table gone is damage below the messages: the dry run names it and
  // what a salvage would keep, and changes nothing (exit 1: not repaired).
  Corrupt(dir_ + "/s.qds", "DROP TABLE objects");
  const std::string lost = unmarked("s.qds");
  r = Admin("repair s.qds --dry-run");
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Has(r.out, "damaged below the messages: objects: ")) << r.out;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(
      "would salvage the \\d+ notes that can be read into a new " + dir_ + "/s.qds \\(the "
      "damaged file kept as " + dir_ + "/s.qds.corrupt\\)\n"))) << r.out;
  EXPECT_TRUE(lost == unmarked("s.qds")) << "a dry run wrote";

  // The search index table gone: the cause says so, and the searches fall
  // back on reading every message.
  Corrupt(dir_ + "/r.qds", "DROP TABLE summary");
  vj = AdminJson("verify r.qds --json", 1);
  ASSERT_LT(0u, vj["problems"].size()) << vj;
  for (const json& p : vj["problems"]) {
    const std::string why = p["reason"];
    EXPECT_EQ(json({"unreadable", "summary"}), json({p["kind"], p["table"]})) << p;
    EXPECT_TRUE((Has(why, "no such table") || Has(why, "missing")) && !Has(why, "malformed") &&
                !Has(why, "logic error") && !Has(why, "not an error")) << why;
  }
  EXPECT_EQ(10u, AdminJson("list r.qds --json").size());
  EXPECT_EQ(6u, AdminJson("list r.qds --status 9 --json").size());
  EXPECT_EQ(10, AdminJson("stats r.qds --json")["total"]);
}

// An entry of the notes' class index that cannot be decoded (its record's
// header longer than the record, every page still sound): SQLite's check of the notes
// cannot finish.  That is index damage, so the repair rebuilds the index in
// place and keeps the file, rather than salvaging a queue whose messages
// are all sound into a new one.
TEST_F(WqadminTest, AnUndecodableClassIndexEntryIsRebuiltInPlace) {
  SeedQueue();
  const std::string path = dir_ + "/q.qds";
  int root = 0;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_schema WHERE "
                                                "name = 'notes_class'", -1, &s, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(s));
    root = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
  }
  std::string bytes = Read("q.qds");
  const size_t pageSize = (uint8_t(bytes[16]) << 8 | uint8_t(bytes[17])) == 1
                              ? 65536 : (uint8_t(bytes[16]) << 8 | uint8_t(bytes[17]));
  const size_t page = size_t(root - 1) * pageSize;
  ASSERT_EQ(0x0A, bytes[page]) << "the class index is one leaf page";
  // The first cell: its payload size, then the record's header size,
  // which becomes longer than the whole payload.
  const size_t cell = page + (uint8_t(bytes[page + 8]) << 8 | uint8_t(bytes[page + 9]));
  ASSERT_EQ(3, bytes[cell + 1]);
  bytes[cell + 1] = 0x7F;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

  Result v = Admin("verify q.qds");
  EXPECT_EQ(1, v.code);
  EXPECT_TRUE(Has(v.out, "notes_class")) << v.out;
  Result r = Admin("repair q.qds");
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "index rebuilt for: the index notes_class of notes")) << r.out;
  EXPECT_FALSE(fs::exists(path + ".corrupt")) << r.out;
  v = Admin("verify q.qds");
  EXPECT_EQ(0, v.code) << v.out;
  EXPECT_TRUE(Has(v.out, "10 messages checked, 0 damaged")) << v.out;
}

// Causes that could mislead the operator are named as they are: a WAL
// sidecar that is a directory is no foreign file, and running out of file
// descriptors is no I/O error.
TEST_F(WqadminTest, SidecarThatIsNoFileAndTooFewDescriptorsAreNamed) {
  SeedQueue();
  // The sidecars' name: the file's inode and its generation, kept in bytes
  // 60..63 (big-endian, shifted left by one).
  struct stat sb;
  ASSERT_EQ(0, stat((dir_ + "/q.qds").c_str(), &sb));
  const std::string head = Read("q.qds").substr(60, 4);
  uint32_t marker = 0;
  for (char c : head) marker = marker << 8 | uint8_t(c);
  char wal[64];
  std::snprintf(wal, sizeof wal, ".tavlo-%llu-%08x-wal",
                static_cast<unsigned long long>(sb.st_ino), marker >> 1);
  fs::create_directory(dir_ + "/" + wal);
  for (const char* args : {"verify q.qds", "list q.qds", "repair q.qds"}) {
    Result r = Admin(args);
    EXPECT_EQ(1, r.code) << args;
    EXPECT_TRUE(Has(r.err, wal) && !Has(r.err, "not a Tavlo database")) << args << ": " << r.err;
  }
  fs::remove(dir_ + "/" + wal);
  EXPECT_EQ(0, Admin("verify q.qds").code);

  for (const char* args : {"verify q.qds", "list q.qds", "repair q.qds"}) {
    Result r = Admin(args, "sh -c 'ulimit -n 6; exec \"$0\" \"$@\"'");
    EXPECT_EQ(1, r.code) << args;
    EXPECT_TRUE(Has(r.err, "Too many open files")) << args << ": " << r.err;
  }
}

}  // namespace
