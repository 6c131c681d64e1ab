// Store test fixture: a fresh data directory per test, no memory block left.
#ifndef TAVLO_TESTS_STORE_TEST_UTIL_H_
#define TAVLO_TESTS_STORE_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

class StoreTest : public ::testing::Test {
 protected:
  using IdList = std::vector<NOTEID>;

  void SetUp() override {
    char tmpl[] = "/tmp/store_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    base_blocks_ = OSMemTestTotalBlocks();
  }
  void TearDown() override {
    OSMemTestDisarm();
    EXPECT_EQ(OSMemTestTotalBlocks(), base_blocks_) << "memory blocks leaked";
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string ReadFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  // Runs `sql` on file `name` with plain SQLite, behind the store's back.
  void Sql(const std::string& name, const std::string& sql) const {
    sqlite3* raw = nullptr;
    EXPECT_EQ(sqlite3_open(Path(name).c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    EXPECT_EQ(sqlite3_close(raw), SQLITE_OK);
  }

  DBHANDLE NewDb(const char* name) {
    EXPECT_EQ(QDSDbCreate(name, 0xFF01, FALSE), NOERROR);
    DBHANDLE db = 0;
    EXPECT_EQ(QDSDbOpen(name, &db), NOERROR);
    return db;
  }

  // Saves a document with a number "Status" and an optional text "Subject".
  static NOTEID SaveDoc(DBHANDLE db, double status, const char* text = nullptr,
                        WORD noteClass = NOTE_CLASS_DOCUMENT, WORD flags = ITEM_SUMMARY) {
    NOTEHANDLE n = 0;
    EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
    if (noteClass != NOTE_CLASS_DOCUMENT) QDSNoteSetInfo(n, _NOTE_CLASS, &noteClass);
    EXPECT_EQ(QDSItemAppend(n, flags, "Status", 6, TYPE_NUMBER, &status, 8), NOERROR);
    if (text) {
      EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Subject", 7, TYPE_TEXT, text, strlen(text)),
                NOERROR);
    }
    return SaveAndClose(n);
  }

  static NOTEID SaveAndClose(NOTEHANDLE n) {
    EXPECT_EQ(QDSNoteUpdate(n, 0), NOERROR);
    NOTEID id = 0;
    QDSNoteGetInfo(n, _NOTE_ID, &id);
    EXPECT_EQ(QDSNoteClose(n), NOERROR);
    return id;
  }

  static FORMULAHANDLE Compile(const char* formula) {
    FORMULAHANDLE f = 0;
    EXPECT_EQ(QDSFormulaCompile(nullptr, 0, formula, static_cast<WORD>(strlen(formula)), &f,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              NOERROR);
    return f;
  }

  // Note ids a summary search with `formula` (nullptr: every note) finds.
  static IdList Ids(DBHANDLE db, const char* formula, WORD mask = NOTE_CLASS_DOCUMENT) {
    IdList ids;
    FORMULAHANDLE f = formula ? Compile(formula) : 0;
    if (formula && !f) return ids;
    EXPECT_EQ(QDSSearch(db, f, nullptr, SEARCH_SUMMARY, mask, nullptr,
                        [](void* arg, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                          static_cast<IdList*>(arg)->push_back(m->ID.NoteID);
                          return NOERROR;
                        },
                        &ids, nullptr),
              NOERROR);
    if (f) OSMemFree(f);
    return ids;
  }

  std::string dir_;
  DWORD base_blocks_ = 0;
};

// A forked peer answering one-character commands with one character.  Fork
// it before this process opens anything, so it inherits no connection.
class Peer {
 public:
  explicit Peer(std::function<char(char)> serve) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    if ((pid_ = fork()) == 0) {
      char cmd;
      while (read(down[0], &cmd, 1) == 1 && cmd != 'x') {
        char reply = serve(cmd);
        if (write(up[1], &reply, 1) != 1) _exit(3);
      }
      _exit(0);
    }
    close(down[0]), close(up[1]);
    out_ = down[1], in_ = up[0];
  }
  ~Peer() { Finish(); }
  char Ask(char cmd) {  // '?' when the peer has gone or hangs
    pollfd p{in_, POLLIN, 0};
    char reply = '?';
    if (pid_ > 0 && write(out_, &cmd, 1) == 1 && poll(&p, 1, 60000) == 1 &&
        read(in_, &reply, 1) != 1)
      reply = '?';
    return reply;
  }
  int Finish() {  // the peer's exit status
    if (pid_ <= 0) return -1;
    int status = 0;
    (void)!write(out_, "x", 1);
    waitpid(pid_, &status, 0);
    close(out_), close(in_);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
};

#endif  // TAVLO_TESTS_STORE_TEST_UTIL_H_
