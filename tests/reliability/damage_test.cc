// Damaged queue files, all made from one seeded queue: bytes flipped in
// pages of every kind the file holds, files cut short, tables dropped, and
// what a faulty writer leaves at the document level (summary values and
// headers that do not decode, notes without items, items without a note,
// index rows missing or extra, chunks of no object, a message item cut).
// On every file no command crashes or hangs, and verify either reports
// the damage or the file is sound and every message opens.  Repair sets
// document damage aside and loses no message: the queue keeps every other
// message row for row, QUEUE.damaged holds the rest as stored, and rswq
// then runs clean.  Damaged pages are salvaged into a new file that names
// what it lost, and a second repair finishes the job.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "reliability_util.h"
#include "tavlo/store.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

const char kFix[] = "smtpibwq.fix";

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A query on a file nobody writes, read as it is (no sidecars, no locks).
// False when SQLite cannot read it.
bool Query(const std::string& path, const std::string& sql, Rows* out) {
  out->clear();
  sqlite3* db = nullptr;
  sqlite3_stmt* s = nullptr;
  const std::string uri = "file:" + path + "?immutable=1";
  bool ok = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                            nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK;
  int rc = SQLITE_DONE;
  while (ok && (rc = sqlite3_step(s)) == SQLITE_ROW) {
    auto& row = out->emplace_back();
    for (int i = 0; i < sqlite3_column_count(s); i++) {
      const char* p = static_cast<const char*>(sqlite3_column_blob(s, i));
      row.emplace_back(p ? p : "", sqlite3_column_bytes(s, i));
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return ok && rc == SQLITE_DONE;
}

std::string Pragma(const std::string& path, const char* pragma) {
  Rows r;
  if (!Query(path, std::string("PRAGMA ") + pragma, &r)) return "unreadable";
  return r.empty() ? "" : r[0][0];
}

// Changes a closed file behind the store's back.
void Exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* err = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  EXPECT_EQ(SQLITE_OK, rc) << sql << ": " << (err ? err : "");
  sqlite3_free(err);
  ASSERT_EQ(SQLITE_OK, sqlite3_close(db));
  ASSERT_FALSE(fs::exists(path + "-wal")) << "SQLite left its WAL beside " << path;
}

void WriteAt(const std::string& path, off_t at, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ssize_t(bytes.size()), pwrite(fd, bytes.data(), bytes.size(), at));
  close(fd);
}

struct Run {
  int code = -1;  // exit code, 128 + signal, or -1 when it hung
  std::string out, err;
};

// Runs a built binary in `dir`, its data directory too; one that runs
// past half a minute (a hundred times its due) is killed: a hang fails a
// test like a crash does.
Run Tool(const std::string& dir, const std::string& binary, const std::vector<std::string>& args) {
  const std::string out = dir + "/.out", err = dir + "/.err";
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    setenv("TAVLO_DATA", dir.c_str(), 1);
    if (chdir(dir.c_str()) != 0 || !freopen(out.c_str(), "w", stdout) ||
        !freopen(err.c_str(), "w", stderr) || !freopen("/dev/null", "r", stdin))
      _exit(126);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  Run r;
  const int64_t deadline = rel::NowMicros() + 30 * 1000000LL;
  while (!rel::ChildEnded(pid, &r.code)) {
    if (rel::NowMicros() > deadline) {
      rel::KillChild(pid);
      r.code = -1;
      break;
    }
    usleep(1000);
  }
  r.out = rel::ReadFile(out);
  r.err = rel::ReadFile(err);
  return r;
}

Run Admin(const std::string& dir, const std::vector<std::string>& args) {
  return Tool(dir, WQADMIN_BINARY, args);
}

// The run ended by itself with one of `codes`, and no sanitizer spoke.
::testing::AssertionResult Ended(const Run& r, std::initializer_list<int> codes) {
  bool want = false;
  for (int c : codes) want |= c == r.code;
  if (want && !Has(r.err, "Sanitizer") && !Has(r.err, "runtime error:"))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << (r.code < 0 ? "hung" : r.code > 128 ? "killed by a signal" : "exit code")
         << " " << r.code << "\n--- stdout\n" << r.out.substr(0, 4000) << "\n--- stderr\n"
         << r.err.substr(0, 4000);
}

// Every document of a file as stored: the note ids (note rows and item
// owners), each note's rows byte for byte (an attachment's object id left
// out: a move may give the object another), its header's originator id,
// and which notes are views.
struct Snapshot {
  std::set<NOTEID> ids, views, headed;
  std::map<NOTEID, std::string> rows, unid;
};

bool Snap(const std::string& path, Snapshot* s) {
  *s = Snapshot{};
  Rows notes, items;
  if (!Query(path, "SELECT note_id, class FROM notes", &notes) ||
      !Query(path,
             "SELECT k >> 24, k & 16777215, flags, name, value FROM items UNION ALL "
             "SELECT k >> 24, k & 16777215, flags, name, value FROM big ORDER BY 1, 2",
             &items))
    return false;
  for (const auto& n : notes) {
    s->ids.insert(std::strtoul(n[0].c_str(), nullptr, 10));
    if (n[1] == std::to_string(NOTE_CLASS_VIEW))
      s->views.insert(std::strtoul(n[0].c_str(), nullptr, 10));
  }
  for (const auto& r : items) {
    const NOTEID id = std::strtoul(r[0].c_str(), nullptr, 10);
    s->ids.insert(id);
    if (r[1] == "0") s->headed.insert(id);
    std::string value = r[4];
    if (r[3] == "$FILE" && value.size() >= 8) value.replace(4, 4, 4, '\0');
    if (r[1] == "0" && value.size() == 36) s->unid[id] = value.substr(8, 16);
    std::string& all = s->rows[id];
    for (const std::string* f : {&r[1], &r[2], &r[3], const_cast<const std::string*>(&value)})
      all += std::to_string(f->size()) + ":" + *f;
  }
  return true;
}

std::map<NOTEID, NOTEID> Moved(const std::string& repairOut) {
  std::map<NOTEID, NOTEID> moved;
  static const std::regex line("message (\\d+) moved to \\S+ as note (\\d+)");
  for (std::sregex_iterator it(repairOut.begin(), repairOut.end(), line), end; it != end; ++it)
    moved[std::stoul((*it)[1])] = std::stoul((*it)[2]);
  return moved;
}

std::set<NOTEID> Named(const std::string& text, const char* pattern) {
  std::set<NOTEID> ids;
  const std::regex re(pattern);
  for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
    ids.insert(std::stoul((*it)[1]));
  return ids;
}

long Number(const std::string& text, const char* pattern, int group = 1) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? std::stol(m[group]) : -1;
}

// Every data document of the file opens through the library, read-only.
::testing::AssertionResult EveryMessageOpens(const std::string& path) {
  Rows docs;
  if (!Query(path, "SELECT note_id FROM notes NOT INDEXED WHERE class = 1", &docs))
    return ::testing::AssertionFailure() << "notes cannot be read";
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", path.c_str());
  queue_handle_t q{};
  if (STATUS err = WQSOpenQueueReadOnly(&qd, &q))
    return ::testing::AssertionFailure() << "read-only open: " << err;
  std::string problem;
  for (const auto& d : docs) {
    msg_handle_t m{};
    if (STATUS err = WQSOpenMsgByMsgID(&q, std::strtoul(d[0].c_str(), nullptr, 10), &m)) {
      problem = "message " + d[0] + " does not open: " + std::to_string(err);
      break;
    }
    WQSCloseMsg(&m);
  }
  WQSCloseQueueForRead(&q);
  if (!problem.empty()) return ::testing::AssertionFailure() << problem;
  return ::testing::AssertionSuccess();
}

long Failed(const std::string& dir) {
  Run s = Admin(dir, {"stats", kFix, "--json"});
  return s.code == 0 ? Number(s.out, "\"failed\": (\\d+)") : -1;
}

// The queue verifies, rswq resets every failed message and finishes as
// on a sound queue, and the messages keep their originator ids.
void ExpectWorkingQueue(const std::string& dir, const Snapshot& before) {
  const std::string fix = dir + "/" + kFix;
  Run v = Admin(dir, {"verify", kFix});
  EXPECT_TRUE(Ended(v, {0})) << "verify after the repair";
  const long failed = Failed(dir);
  ASSERT_GE(failed, 0);
  Run r = Tool(dir, RSWQ_BINARY, {});
  ASSERT_TRUE(Ended(r, {0})) << "rswq after the repair";
  EXPECT_EQ(failed, rel::RequeuedCount(r.out)) << r.out;
  EXPECT_EQ("", r.err);
  EXPECT_EQ(0, Failed(dir));
  EXPECT_TRUE(rel::ClosedCleanly(fix));
  Snapshot after;
  ASSERT_TRUE(Snap(fix, &after));
  for (const auto& [id, unid] : after.unid) {
    auto was = before.unid.find(id);
    EXPECT_TRUE(was == before.unid.end() || was->second == unid) << "message " << id;
  }
}

// A file's bytes but for its session marker, which every writer's open
// rewrites (bytes 60..63).
std::string Unmarked(std::string bytes) {
  if (bytes.size() >= 64) bytes.replace(60, 4, 4, '\0');
  return bytes;
}

// What is wrong with which notes, told briefly however many there are.
std::string Brief(const std::vector<std::string>& problems) {
  std::string text = std::to_string(problems.size()) + " notes:";
  for (size_t i = 0; i < problems.size() && i < 5; i++) text += " " + problems[i] + ";";
  return text;
}

// The definitions of the file's tables, "" when they cannot be read.
std::string TableSchema(const std::string& path) {
  Rows r;
  if (!Query(path, "SELECT name, rootpage, sql FROM sqlite_schema WHERE type = 'table' "
                   "ORDER BY name", &r))
    return "";
  std::string all;
  for (const auto& row : r) all += row[0] + " " + row[1] + " " + row[2] + "\n";
  return all;
}

// One damaged file in `dir`; `pristineIds` are the notes it was made from,
// `pristineSchema` the definitions of its tables.
void CheckDamagedFile(const std::string& dir, const std::set<NOTEID>& pristineIds,
                      const std::string& pristineSchema) {
  const std::string fix = dir + "/" + kFix;
  const std::string bytes = rel::ReadFile(fix);
  Snapshot before;
  const bool readable = Snap(fix, &before);
  Rows tables;
  Query(fix, "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('meta', "
             "'notes', 'items', 'big', 'summary', 'objects', 'object_chunks')", &tables);
  // The store's own check runs the full check on the small tables whose
  // order matters to it (meta, notes and the notes' class index).
  const bool pageLevel = Pragma(fix, "quick_check") != "ok" ||
                         Pragma(fix, "integrity_check(meta)") != "ok" ||
                         Pragma(fix, "integrity_check(notes)") != "ok" || tables.empty() ||
                         tables[0][0] != "7" || TableSchema(fix) != pristineSchema;

  for (const char* cmd : {"list", "stats"})
    EXPECT_TRUE(Ended(Admin(dir, {cmd, kFix, "--json"}), {0, 1})) << cmd;
  Run v = Admin(dir, {"verify", kFix});
  ASSERT_TRUE(Ended(v, {0, 1})) << "verify";
  if (v.code == 0) {
    EXPECT_EQ("ok", Pragma(fix, "integrity_check")) << "verify passed a damaged file";
    EXPECT_TRUE(EveryMessageOpens(fix));
    return;
  }

  Run rep = Admin(dir, {"repair", kFix});
  ASSERT_TRUE(Ended(rep, {0, 1})) << "repair";
  if (!Has(v.out, "messages checked")) {
    // The store refuses the file at open: nothing to repair from.
    EXPECT_EQ(1, rep.code) << rep.out;
    EXPECT_TRUE(Has(rep.err, kFix)) << rep.err;
    EXPECT_TRUE(Unmarked(rel::ReadFile(fix)) == Unmarked(bytes)) << "a refused file was changed";
    return;
  }
  // Damage confined to an index (the search index, the notes' class
  // index) is rebuilt in place: no salvage, and the checks of document
  // damage below hold.
  if (pageLevel && !(rep.code == 0 && Has(rep.out, "rebuilt"))) {
    EXPECT_EQ(1, rep.code) << rep.out;
    const long salvaged = Number(rep.out, "salvaged (\\d+) of (\\d+) notes");
    const long total = Number(rep.out, "salvaged (\\d+) of (\\d+) notes", 2);
    ASSERT_GE(salvaged, 0) << rep.out << rep.err;
    const std::set<NOTEID> lost = Named(rep.out, "note (\\d+) could not be read");
    EXPECT_EQ(total, salvaged + long(lost.size())) << rep.out;
    // The damaged file is kept as it was (but for its session marker).
    EXPECT_TRUE(Unmarked(rel::ReadFile(fix + ".corrupt")) == Unmarked(bytes))
        << "the damaged file was changed";
    Snapshot salvage;
    ASSERT_TRUE(Snap(fix, &salvage));
    // A note salvaged without its header row is a note lost.
    std::vector<std::string> unnamed;
    for (NOTEID id : pristineIds) {
      if (!salvage.headed.count(id) && !lost.count(id)) unnamed.push_back(std::to_string(id));
    }
    if (!Has(rep.out, "could not be read at all")) {
      EXPECT_TRUE(unnamed.empty()) << "lost, but not named: " << Brief(unnamed);
    }
    Run again = Admin(dir, {"repair", kFix});
    ASSERT_TRUE(Ended(again, {0})) << "repair of the salvage";
    ExpectWorkingQueue(dir, salvage);
    return;
  }

  // Document damage: set aside row for row, nothing else touched.
  ASSERT_TRUE(readable);
  EXPECT_EQ(0, rep.code) << rep.out << rep.err;
  const std::map<NOTEID, NOTEID> moved = Moved(rep.out);
  const std::set<NOTEID> named = Named(v.out, "(?:note|message) (\\d+):");
  Snapshot queue, aside;
  ASSERT_TRUE(Snap(fix, &queue));
  ASSERT_TRUE(moved.empty() || Snap(fix + ".damaged", &aside));
  std::vector<std::string> p;
  auto problem = [&p](NOTEID id, const char* what) {
    p.push_back(std::to_string(id) + " " + what);
  };
  for (NOTEID id : before.ids) {
    auto m = moved.find(id);
    if (m == moved.end()) {
      if (!queue.ids.count(id)) problem(id, "is gone");
      else if (queue.rows[id] != before.rows[id]) problem(id, "changed");
    } else if (!named.count(id)) {
      problem(id, "moved, but verify found it sound");
    } else if (queue.ids.count(id)) {
      problem(id, "moved and kept");
    } else if (!aside.ids.count(m->second) || aside.rows[m->second] != before.rows[id]) {
      problem(id, "is not in QUEUE.damaged as stored");
    }
  }
  for (NOTEID id : queue.ids) {
    if (!before.ids.count(id)) problem(id, "appeared");
  }
  EXPECT_TRUE(p.empty()) << Brief(p);
  size_t movedViews = 0;  // a damaged view moves aside as a view
  for (const auto& [from, to] : moved) movedViews += before.views.count(from);
  EXPECT_EQ(moved.size(), aside.ids.size() - aside.views.size() + movedViews);
  ExpectWorkingQueue(dir, before);
}

struct Damage {
  std::string name;
  std::function<void(const std::string& path)> apply;
};

TEST(DamageTest, NoDamagedFileTakesTheQueueDownAndRepairLosesNoMessage) {
  const std::string base = rel::DataDir() + "/damage", pristine = base + "/pristine.qds";
  fs::create_directories(base);
  {
    std::string attachment;
    std::mt19937 fill(rel::RunSeed());
    for (int i = 0; i < 5000; i++) attachment += char(fill());
    std::ofstream(base + "/report.bin", std::ios::binary) << attachment;
  }
  const std::vector<std::vector<std::string>> seeds = {
      {"create", "pristine.qds"},
      {"seed", "pristine.qds", "--count", "70", "--status", "11", "--attach", "report.bin"},
      {"seed", "pristine.qds", "--count", "50", "--status", "9", "--body-size", "6000"},
      {"seed", "pristine.qds", "--count", "40", "--status", "10", "--type", "1"},
      {"seed", "pristine.qds", "--count", "30", "--status", "7", "--recipients", "5"},
      {"seed", "pristine.qds", "--count", "50", "--status", "6", "--attach", "report.bin",
       "--body-size", "3000"}};
  for (auto args : seeds) {
    if (args[0] == "seed") args.insert(args.end(), {"--seed", std::to_string(rel::RunSeed()),
                                                    "--quiet"});
    ASSERT_TRUE(Ended(Admin(base, args), {0})) << args[0];
  }
  ASSERT_TRUE(rel::ClosedCleanly(pristine));
  Snapshot ref;
  ASSERT_TRUE(Snap(pristine, &ref));

  // Messages to damage, by what they carry.
  Rows r;
  auto ids = [&](const std::string& sql) {
    std::vector<std::string> v;
    EXPECT_TRUE(Query(pristine, sql, &r));
    for (const auto& row : r) v.push_back(row[0]);
    return v;
  };
  const auto attached = ids("SELECT DISTINCT k >> 24 FROM items WHERE name = CAST('$FILE' AS "
                            "BLOB) ORDER BY 1");
  const auto bodies = ids("SELECT DISTINCT k >> 24 FROM big ORDER BY 1");
  const auto routing = ids("SELECT note_id FROM summary WHERE name_lc = 'wqmsgstatus' AND "
                           "token = 10 ORDER BY 1");
  const auto queued = ids("SELECT note_id FROM summary WHERE name_lc = 'wqmsgstatus' AND "
                          "token = 6 ORDER BY 1");
  const auto objects = ids("SELECT rrv FROM objects ORDER BY 1");
  const auto views = ids("SELECT note_id FROM notes WHERE class = 8 ORDER BY 1");
  ASSERT_TRUE(attached.size() > 10 && bodies.size() > 10 && routing.size() > 10 &&
              queued.size() > 10 && objects.size() > 10 && !views.empty());
  auto item = [](const std::string& id, const char* name) {
    return "k >> 24 = " + id + " AND name = CAST('" + name + "' AS BLOB)";
  };
  auto sql = [](std::string statements) {
    return [statements](const std::string& path) { Exec(path, statements); };
  };
  const std::vector<std::pair<std::string, std::string>> documentDamage = {
      {"empty summary value", "UPDATE items SET value = x'' WHERE " +
                                  item(attached[0], "WQMsgStatus")},
      {"summary value cut", "UPDATE items SET value = substr(value, 1, 5) WHERE " +
                                item(routing[0], "WQMsgStatus")},
      {"summary value of a type only", "UPDATE items SET value = x'0003' WHERE " +
                                           item(queued[0], "WQRecvTime")},
      {"short header", "UPDATE items SET value = x'01' WHERE k = " + bodies[0] + " << 24"},
      {"long header", "UPDATE items SET value = value || x'00' WHERE k = " + queued[1] +
                          " << 24"},
      {"note without items", "DELETE FROM items WHERE k >> 24 = " + attached[1] +
                                 "; DELETE FROM big WHERE k >> 24 = " + attached[1]},
      {"items without a note", "DELETE FROM notes WHERE note_id = " + bodies[1]},
      {"index rows deleted", "DELETE FROM summary WHERE note_id IN (" + routing[1] + ", " +
                                 routing[2] + ")"},
      {"orphan index rows", "INSERT INTO summary VALUES ('wqmsgstatus', 11.0, 900000, 1, 0), "
                            "('wqmsgstatus', 11.0, " + queued[2] + ", 1, 0)"},
      {"chunks of no object", "INSERT INTO object_chunks VALUES (4000 << 13, x'00'), "
                              "((4000 << 13) + 1, zeroblob(100))"},
      {"object deleted under its message", "DELETE FROM objects WHERE rrv = " + objects[3]},
      {"view header short", "UPDATE items SET value = x'01' WHERE k = " + views[0] + " << 24"},
      {"message info cut", "UPDATE items SET value = substr(value, 1, 40) WHERE " +
                               item(routing[3], "WQSMsgInfo")},
  };
  std::vector<Damage> damages;
  std::string everything;
  for (const auto& [name, statements] : documentDamage) {
    damages.push_back({name, sql(statements)});
    if (name != "view header short") everything += statements + ";";
  }
  damages.push_back({"all document damage at once", sql(everything)});
  for (const char* table : {"meta", "notes", "items", "big", "summary", "objects",
                            "object_chunks"})
    damages.push_back({std::string("table ") + table + " dropped",
                       sql(std::string("DROP TABLE ") + table)});
  damages.push_back({"index notes_class dropped", sql("DROP INDEX notes_class")});

  // Bytes flipped in two pages of each kind (table or index, and leaf,
  // interior or overflow page): one in the page's header, one where its
  // cells are.
  const long pageSize = std::stol(Pragma(pristine, "page_size"));
  const off_t size = off_t(fs::file_size(pristine));
  ASSERT_TRUE(Query(pristine, "SELECT name, pagetype, pageno FROM dbstat ORDER BY pageno", &r));
  std::map<std::string, std::vector<long>> kinds;
  for (const auto& row : r) kinds[row[0] + " " + row[1]].push_back(std::stol(row[2]));
  const std::string fileBytes = rel::ReadFile(pristine);
  std::mt19937 rng(rel::RunSeed() ^ 0x64616d67u);
  std::set<std::string> tablesCovered;
  for (auto& [kind, pages] : kinds) {
    tablesCovered.insert(kind.substr(0, kind.find(' ')));
    std::shuffle(pages.begin(), pages.end(), rng);
    for (int n = 0; n < 2; n++) {
      const long page = pages[n % pages.size()];
      const off_t start = off_t(page - 1) * pageSize, hdr = page == 1 ? 100 : 0;
      off_t at;
      if (n == 0) {
        at = start + hdr + rng() % 8;
      } else if (Has(kind, "overflow")) {
        at = start + 4 + rng() % (pageSize - 4);
      } else {  // the cell content area, from the offset in the page's header
        const unsigned char* h =
            reinterpret_cast<const unsigned char*>(fileBytes.data() + start + hdr);
        const long content = (h[5] << 8 | h[6]) ? (h[5] << 8 | h[6]) : 65536;
        at = start + content + rng() % std::max(1L, pageSize - content);
      }
      const char flipped = char(fileBytes[at] ^ (1 + rng() % 255));
      damages.push_back({kind + " page " + std::to_string(page) + " byte " +
                             std::to_string(at - start) + " flipped",
                         [at, flipped](const std::string& path) {
                           WriteAt(path, at, std::string(1, flipped));
                         }});
    }
  }
  for (const char* t : {"meta", "notes", "items", "big", "summary", "objects", "object_chunks",
                        "sqlite_schema"}) {
    EXPECT_TRUE(tablesCovered.count(t)) << "no page of " << t;
  }

  // Cut short: as a full disk or a lost tail leaves it, and with the page
  // count in the header cut too, so that the store opens what is left.
  for (off_t cut : {off_t(0), off_t(100), size / 2, size - pageSize})
    damages.push_back({"cut to " + std::to_string(cut) + " bytes",
                       [cut](const std::string& path) { fs::resize_file(path, cut); }});
  damages.push_back({"cut to half with its header saying so", [&](const std::string& path) {
                       const uint32_t pages = uint32_t(size / 2 / pageSize);
                       fs::resize_file(path, off_t(pages) * pageSize);
                       const char be[4] = {char(pages >> 24), char(pages >> 16),
                                           char(pages >> 8), char(pages)};
                       WriteAt(path, 28, std::string(be, 4));
                     }});

  // A flip in a table's definition (a column renamed, say) is damage
  // below the documents too, though every page is sound.
  const std::string schema = TableSchema(pristine);
  ASSERT_NE("", schema);
  const int64_t start = rel::NowMicros();
  for (size_t i = 0; i < damages.size(); i++) {
    SCOPED_TRACE(damages[i].name);
    const std::string dir = base + "/" + std::to_string(i);
    fs::create_directories(dir);
    fs::copy_file(pristine, dir + "/" + kFix);
    damages[i].apply(dir + "/" + kFix);
    CheckDamagedFile(dir, ref.ids, schema);
  }
  std::printf("damage: %zu damaged files in %.1f s\n", damages.size(),
              (rel::NowMicros() - start) / 1e6);
}

}  // namespace
