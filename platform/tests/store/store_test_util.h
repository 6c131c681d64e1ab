// Shared fixture of the store tests: a fresh data directory per test
// (TAVLO_DATA points at it) and a check that the test left no runtime
// memory block behind.
#ifndef TAVLO_TESTS_STORE_TEST_UTIL_H_
#define TAVLO_TESTS_STORE_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

class StoreTest : public ::testing::Test {
 protected:
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

  static bool Exists(const std::string& p) {
    struct stat sb;
    return ::stat(p.c_str(), &sb) == 0;
  }

  static std::string ReadFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  // Creates `name` and opens it.
  DBHANDLE NewDb(const char* name, WORD cls = 0xFF01) {
    EXPECT_EQ(QDSDbCreate(name, cls, FALSE), NOERROR);
    DBHANDLE db = 0;
    EXPECT_EQ(QDSDbOpen(name, &db), NOERROR);
    return db;
  }

  // Saves a new document with the given number and text summary items and
  // returns its note id.
  NOTEID SaveDoc(DBHANDLE db, double status, const char* text = nullptr,
                 WORD noteClass = NOTE_CLASS_DOCUMENT) {
    NOTEHANDLE n = 0;
    EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
    if (noteClass != NOTE_CLASS_DOCUMENT) QDSNoteSetInfo(n, _NOTE_CLASS, &noteClass);
    EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &status,
                            8),
              NOERROR);
    if (text) {
      EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Subject", 7, TYPE_TEXT, text,
                              strlen(text)),
                NOERROR);
    }
    EXPECT_EQ(QDSNoteUpdate(n, 0), NOERROR);
    NOTEID id = 0;
    QDSNoteGetInfo(n, _NOTE_ID, &id);
    EXPECT_EQ(QDSNoteClose(n), NOERROR);
    return id;
  }

  // The bytes of the first item `name` (type code first), "" if absent.
  static std::string ItemBytes(NOTEHANDLE n, const char* name) {
    BLOCKID bid;
    DWORD len = 0;
    if (QDSItemInfo(n, name, static_cast<WORD>(strlen(name)), nullptr, &bid,
                    &len) != NOERROR) {
      return "";
    }
    const char* p = OSLockBlock(bid);
    std::string out(p, len);
    OSUnlockBlock(bid);
    return out;
  }

  std::string dir_;
  DWORD base_blocks_ = 0;
};

#endif  // TAVLO_TESTS_STORE_TEST_UTIL_H_
