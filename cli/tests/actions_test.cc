// wqadmin's actions on a stopped queue, end to end: the built binary on a
// queue seeded by wqadmin and by the library (messages with and without a
// receipt time, next retries ahead and unset, error texts in any case, a
// rare recipient domain behind more than a hundred other matches, a copy
// sharing its source's attachment).  What each selection should take is
// worked out here from the messages themselves, opened through the
// library; what an action did is read back item by item, attachments'
// bytes included, through the store.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int64_t Now() {
  TIMEDATE t;
  OSCurrentTIMEDATE(&t);
  return TimeToMicros(&t);
}
constexpr int64_t kMin = 60 * 1000000LL, kHour = 60 * kMin, kDay = 24 * kHour;

// `micros` as ISO 8601 with the clock `offsetSecs` ahead of UTC: "Z" or
// "+02:00" appended when `zone`, nothing (a local time) otherwise.
std::string Iso(int64_t micros, int offsetSecs, bool zone) {
  const time_t secs = static_cast<time_t>(micros / 1000000) + offsetSecs;
  struct tm tm;
  gmtime_r(&secs, &tm);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string s = buf;
  if (!zone) return s;
  if (offsetSecs == 0) return s + "Z";
  const int m = std::abs(offsetSecs) / 60;
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", offsetSecs < 0 ? '-' : '+', m / 60, m % 60);
  return s + buf;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TIMEDATE Td(int64_t micros) {
  TIMEDATE t;
  TimeFromMicros(micros, &t);
  return t;
}

// ---------------------------------------------------------------------------
// What the store holds: every item of every document, as stored, and the
// bytes of the object each object item names.

struct Item {
  std::string name;
  WORD flags = 0, type = 0;
  std::string value;
  std::optional<std::string> object;  // TYPE_OBJECT items: the object's bytes
  bool operator==(const Item&) const = default;
};
struct Doc {
  NOTEID id = 0;
  std::vector<Item> items;
  bool operator==(const Doc&) const = default;
};
// A message keeps the File and Note parts of its originator id wherever it
// moves; the sequence part changes with every save.
using Unid = std::string;
using Snapshot = std::map<Unid, Doc>;

DWORD Le32(const char* p) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
  return b[0] | b[1] << 8 | b[2] << 16 | static_cast<DWORD>(b[3]) << 24;
}

std::string ObjectBytes(DBHANDLE db, DWORD rrv) {
  DWORD size = 0;
  DHANDLE h = NULLHANDLE;
  if (QDSDbGetObjectSize(db, rrv, &size) != NOERROR)
    return "(no object " + std::to_string(rrv) + ")";
  if (size == 0) return "";
  if (QDSDbReadObject(db, rrv, 0, size, &h) != NOERROR) return "(unreadable object)";
  std::string bytes(static_cast<const char*>(OSLockObject(h)), size);
  OSUnlockObject(h);
  OSMemFree(h);
  return bytes;
}

bool ObjectExists(const std::string& path, DWORD rrv) {
  DBHANDLE db = 0;
  DWORD size = 0;
  if (QDSDbOpenReadOnly(path.c_str(), &db) != NOERROR) return false;
  const bool there = QDSDbGetObjectSize(db, rrv, &size) == NOERROR;
  QDSDbClose(db);
  return there;
}

const Doc& ById(const Snapshot& s, NOTEID id) {
  static const Doc none;
  for (const auto& [unid, d] : s)
    if (d.id == id) return d;
  return none;
}
Unid UnidOf(const Snapshot& s, NOTEID id) {
  for (const auto& [unid, d] : s)
    if (d.id == id) return unid;
  return "";
}

std::vector<DWORD> ObjectIds(const Doc& d) {
  std::vector<DWORD> ids;
  for (const Item& it : d.items)
    if (it.object) ids.push_back(Le32(it.value.data() + 4));
  return ids;
}

Snapshot Snap(const std::string& path) {
  Snapshot s;
  if (!fs::exists(path)) return s;
  DBHANDLE db = 0;
  EXPECT_EQ(NOERROR, QDSDbOpenReadOnly(path.c_str(), &db)) << path;
  if (!db) return s;
  std::vector<std::pair<NOTEID, Unid>> docs;
  EXPECT_EQ(NOERROR, QDSDbScanItems(
                         db, NOTE_CLASS_DOCUMENT, nullptr, 0,
                         [](void* a, const ITEM_SCAN_DOC* d, const ITEM_VALUE*, WORD) -> STATUS {
                           static_cast<std::vector<std::pair<NOTEID, Unid>>*>(a)->emplace_back(
                               d->NoteID, Unid(reinterpret_cast<const char*>(&d->OriginatorID),
                                               2 * sizeof(TIMEDATE)));
                           return NOERROR;
                         },
                         &docs));
  for (const auto& [id, unid] : docs) {
    Doc& d = s[unid];
    EXPECT_EQ(0u, d.id) << path << ": notes " << d.id << " and " << id << " are one message";
    d.id = id;
    NOTEHANDLE note;
    if (QDSNoteOpen(db, id, 0, &note) != NOERROR) {
      ADD_FAILURE() << path << ": note " << id << " does not open";
      continue;
    }
    for (DWORD i = 0, n = QDSItemCount(note); i < n; i++) {
      char name[256];
      WORD nameLen = 0;
      Item it;
      BLOCKID bid;
      DWORD len = 0;
      EXPECT_EQ(NOERROR, QDSItemInfoByIndex(note, i, name, sizeof name, &nameLen, &it.flags,
                                            &it.type, &bid, &len));
      it.name.assign(name, nameLen);
      it.value.assign(OSLockBlock(bid), len);
      OSUnlockBlock(bid);
      if (it.type == TYPE_OBJECT && len >= 8)
        it.object = ObjectBytes(db, Le32(it.value.data() + 4));
      d.items.push_back(std::move(it));
    }
    QDSNoteClose(note);
  }
  QDSDbClose(db);
  return s;
}

// "" when the two hold the same items (names in `skip` left out), else
// the first difference.
std::string Diff(const Doc& a, const Doc& b, const std::set<std::string>& skip = {}) {
  std::vector<const Item*> x, y;
  for (const Item& it : a.items)
    if (!skip.count(it.name)) x.push_back(&it);
  for (const Item& it : b.items)
    if (!skip.count(it.name)) y.push_back(&it);
  for (size_t i = 0; i < std::max(x.size(), y.size()); i++) {
    if (i >= x.size() || i >= y.size())
      return "item " + std::to_string(i) + " (" + (i < x.size() ? x[i] : y[i])->name +
             ") only on one side";
    const Item &p = *x[i], &q = *y[i];
    if (p.name != q.name || p.flags != q.flags || p.type != q.type)
      return "item " + std::to_string(i) + ": " + p.name + " became " + q.name;
    if (p.value != q.value) return "item " + std::to_string(i) + " " + p.name + ": value differs";
    if (p.object != q.object)
      return "item " + std::to_string(i) + " " + p.name + ": object bytes differ (now " +
             q.object.value_or("none").substr(0, 40) + ")";
  }
  return "";
}

// ---------------------------------------------------------------------------
// What the library reads of a message: what the selection tests look at.

struct Facts {
  NOTEID id = 0;
  std::optional<DWORD> status;
  std::vector<std::string> to;
  std::optional<std::string> err;
  std::optional<int64_t> retry;     // unset next retry: none
  std::optional<int64_t> received;  // WQRecvTime
  user_msg_info_t info{};
  std::vector<recip_data_t> recips;
};

bool Special(const TIMEDATE& t) {
  for (WORD which : {TIMEDATE_MINIMUM, TIMEDATE_MAXIMUM, TIMEDATE_WILDCARD}) {
    TIMEDATE s;
    TimeConstant(which, &s);
    if (std::memcmp(&s, &t, sizeof t) == 0) return true;
  }
  return false;
}

std::map<NOTEID, Facts> ReadFacts(const std::string& queue) {
  std::map<NOTEID, Facts> out;
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", queue.c_str());
  queue_handle_t q;
  EXPECT_EQ(NOERROR, WQSOpenQueueReadOnly(&qd, &q)) << queue;
  std::vector<NOTEID> ids;
  EXPECT_EQ(NOERROR, QDSSearch(
                         q.dbhandle, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                         [](void* a, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                           static_cast<std::vector<NOTEID>*>(a)->push_back(m->ID.NoteID);
                           return NOERROR;
                         },
                         &ids, nullptr));
  for (NOTEID id : ids) {
    msg_handle_t m;
    if (WQSOpenMsgByMsgID(&q, id, &m) != NOERROR) continue;  // a damaged one: no facts
    Facts& f = out[id];
    f.id = id;
    DWORD status = 0;
    if (WQSGetDWORD(&m, "WQMsgStatus", &status) == NOERROR) f.status = status;
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    f.info = *info;
    TIMEDATE next;
    std::memcpy(&next, &info->tdNextRetry, sizeof next);
    if (!Special(next)) f.retry = TimeToMicros(&next);
    TIMEDATE recv;
    if (WQSGetTIMEDATE(&m, "WQRecvTime", &recv) == NOERROR) f.received = TimeToMicros(&recv);
    static char buf[65535];
    WORD len = 0;
    if (QDSItemIsPresent(m.hNote, "WQErrStr", 8) &&
        WQSGetDataBlock(&m, "WQErrStr", buf, sizeof buf, &len) == NOERROR)
      f.err.emplace(buf, len);
    for (WORD r = 0; r < info->wNumRecip; r++) {
      recip_info_t ri{};
      EXPECT_EQ(NOERROR, WQSGetRecipient(&m, r, &ri));
      f.to.emplace_back(ri.pName, ri.wNameLen);
      f.recips.push_back(ri.data);
    }
    WQSCloseMsg(&m);
  }
  WQSCloseQueueForRead(&q);
  return out;
}

// A message added through the library, as the relay would store it.
struct NewMsg {
  std::vector<std::string> to;
  DWORD status = 11;
  std::optional<std::string> err;
  std::optional<int64_t> retry;     // none: an unset next retry
  std::optional<int64_t> received;  // none: no WQRecvTime
  std::string body;                 // stream "Body"
  std::string data, res;            // a file with resources
};
NewMsg Msg(std::vector<std::string> to, DWORD status, std::optional<std::string> err,
           std::optional<int64_t> retry, std::optional<int64_t> received, std::string body = "",
           std::string data = "", std::string res = "") {
  NewMsg n;
  n.to = std::move(to);
  n.status = status;
  n.err = std::move(err);
  n.retry = retry;
  n.received = received;
  n.body = std::move(body);
  n.data = std::move(data);
  n.res = std::move(res);
  return n;
}

class ActionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = "/tmp/wqadmin-actions-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    setenv("TAVLO_SYNC", "normal", 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs a shell script in the data directory, W standing for the built
  // wqadmin; standard input is empty unless the script pipes into it.
  Result Sh(std::string script) {
    for (size_t at = 0; (at = script.find("W ", at)) != std::string::npos; at++)
      if (at == 0 || script[at - 1] == ' ') script.replace(at, 1, "'" WQADMIN_BINARY "'");
    const std::string out = dir_ + "/.out", err = dir_ + "/.err";
    const std::string cmd =
        "cd '" + dir_ + "' && { " + script + " ; } >'" + out + "' 2>'" + err + "' </dev/null";
    const int rc = std::system(cmd.c_str());
    Result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, Read(".out"), Read(".err")};
    return r;
  }
  Result Admin(const std::string& args) { return Sh("W " + args); }
  std::string Read(const std::string& name) {
    std::ostringstream o;
    o << std::ifstream(dir_ + "/" + name, std::ios::binary).rdbuf();
    return o.str();
  }
  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  // The note ids `list QUEUE --json ARGS` prints.
  std::vector<NOTEID> Listed(const std::string& queue, const std::string& args,
                             const std::string& env = "") {
    Result r = Sh(env + " W list " + queue + " --json " + args);
    EXPECT_EQ(0, r.code) << args << "\n" << r.err;
    json j = json::parse(r.out, nullptr, false);
    std::vector<NOTEID> ids;
    if (!j.is_array()) {
      ADD_FAILURE() << args << ": not a JSON array:\n" << r.out;
      return ids;
    }
    for (const auto& m : j) ids.push_back(m["note_id"].get<NOTEID>());
    return ids;
  }

  NOTEID Add(const NewMsg& n, const std::string& queue = "q.qds") {
    queue_descriptor_t qd{};
    std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", queue.c_str());
    queue_handle_t q;
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
    for (const std::string& to : n.to) {
      recip_info_t r{};
      r.pName = const_cast<char*>(to.data());
      r.wNameLen = static_cast<WORD>(to.size());
      r.pNextHop = const_cast<char*>("mx1.example.net");
      r.wNextHopLen = 15;
      r.pPOName = const_cast<char*>("PO-1");
      r.wPONameLen = 4;
      r.data.dwRecipType = 1;
      r.data.dwUserInfo = n.status;
      r.data.dwErrorCode = n.err ? 550 : 0;
      const TIMEDATE later = Td(Now() + kHour);
      std::memcpy(&r.data.tdNextRetry, &later, sizeof later);
      EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &r));
    }
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    info->dwSize = 4096;
    info->wRetries = 2;
    info->dwUserInfo3 = n.err ? 550 : 0;
    info->dwUserInfo4 = 1;
    TIMEDATE next;
    if (n.retry) {
      next = Td(*n.retry);
    } else {
      TimeConstant(TIMEDATE_WILDCARD, &next);
    }
    std::memcpy(&info->tdNextRetry, &next, sizeof next);
    EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", n.status));
    if (n.err) {
      EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", n.err->data(),
                                         static_cast<WORD>(n.err->size())));
    }
    if (n.received) {
      const TIMEDATE t = Td(*n.received);
      EXPECT_EQ(NOERROR, WQSAddTIMEDATE(&m, TRUE, "WQRecvTime", &t));
    }
    if (!n.body.empty()) {
      data_stream_block_t dsb;
      EXPECT_EQ(NOERROR, WQSCreateDataStreamBlock(&m, "Body", &dsb));
      for (size_t off = 0; off < n.body.size(); off += 40000) {
        const size_t len = std::min<size_t>(40000, n.body.size() - off);
        EXPECT_EQ(NOERROR, WQSAppendDataStreamBlock(&m, &dsb, off + len < n.body.size(),
                                                    n.body.data() + off, len));
      }
    }
    if (!n.data.empty()) {
      file_descriptor_t fd{};
      fd.fileType = WQS_FILETYPE_MACEXT;
      std::memcpy(fd.fileName, "report.pdf", 10);
      fd.wNameLen = 10;
      fd.size = static_cast<DWORD>(n.data.size());
      fd.resSize = static_cast<DWORD>(n.res.size());
      file_block_t fb;
      EXPECT_EQ(NOERROR, WQSCreateFileBlock(&m, &fd, &fb));
      const std::string both = n.data + n.res;
      DHANDLE h;
      EXPECT_EQ(NOERROR, OSMemAlloc(0x7A11, both.size(), &h));
      std::memcpy(OSLockObject(h), both.data(), both.size());
      OSUnlockObject(h);
      EXPECT_EQ(NOERROR, WQSAppendFileBlock(&m, &fb, h, both.size()));
      OSMemFree(h);
    }
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    WQSGetMsgInfo(&m, &info);
    const NOTEID id = info->dwQueueMsgID;
    EXPECT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
    return id;
  }

  // A copy of message `source` for one recipient of its own, saved in the
  // same queue, as the relay splits a message: its items, the attachment's
  // object item among them, come from the source.
  NOTEID AddSplit(NOTEID source, const std::string& to) {
    queue_descriptor_t qd{};
    std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "q.qds");
    queue_handle_t q;
    msg_handle_t src, copy;
    EXPECT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
    EXPECT_EQ(NOERROR, WQSOpenMsgByMsgID(&q, source, &src));
    EXPECT_EQ(NOERROR, WQSCopyMsg(&q, &q, &src, FALSE, WQS_MSG_EXTENDED, &copy));
    recip_info_t r{};
    r.pName = const_cast<char*>(to.data());
    r.wNameLen = static_cast<WORD>(to.size());
    r.pNextHop = const_cast<char*>("mx2.example.net");
    r.wNextHopLen = 15;
    r.pPOName = const_cast<char*>("PO-2");
    r.wPONameLen = 4;
    r.data.dwUserInfo = 11;
    EXPECT_EQ(NOERROR, WQSAppendRecipient(&copy, &r));
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&copy));
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&copy, &info);
    const NOTEID id = info->dwQueueMsgID;
    EXPECT_EQ(NOERROR, WQSCloseMsg(&src));
    EXPECT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
    return id;
  }

  // The queue the selection and action tests share (about 215 messages):
  // seeded ones in every status (recipients at example.org,
  // mail.example.org, example.com and example.net), 150 of them in status
  // 11, then library ones: three to the rare domain relay.example (behind
  // those 150), near misses of it, error texts in other cases, a next
  // retry ahead and one unset, messages without a receipt time, and a
  // message with streams and a file whose split copy shares that file.
  struct Special {
    int64_t now;
    std::vector<NOTEID> rare;
    NOTEID ahead, unset, source, split;
  };
  Special BuildQueue() {
    std::ofstream(Path("att.bin"), std::ios::binary) << std::string("\0\1\2attachment\xff", 14);
    for (const char* args :
         {"create q.qds", "seed q.qds --quiet --count 150 --status 11 --recipients 2 --seed 11",
          "seed q.qds --quiet --count 20 --status 9 --recipients 3 --seed 9 "
          "--attach att.bin --body-size 5000",
          "seed q.qds --quiet --count 15 --status 10 --type 1 --recipients 2 --seed 10",
          "seed q.qds --quiet --count 10 --status 7 --seed 7",
          "seed q.qds --quiet --count 10 --status 6 --type 1 --attach att.bin --seed 6"}) {
      Result r = Admin(args);
      EXPECT_EQ(0, r.code) << args << "\n" << r.err;
    }
    Special s{};
    s.now = Now();
    const int64_t now = s.now;
    for (const char* to : {"Ops@Relay.EXAMPLE", "postmaster@relay.example", "x@RELAY.example"})
      s.rare.push_back(Add(Msg({"someone@example.net", to}, 11, "550 5.1.1 User unknown",
                               now - 2 * kHour, now - 5 * kHour)));
    for (const char* to :
         {"x@sub.relay.example", "x@relay.example.net", "relay.example@example.com"})
      Add(Msg({to}, 11, "550 5.1.1 User unknown", now - 3 * kHour, now - 6 * kHour));
    s.unset = Add(Msg({"a.b@Example.ORG"}, 9, "451 4.3.0 Temporary LOOKUP failure", std::nullopt,
                      now - 30 * kMin));
    s.ahead = Add(Msg({"c.d@mail.example.org"}, 10, std::nullopt, now + 2 * kHour, std::nullopt));
    Add(Msg({"e.f@example.com", "g.h@example.org"}, 7, "452 4.2.2 Mailbox FULL", now - 10 * kDay,
            now - 10 * kDay));
    Add(Msg({"i.j@example.net"}, 11, "550 no such user here", now - 20 * kMin, std::nullopt));
    std::string body;
    for (int i = 0; i < 70000; i++) body += static_cast<char>(i * 7 % 256);
    s.source = Add(Msg({"k.l@example.net"}, 11, "550 5.1.1 user unknown", now - 4 * kHour,
                       now - kHour, body, std::string("%PDF\0\xff data", 11), "resource fork"));
    s.split = AddSplit(s.source, "split@mail.example.org");
    return s;
  }

  std::string dir_;
};

// Every option on its own and together, as `list` takes them; the actions
// share the selection, shown here by hold taking the rare recipients from
// behind 150 other matches, and ids piped in from a listing.
TEST_F(ActionsTest, SelectionOptionsTakeWhatTheMessagesSay) {
  const Special s = BuildQueue();
  const std::map<NOTEID, Facts> facts = ReadFacts("q.qds");
  ASSERT_GT(facts.size(), 200u);
  const Facts* nine = nullptr;
  for (const auto& [id, f] : facts)
    if (f.status == 9u && f.to.size() == 3 && !nine) nine = &f;
  ASSERT_NE(nullptr, nine);
  const std::string second = nine->to[1];
  const NOTEID someId = facts.begin()->first;

  auto to = [](const Facts& f, const std::string& want) {
    for (const std::string& r : f.to) {
      const std::string n = Lower(r);
      if (want[0] == '@'
              ? n.size() > want.size() && n.compare(n.size() - want.size(), want.size(), want) == 0
              : n == want)
        return true;
    }
    return false;
  };
  auto err = [](const Facts& f, const std::string& part) {
    return f.err && Has(Lower(*f.err), part);
  };
  auto status = [](const Facts& f, std::set<DWORD> in) { return f.status && in.count(*f.status); };
  using Pred = std::function<bool(const Facts&, int64_t now)>;
  const int64_t t0 = s.now;
  struct Case {
    std::string args;
    Pred take;
    std::string env = "";
  };
  const std::vector<Case> cases = {
      {"--status 9,10 --status 7",
       [&](const Facts& f, int64_t) {
         return status(f, {7, 9, 10});
       }},
      {"--formula 'WQMsgStatus = 9 | WQMsgStatus = 11' --status 11,6",
       [&](const Facts& f, int64_t) { return status(f, {11}); }},
      {"--id " + std::to_string(someId) + " --id " + std::to_string(s.ahead) + " --id 999999",
       [&](const Facts& f, int64_t) { return f.id == someId || f.id == s.ahead; }},
      {"--to @example.org", [&](const Facts& f, int64_t) { return to(f, "@example.org"); }},
      {"--to @MAIL.Example.org",
       [&](const Facts& f, int64_t) { return to(f, "@mail.example.org"); }},
      {"--to " + Upper(second), [&](const Facts& f, int64_t) { return to(f, Lower(second)); }},
      {"--status 11 --to @relay.example",
       [&](const Facts& f, int64_t) { return status(f, {11}) && to(f, "@relay.example"); }},
      {"--error 'User UNKNOWN'", [&](const Facts& f, int64_t) { return err(f, "user unknown"); }},
      {"--error lookup", [&](const Facts& f, int64_t) { return err(f, "lookup"); }},
      {"--retry-before 3600s",
       [&](const Facts& f, int64_t now) { return f.retry && *f.retry < now - kHour; }},
      {"--retry-after " + Iso(t0 - 30 * kMin, 0, false) + ".25Z",
       [&](const Facts& f, int64_t) {
         return f.retry && *f.retry > t0 / 1000000 * 1000000 - 30 * kMin + 250000;
       }},
      {"--retry-after 2d --retry-before " + Iso(t0 - kDay, 2 * 3600, true),
       [&](const Facts& f, int64_t now) {
         return f.retry && *f.retry > now - 2 * kDay && *f.retry < t0 / 1000000 * 1000000 - kDay;
       }},
      {"--received-before 1d",
       [&](const Facts& f, int64_t now) { return f.received && *f.received < now - kDay; }},
      // A time without a zone is local: here three hours behind UTC.
      {"--received-after " + Iso(t0 - 36 * kHour, -3 * 3600, false),
       [&](const Facts& f, int64_t) {
         return f.received && *f.received > t0 / 1000000 * 1000000 - 36 * kHour;
       },
       "TZ=XYZ+3"},
      {"--received-after 2d --received-before 12h",
       [&](const Facts& f, int64_t now) {
         return f.received && *f.received > now - 2 * kDay && *f.received < now - 12 * kHour;
       }},
      {"--status 11,9 --to @example.org --error unknown --retry-before 1h --received-after 1w",
       [&](const Facts& f, int64_t now) {
         return status(f, {9, 11}) && to(f, "@example.org") && err(f, "unknown") && f.retry &&
                *f.retry < now - kHour && f.received && *f.received > now - 7 * kDay;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const int64_t before = Now();
    const std::vector<NOTEID> got = Listed("q.qds", c.args, c.env);
    const int64_t after = Now();
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    const std::set<NOTEID> took(got.begin(), got.end());
    EXPECT_EQ(took.size(), got.size()) << "a message listed twice";
    size_t want = 0;
    for (const auto& [id, f] : facts) {
      // An age counts back from the command's own clock: a message on
      // the edge between the two readings may go either way.
      const bool a = c.take(f, before), b = c.take(f, after);
      want += a;
      if (a == b) {
        EXPECT_EQ(a, took.count(id) != 0) << "message " << id;
      }
    }
    EXPECT_GT(want, 0u);
    EXPECT_LT(want, facts.size());
  }
  // The option that reads the opened message passes over the 150 other
  // matches before the rare ones; an unset next retry and a missing
  // receipt time match neither side of a time.
  size_t elevenFirst = 0;
  for (const auto& [id, f] : facts) elevenFirst += f.status == 11u && id < s.rare[0];
  EXPECT_GE(elevenFirst, 150u);
  EXPECT_EQ(s.rare, Listed("q.qds", "--status 11 --to @relay.example"));
  for (const char* args : {"--retry-before 1m", "--retry-after 1m", "--retry-after 30d"}) {
    const std::vector<NOTEID> ids = Listed("q.qds", args);
    EXPECT_EQ(0, std::count(ids.begin(), ids.end(), s.unset)) << args;
  }
  EXPECT_EQ(std::vector<NOTEID>{s.ahead}, Listed("q.qds", "--status 10 --retry-after 1m"));

  // The actions take the same: hold the rare ones by their recipients,
  // then what a listing pipes in, one id a line.
  const Snapshot q0 = Snap(Path("q.qds"));
  Result r = Admin("hold q.qds --quiet --status 11 --to @relay.example");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(": 3 messages held into .*q\\.qds\\.hold \\(")))
      << r.out;
  const std::vector<NOTEID> piped = Listed("q.qds", "--to @mail.example.org --status 10,7");
  ASSERT_GE(piped.size(), 2u);
  r =
      Sh("W list q.qds --json --to @mail.example.org --status 10,7 | "
         "sed -n 's/.*\"note_id\": *\\([0-9]*\\).*/\\1/p' | W hold q.qds --id - --quiet");
  ASSERT_EQ(0, r.code) << r.err;
  std::set<Unid> wantHeld;
  for (const auto& [unid, d] : q0)
    if (std::count(s.rare.begin(), s.rare.end(), d.id) ||
        std::count(piped.begin(), piped.end(), d.id))
      wantHeld.insert(unid);
  std::set<Unid> held;
  for (const auto& [unid, d] : Snap(Path("q.qds.hold"))) held.insert(unid);
  EXPECT_EQ(wantHeld, held);
  EXPECT_EQ(q0.size() - held.size(), Snap(Path("q.qds")).size());
}

// Each action: its dry run prints list's rows for the selection and a
// count and leaves the files as they were; then for real it changes the
// selected messages as it should and leaves every item (and attachment
// byte) of every other message as it was.
TEST_F(ActionsTest, EachActionDryRunsThenChangesOnlyTheSelectedMessages) {
  const Special s = BuildQueue();
  struct Step {
    const char* action;
    const char* done;
    std::string sel;
  };
  const Step steps[] = {
      {"requeue", "requeued", "--status 9 --to @example.org"},
      // The split copy, not its source, which shares its attachment.
      {"hold", "held", "--status 11 --error unknown --to @mail.example.org"},
      {"release", "released", "--received-after 2d"},
      {"delete", "deleted", "--status 6,9 --to @example.com"},
  };
  const Snapshot first = Snap(Path("q.qds"));
  for (const Step& step : steps) {
    SCOPED_TRACE(step.action);
    const std::string action = step.action;
    const bool release = action == "release";
    const std::string src = release ? "q.qds.hold" : "q.qds",
                      dst = release ? "q.qds" : "q.qds.hold";
    const Snapshot queue0 = Snap(Path("q.qds")), hold0 = Snap(Path("q.qds.hold"));
    const std::map<NOTEID, Facts> facts0 = ReadFacts(src);
    const std::string file0 = Read("q.qds"), holdFile0 = Read("q.qds.hold");
    const bool holdExisted = fs::exists(Path("q.qds.hold"));

    Result list = Admin("list " + src + " " + step.sel);
    Result listJson = Admin("list " + src + " --json " + step.sel);
    ASSERT_EQ(0, list.code);
    std::vector<NOTEID> ids;
    for (const auto& m : json::parse(listJson.out)) ids.push_back(m["note_id"].get<NOTEID>());
    ASSERT_GE(ids.size(), 2u) << step.sel;
    if (action == "hold") {
      ASSERT_EQ(1, std::count(ids.begin(), ids.end(), s.split));
    }

    Result dry = Admin(action + " q.qds --dry-run " + step.sel);
    ASSERT_EQ(0, dry.code) << dry.err;
    const size_t cut = dry.out.rfind('\n', dry.out.size() - 2) + 1;
    EXPECT_EQ(list.out, dry.out.substr(0, cut));
    EXPECT_EQ(Path(src) + ": " + std::to_string(ids.size()) + " messages would be " + step.done,
              dry.out.substr(cut, dry.out.find(" (", cut) - cut));
    Result dryJson = Admin(action + " q.qds --dry-run --json " + step.sel);
    EXPECT_EQ(0, dryJson.code);
    EXPECT_EQ(listJson.out, dryJson.out);
    EXPECT_TRUE(file0 == Read("q.qds") && holdFile0 == Read("q.qds.hold")) << "a dry run wrote";
    EXPECT_EQ(holdExisted, fs::exists(Path("q.qds.hold")));

    Result real =
        Admin(action + " q.qds --quiet " + step.sel + (action == "delete" ? " --yes" : ""));
    ASSERT_EQ(0, real.code) << real.out << real.err;
    EXPECT_TRUE(Has(real.out, ": " + std::to_string(ids.size()) + " messages " + step.done))
        << real.out;
    const Snapshot queue1 = Snap(Path("q.qds")), hold1 = Snap(Path("q.qds.hold"));
    const Snapshot& src0 = release ? hold0 : queue0;
    const Snapshot& src1 = release ? hold1 : queue1;
    const Snapshot& dst1 = release ? queue1 : hold1;
    std::set<Unid> selected;
    for (const auto& [unid, d] : src0)
      if (std::count(ids.begin(), ids.end(), d.id)) selected.insert(unid);
    ASSERT_EQ(ids.size(), selected.size());

    // Every message not selected, in either queue, is as it was.
    for (const Snapshot* before : {&queue0, &hold0}) {
      const Snapshot& after = before == &queue0 ? queue1 : hold1;
      for (const auto& [unid, d] : *before) {
        if (selected.count(unid)) continue;
        auto it = after.find(unid);
        if (it == after.end()) {
          ADD_FAILURE() << "message " << d.id << " is gone";
          continue;
        }
        EXPECT_EQ(d.id, it->second.id);
        // (A message an earlier step broke may come back whole: not this
        // step's fault.)
        const Doc* was = first.count(unid) ? &first.at(unid) : nullptr;
        if (!(was && Diff(*was, d) != "" && Diff(*was, it->second) == "")) {
          EXPECT_EQ("", Diff(d, it->second)) << "untouched message " << d.id;
        }
      }
    }
    const std::map<NOTEID, Facts> facts1 = ReadFacts("q.qds");
    for (const Unid& unid : selected) {
      const Doc& d = src0.at(unid);
      if (action == "requeue") {
        // Reset as rswq resets: status 6, one retry, no error code or
        // text, every recipient queued without error; nothing else.
        ASSERT_TRUE(src1.count(unid));
        EXPECT_EQ(d.id, src1.at(unid).id);
        EXPECT_EQ(
            "", Diff(d, src1.at(unid), {"WQSMsgInfo", "WQSRecipData", "WQErrStr", "WQMsgStatus"}));
        Facts want = facts0.at(d.id);
        const Facts& got = facts1.at(d.id);
        want.info.wRetries = 1;
        want.info.dwUserInfo3 = 0;
        for (recip_data_t& r : want.recips) r.dwUserInfo = 6, r.dwErrorCode = 0;
        EXPECT_EQ(0, std::memcmp(&want.info, &got.info, sizeof want.info)) << d.id;
        ASSERT_EQ(want.recips.size(), got.recips.size());
        EXPECT_EQ(0, std::memcmp(want.recips.data(), got.recips.data(),
                                 want.recips.size() * sizeof(recip_data_t)))
            << d.id;
        EXPECT_EQ(6u, got.status.value_or(0));
        EXPECT_FALSE(got.err.has_value());
        EXPECT_EQ(want.to, got.to);
      } else {
        EXPECT_FALSE(src1.count(unid)) << "message " << d.id << " is still in " << src;
        if (action == "delete") {
          EXPECT_FALSE(dst1.count(unid));
          for (DWORD rrv : ObjectIds(d))
            EXPECT_FALSE(ObjectExists(Path("q.qds"), rrv)) << "object " << rrv << " of " << d.id;
        } else if (!dst1.count(unid)) {
          ADD_FAILURE() << "message " << d.id << " is not in " << dst;
        } else {
          EXPECT_EQ("", Diff(d, dst1.at(unid))) << "moved message " << d.id;
        }
      }
    }
  }
  Result v = Admin("verify q.qds");
  EXPECT_EQ(0, v.code) << v.out;
}

// A message that goes to QUEUE.hold and back, or to an export file and
// back, comes back with every item, stream and attachment byte as it was,
// under the same originator id; an import never brings a message in twice,
// and an export never takes the place of another message's.
TEST_F(ActionsTest, HoldReleaseAndExportImportKeepEveryByte) {
  std::ofstream(Path("att.bin"), std::ios::binary) << std::string("\0attached\r\n\xfe", 12);
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(
      0, Admin("seed q.qds --quiet --count 5 --status 9 --attach att.bin --body-size 66000").code);
  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 3 --status 6 --type 1").code);
  std::string body;
  for (int i = 0; i < 130000; i++) body += static_cast<char>(i * 31 % 256);
  const std::string data(
      "%PDF\0\xff"
      "data part",
      15),
      res("\0resources\xff", 11);
  const NOTEID mac = Add(Msg({"a@example.org", "b@mail.example.org"}, 11,
                             "550 \xE9"
                             "chec",
                             Now() - kHour, Now() - kDay, body, data, res));
  const Snapshot orig = Snap(Path("q.qds"));
  ASSERT_EQ(9u, orig.size());

  // Out to QUEUE.hold and back.
  Result r = Admin("hold q.qds --quiet");
  ASSERT_EQ(0, r.code) << r.err;
  const Snapshot held = Snap(Path("q.qds.hold"));
  EXPECT_EQ(0u, Snap(Path("q.qds")).size());
  ASSERT_EQ(orig.size(), held.size());
  for (const auto& [unid, d] : orig) EXPECT_EQ("", Diff(d, held.at(unid))) << d.id;
  const std::string macHeld = std::to_string(held.at(UnidOf(orig, mac)).id);
  EXPECT_EQ(0, Admin("extract q.qds.hold " + macHeld + " 0 out.pdf").code);
  EXPECT_EQ(data, Read("out.pdf"));
  EXPECT_EQ(res, Read("out.pdf.rsrc"));
  EXPECT_EQ(body, Admin("cat q.qds.hold " + macHeld).out);
  r = Admin("release q.qds --quiet");
  ASSERT_EQ(0, r.code) << r.err;
  const Snapshot back = Snap(Path("q.qds"));
  EXPECT_EQ(0u, Snap(Path("q.qds.hold")).size());
  ASSERT_EQ(orig.size(), back.size());
  for (const auto& [unid, d] : orig) EXPECT_EQ("", Diff(d, back.at(unid))) << d.id;
  EXPECT_EQ(0, Admin("verify q.qds").code);

  // Out to export files (and purged, attachments' objects with them) and
  // back in; a second import brings nothing.
  r = Admin("delete q.qds --quiet --yes --export exp");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, ": 9 messages deleted")) << r.out;
  EXPECT_EQ(0u, Snap(Path("q.qds")).size());
  for (const auto& [unid, d] : back) {
    EXPECT_TRUE(fs::exists(Path("exp/q.qds-" + std::to_string(d.id) + ".qmsg"))) << d.id;
    for (DWORD rrv : ObjectIds(d)) EXPECT_FALSE(ObjectExists(Path("q.qds"), rrv)) << rrv;
  }
  r = Sh("W import q.qds exp/*.qmsg");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, ": 9 messages imported")) << r.out;
  const Snapshot imported = Snap(Path("q.qds"));
  ASSERT_EQ(orig.size(), imported.size());
  for (const auto& [unid, d] : orig) EXPECT_EQ("", Diff(d, imported.at(unid))) << d.id;
  const std::string file = Read("q.qds");
  r = Sh("W import q.qds exp/*.qmsg");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, ": 0 messages imported")) << r.out;
  EXPECT_EQ(orig.size(), Snap(Path("q.qds")).size());

  // A message saved since it came back (requeued: a new edit of it) is
  // still that message: the export does not come in beside it.
  ASSERT_EQ(0, Admin("requeue q.qds --quiet").code);
  r = Sh("W import q.qds exp/*.qmsg");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, ": 0 messages imported")) << r.out;
  EXPECT_EQ(orig.size(), Snap(Path("q.qds")).size()) << "a requeued message was imported again";

  // Another queue of the same file name, exporting into the same
  // directory a message with the same note id as one exported above:
  // both messages stay somewhere.
  fs::create_directories(Path("other"));
  ASSERT_EQ(0, Admin("create other/q.qds").code);
  ASSERT_EQ(0, Admin("seed other/q.qds --quiet --count 40 --status 10").code);
  const Snapshot other = Snap(Path("other/q.qds"));
  const NOTEID same = back.begin()->second.id;
  const std::string clash = "exp/q.qds-" + std::to_string(same) + ".qmsg";
  const Snapshot clashed = Snap(Path(clash));
  ASSERT_EQ(1u, clashed.size());
  ASSERT_NE(0u, ById(other, same).id);
  r = Admin("delete other/q.qds --quiet --yes --export exp --id " + std::to_string(same));
  std::set<Unid> kept;
  for (const auto& e : fs::directory_iterator(Path("exp")))
    if (e.path().extension() == ".qmsg")
      for (const auto& [unid, d] : Snap(e.path().string())) kept.insert(unid);
  for (const auto& [unid, d] : Snap(Path("other/q.qds"))) kept.insert(unid);
  EXPECT_TRUE(kept.count(clashed.begin()->first)) << "the export of " << clash << " was replaced";
  EXPECT_TRUE(kept.count(UnidOf(other, same))) << "the other queue's message is nowhere";
}

// A message copied within its queue (the relay splitting off a recipient)
// shares its source's attachment object.  Moving or deleting one of the
// two leaves the other's attachment readable.
TEST_F(ActionsTest, MovingOrDeletingASplitCopyLeavesItsSourceWhole) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  const std::string data("shared\0file", 11), res("fork");
  const NOTEID source = Add(Msg({"a@example.net"}, 11, "550 user unknown", Now() - kHour,
                                Now() - kHour, "body", data, res));
  NOTEID split = AddSplit(source, "b@mail.example.org");
  ASSERT_EQ(0, Admin("verify q.qds").code);
  const Doc before = ById(Snap(Path("q.qds")), source);
  for (const std::string action : {"hold", "delete --yes"}) {
    SCOPED_TRACE(action);
    Result r = Admin(action + " q.qds --quiet --id " + std::to_string(split));
    EXPECT_EQ(0, r.code) << r.err;
    const Snapshot after = Snap(Path("q.qds"));
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ("", Diff(before, ById(after, source)));
    r = Admin("verify q.qds");
    EXPECT_EQ(0, r.code) << r.out;
    EXPECT_EQ(0, Admin("extract q.qds " + std::to_string(source) + " 0 out.pdf --force").code);
    EXPECT_EQ(data, Read("out.pdf"));
    if (action == "hold") {
      ASSERT_EQ(0, Admin("release q.qds --quiet").code);
      const Snapshot both = Snap(Path("q.qds"));
      ASSERT_EQ(2u, both.size());
      for (const auto& [unid, d] : both)
        if (d.id != source) split = d.id;  // released under a new id
    }
  }
}

// Refusals and exit codes: an action never runs beside another writer of
// either queue, a usage error changes nothing (exit 2), and a message the
// library refuses is named, left as it is and makes the exit code 1 while
// the others are done.
TEST_F(ActionsTest, RefusalsUsageErrorsAndDamagedMessages) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 6 --status 9").code);
  ASSERT_EQ(0, Admin("hold q.qds --quiet --id 8").code);
  const Snapshot queue0 = Snap(Path("q.qds")), hold0 = Snap(Path("q.qds.hold"));
  std::ofstream(Path("x.qmsg")) << "";

  // Another process writing the queue, or the hold queue.
  for (const char* locked : {"q.qds", "q.qds.hold"}) {
    DBHANDLE db = 0;
    ASSERT_EQ(NOERROR, QDSDbOpen(Path(locked).c_str(), &db));
    for (std::string args : {"requeue q.qds --status 9", "hold q.qds --status 9", "release q.qds",
                             "delete q.qds --yes --status 9",
                             "delete q.qds --yes --export e --id 9", "import q.qds x.qmsg"}) {
      if (std::string(locked) == "q.qds.hold" && !Has(args, "hold") && !Has(args, "release"))
        continue;
      Result r = Admin(args);
      EXPECT_EQ(1, r.code) << locked << ": " << args;
      EXPECT_TRUE(Has(r.err, "Database is in use by another process")) << args << ": " << r.err;
    }
    ASSERT_EQ(NOERROR, QDSDbClose(db));
    EXPECT_TRUE(queue0 == Snap(Path("q.qds")) && hold0 == Snap(Path("q.qds.hold")))
        << "written beside " << locked;
  }
  EXPECT_FALSE(fs::exists(Path("e")) && !fs::is_empty(Path("e")));

  const std::string file = Read("q.qds"), held = Read("q.qds.hold");
  auto unchanged = [&] { return file == Read("q.qds") && held == Read("q.qds.hold"); };
  for (const char* args :
       {"requeue q.qds --status x", "requeue q.qds --status 9,", "hold q.qds --id 0",
        "hold q.qds --id 12abc", "release q.qds --to nobody", "release q.qds --to @",
        "delete q.qds --yes --retry-before yesterday", "requeue q.qds --received-after 2026-13-01",
        "requeue q.qds --retry-after 15", "requeue q.qds --formula 'WQMsgStatus = (9'",
        "delete q.qds --status 9", "hold q.qds --bogus", "import q.qds",
        "requeue q.qds --received-before 2026-02-29", "hold q.qds --retry-before 2026-04-31",
        "hold q.qds --retry-before 2026-04-01T10:00+0100"}) {
    Result r = Admin(args);
    EXPECT_EQ(2, r.code) << args << "\n" << r.err;
  }
  // A day the month lacks is named, not read as the next month.
  EXPECT_TRUE(Has(Admin("requeue q.qds --received-before 2026-02-29").err, "has no day 29"));
  Result r = Sh("printf '9\\nten\\n' | W hold q.qds --id -");
  EXPECT_EQ(2, r.code);
  EXPECT_TRUE(Has(r.err, "'ten'")) << r.err;
  EXPECT_TRUE(unchanged()) << "a usage error wrote";

  // Selection options before QUEUE take one value each: QUEUE and the
  // options after it are still seen.
  r = Admin("list --status 9 q.qds --json");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, "\"note_id\":9")) << r.out;
  // A view's note id is no message: the real run, as its dry run, takes
  // nothing and succeeds.
  r = Admin("requeue q.qds --id 1 --dry-run");
  EXPECT_EQ(0, r.code);
  EXPECT_TRUE(Has(r.out, "0 messages would be requeued")) << r.out;
  r = Admin("requeue q.qds --quiet --id 1");
  EXPECT_EQ(0, r.code) << r.err;
  EXPECT_TRUE(Has(r.out, "0 messages requeued")) << r.out;

  // WQSRecipData of message 10 made to disagree with its stated size.
  {
    DBHANDLE db;
    NOTEHANDLE note;
    BLOCKID bid;
    DWORD len = 0;
    WORD type = 0;
    ASSERT_EQ(NOERROR, QDSDbOpen(Path("q.qds").c_str(), &db));
    ASSERT_EQ(NOERROR, QDSNoteOpen(db, 10, 0, &note));
    ASSERT_EQ(NOERROR, QDSItemInfo(note, WQS_ITEM_RECIPDATA, 12, &type, &bid, &len));
    std::string v(OSLockBlock(bid), len);
    OSUnlockBlock(bid);
    v[34 + 4] = 0x7F;
    ASSERT_EQ(NOERROR, QDSItemDelete(note, WQS_ITEM_RECIPDATA, 12));
    ASSERT_EQ(NOERROR, QDSItemAppend(note, 0, WQS_ITEM_RECIPDATA, 12, type, v.data() + 2, len - 2));
    ASSERT_EQ(NOERROR, QDSNoteUpdate(note, 0));
    ASSERT_EQ(NOERROR, QDSNoteClose(note));
    ASSERT_EQ(NOERROR, QDSDbClose(db));
  }
  const Snapshot q0 = Snap(Path("q.qds"));
  for (const char* action :
       {"requeue q.qds --id 11", "hold q.qds --id 12", "delete q.qds --yes --id 13"}) {
    r = Admin(std::string(action) + " --quiet --id 10");
    EXPECT_EQ(1, r.code) << action;
    EXPECT_TRUE(Has(r.err, "message 10")) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(": 1 message \\w+.*, 1 failed"))) << r.out;
  }
  const Snapshot q1 = Snap(Path("q.qds"));
  EXPECT_EQ("", Diff(ById(q0, 10), ById(q1, 10)));
  EXPECT_NE(ById(q0, 11), ById(q1, 11));
  EXPECT_EQ(0u, ById(q1, 12).id + ById(q1, 13).id);
  EXPECT_EQ(1u, Snap(Path("q.qds.hold")).count(UnidOf(q0, 12)));
}

// A message whose attachment's object id the other queue has for other
// bytes is not moved, nor imported; an export that cannot be written
// deletes nothing and stops the run (the rest would fail alike); a file
// that is no export is named.
TEST_F(ActionsTest, TakenObjectIdsAndExportsThatCannotBeWritten) {
  std::ofstream(Path("a.txt")) << "first attachment";
  std::ofstream(Path("b.txt")) << "other bytes here!!";
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 1 --status 9 --attach a.txt").code);
  ASSERT_EQ(0, Admin("hold q.qds --quiet --id 999").code);  // makes q.qds.hold
  ASSERT_EQ(0, Admin("seed q.qds.hold --quiet --count 1 --status 9 --attach b.txt").code);
  const Snapshot queue0 = Snap(Path("q.qds")), hold0 = Snap(Path("q.qds.hold"));
  Result r = Admin("hold q.qds --quiet --id 8");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("wqadmin: message 8: its attachments' object ids are taken in " + Path("q.qds.hold") +
                ": Database file already exists\n", r.err);
  EXPECT_TRUE(queue0 == Snap(Path("q.qds")) && hold0 == Snap(Path("q.qds.hold")));

  ASSERT_EQ(0, Admin("seed q.qds --quiet --count 2 --status 9").code);
  r = Admin("delete q.qds --quiet --yes --status 9 --export /proc");
  EXPECT_EQ(1, r.code);
  EXPECT_EQ("wqadmin: message 8: cannot export it to /proc/q.qds-8.qmsg: Database file cannot be "
            "read or written\n", r.err);
  EXPECT_TRUE(Has(r.out, ": 0 messages deleted (status 9), 1 failed")) << r.out;
  EXPECT_EQ(3u, Snap(Path("q.qds")).size());

  ASSERT_EQ(0, Admin("delete q.qds --quiet --yes --id 8 --export exp").code);
  r = Admin("import q.qds.hold exp/q.qds-8.qmsg a.txt");
  EXPECT_EQ(1, r.code);
  EXPECT_TRUE(Has(r.err, "wqadmin: exp/q.qds-8.qmsg: message 8 cannot be imported: the queue has "
                         "other objects under its attachments' ids\n") &&
              Has(r.err, "wqadmin: cannot open 'a.txt': ")) << r.err;
  EXPECT_TRUE(Has(r.out, ": 0 messages imported, 2 failed")) << r.out;
  EXPECT_TRUE(hold0 == Snap(Path("q.qds.hold")));
}

}  // namespace
